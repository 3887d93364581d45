"""The Python package in whole processes: receiving the project's own
programs, and a script that leaves everything to the interpreter's exit."""

import os
import signal
import subprocess
import sys
import time

import qrv


def test_strobe_pump_arrives_as_uniform_black_and_white_at_its_rate(tmp_path):
    locators = tmp_path / "locators"
    env = dict(os.environ, QRV_LOCATOR_FILE=str(locators))
    pump = subprocess.Popen([os.path.join(os.environ["QRV_BIN"], "strobe_pump")], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(200):
            if locators.exists() and locators.read_text().endswith("\n"):
                break
            time.sleep(0.05)
        name, locator = locators.read_text().splitlines()[0].split("\t")
        times, levels = [], []
        with qrv.Receiver(qrv.Source(name, locator), color="bgrx-bgra") as rx:
            for frame in rx.frames(timeout=5):
                assert frame.shape == (1080, 1920, 4) and frame.fourcc == "BGRA"
                level = int(frame[0, 0, 0])
                assert level in (0, 255)
                assert frame.min() == frame.max() == level, "a frame is not uniform"
                times.append(time.monotonic())
                levels.append(level)
                frame.release()
                if len(times) == 11:
                    dropped_before = rx.dropped
                if len(times) == 100:
                    break
            dropped = rx.dropped
        assert len(times) == 100
        # The rate after the first frames, which may arrive in a burst; a
        # frame this loop was too slow to take (on a busy host) counts as
        # dropped, not as one the source did not send.
        fps = (len(times) - 11 + dropped - dropped_before) / (times[-1] - times[10])
        assert abs(fps - 29.97) < 1.0, fps
        # Black and white take turns, apart from frames that were dropped.
        turns = sum(a != b for a, b in zip(levels, levels[1:]))
        assert turns >= len(levels) - 1 - 2 * dropped
    finally:
        pump.send_signal(signal.SIGINT)
        pump.wait(timeout=10)
    assert pump.returncode == 0


SHUTDOWN_SCRIPT = """
import numpy as np, qrv
def on_command(c):
    commands.append(c)
commands = []
tx = qrv.Sender("shutdown %d", pace=False, on_command=on_command)
rx = qrv.Receiver(tx.source, color="fastest")
frame = None
while frame is None:
    tx.send_video(np.zeros((8, 8, 4), np.uint8))
    frame = rx.capture(timeout=0.05)
for _ in range(200):
    if rx.ptz_supported:
        rx.pan_tilt(0.5, -0.5)
        break
    rx.capture(timeout=0.01)
while not commands:
    import time; time.sleep(0.01)
print(commands[0])
held = [frame, frame[1:3]]   # left for the interpreter to free at exit
"""


def test_interpreter_exit_with_live_objects_and_callbacks_is_clean():
    env = dict(os.environ)
    out = subprocess.run([sys.executable, "-c", SHUTDOWN_SCRIPT % os.getpid()], env=env, capture_output=True,
                         text=True, timeout=30)
    assert out.returncode == 0, out.stderr
    assert "pan_tilt" in out.stdout and "value_a=0.5" in out.stdout
