"""Publishes "From Python": a moving colour gradient made with NumPy, at
29.97 frames a second, until Ctrl-C.

    python3 numpy_source.py
"""
import numpy as np
import qrv

height, width = 720, 1280
x = np.linspace(0, 1, width, dtype=np.float32)
y = np.linspace(0, 1, height, dtype=np.float32)[:, None]
# Two buffers taking turns: the runtime reads the one sent last until the
# next send, so the other one is free to draw into.
buffers = [np.empty((height, width, 4), np.uint8) for _ in range(2)]

with qrv.Sender("From Python") as tx:
    print("sending as", tx.name)
    try:
        for n in range(1 << 62):
            frame = buffers[n % 2]
            t = n / 30
            frame[..., 0] = (255 * (0.5 + 0.5 * np.sin(6 * x + t))).astype(np.uint8)   # blue
            frame[..., 1] = (255 * y * np.ones_like(x)).astype(np.uint8)                # green
            frame[..., 2] = (255 * (0.5 + 0.5 * np.cos(4 * y + t))).astype(np.uint8)   # red
            frame[..., 3] = 255
            tx.send_video(frame, fourcc="BGRA", fps=(30000, 1001))  # paced: returns at the frame rate
    except KeyboardInterrupt:
        pass
