"""The Python package receiving the project's own programs."""

import os
import signal
import subprocess
import time

import numpy as np

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
                assert (frame == level).all(), "a frame is not uniform"
                times.append(time.monotonic())
                levels.append(level)
                frame.release()
                if len(times) == 100:
                    break
            dropped = rx.dropped
        assert len(times) == 100
        # The rate after the first frames, which may arrive in a burst.
        fps = (len(times) - 11) / (times[-1] - times[10])
        assert abs(fps - 29.97) < 1.0, fps
        # Black and white take turns, apart from frames that were dropped.
        turns = sum(a != b for a, b in zip(levels, levels[1:]))
        assert turns >= len(levels) - 1 - 2 * dropped
    finally:
        pump.send_signal(signal.SIGINT)
        pump.wait(timeout=10)
    assert pump.returncode == 0
