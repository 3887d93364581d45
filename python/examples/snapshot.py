"""Saves one frame of a source as a PNG file with OpenCV.

    python3 snapshot.py "My Video" snapshot.png
"""
import sys

import cv2
import qrv

name, path = sys.argv[1], sys.argv[2]
with qrv.Receiver(name, color="bgrx-bgra") as rx:
    frame = rx.capture(timeout=5)
    if frame is None:
        sys.exit(f"no video from {rx.source} within 5 s")
    cv2.imwrite(path, frame[..., :3])  # B, G, R: the fourth byte is alpha or padding
    print(f"{rx.source}: {frame.shape[1]}x{frame.shape[0]} {frame.fourcc} saved to {path}")
