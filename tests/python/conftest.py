"""What the tests of the Python package share: a sender with receivers of
it, reached by locator so that discovery plays no part."""

import os
import time

import numpy as np
import pytest

import qrv


def unique(name):
    return f"{name} {os.getpid()}-{time.monotonic_ns() % 10**9}"


@pytest.fixture
def sender():
    with qrv.Sender(unique("py test"), pace=False) as tx:
        yield tx


def receive(tx, receivers, frame, fourcc, deadline=5.0):
    """Sends `frame` until every receiver has captured a frame of its size;
    returns the frames, one per receiver."""
    got = [None] * len(receivers)
    end = time.monotonic() + deadline
    while any(g is None for g in got) and time.monotonic() < end:
        tx.send_video(frame, fourcc=fourcc)
        for i, rx in enumerate(receivers):
            if got[i] is None:
                f = rx.capture(timeout=0.05)
                if f is not None and f.shape[:2] == frame.shape[:2]:
                    got[i] = f
    assert all(g is not None for g in got), "no frame arrived"
    return got


def random_frame(rng, height, width, channels):
    return rng.integers(0, 256, (height, width, channels), dtype=np.uint8)
