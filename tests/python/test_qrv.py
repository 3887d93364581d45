"""The Python package against the runtime in this process: pixels, audio and
metadata through a sender and a receiver, conversions against a reference,
the life of frames, refusals and waits."""

import ctypes
import itertools
import os
import signal
import socket
import struct
import threading
import time

import numpy as np
import pytest

import qrv
from conftest import random_frame, receive, unique

LAYOUTS = {"UYVY": 2, "BGRA": 4, "BGRX": 4, "RGBA": 4, "RGBX": 4}


def test_every_layout_arrives_unchanged_without_a_copy(sender):
    rng = np.random.default_rng(1)
    with qrv.Receiver(sender.source, color="fastest") as rx:
        for i, (fourcc, bpp) in enumerate(LAYOUTS.items()):
            sent = random_frame(rng, 30 + i, 64 + 2 * i, bpp)
            (frame,) = receive(sender, [rx], sent, fourcc)
            assert isinstance(frame, qrv.VideoFrame) and isinstance(frame, np.ndarray)
            assert frame.fourcc == fourcc and frame.frame_rate == (30000, 1001)
            assert frame.dtype == np.uint8 and frame.shape == sent.shape
            np.testing.assert_array_equal(frame, sent)
            assert not frame.flags.writeable and not frame.flags.owndata
            with pytest.raises(ValueError):
                frame[0, 0, 0] = 1
            assert frame.copy().flags.writeable


def yuv_to_rgb(uyvy):
    """BT.709 studio range to full-range RGB; the second pixel of a pair takes
    the mean of its pair's chroma and the next pair's."""
    u, y0, v, y1 = (uyvy[:, 0::2, 0], uyvy[:, 0::2, 1], uyvy[:, 1::2, 0], uyvy[:, 1::2, 1])
    h, pairs = u.shape
    y = np.empty((h, 2 * pairs)); y[:, 0::2], y[:, 1::2] = y0, y1
    cb, cr = np.empty_like(y), np.empty_like(y)
    nxt = np.minimum(np.arange(pairs) + 1, pairs - 1)
    cb[:, 0::2], cr[:, 0::2] = u, v
    cb[:, 1::2] = np.floor((u.astype(int) + u[:, nxt] + 1) / 2)
    cr[:, 1::2] = np.floor((v.astype(int) + v[:, nxt] + 1) / 2)
    kr, kb = 0.2126, 0.0722
    kg = 1 - kr - kb
    luma = (y - 16) * 255 / 219
    pb, pr = (cb - 128) * 255 / 224, (cr - 128) * 255 / 224
    r = luma + 2 * (1 - kr) * pr
    b = luma + 2 * (1 - kb) * pb
    g = luma - 2 * (1 - kb) * kb / kg * pb - 2 * (1 - kr) * kr / kg * pr
    return [np.clip(np.round(c), 0, 255) for c in (r, g, b)]


def rgb_to_uyvy(r, g, b):
    kr, kb = 0.2126, 0.0722
    kg = 1 - kr - kb
    y = 16 + 219 / 255 * (kr * r + kg * g + kb * b)
    rs, gs, bs = [(c[:, 0::2] + c[:, 1::2]) / 2 for c in (r.astype(float), g.astype(float), b.astype(float))]
    ys = kr * rs + kg * gs + kb * bs
    cb = 128 + 224 / 255 * (bs - ys) / (2 * (1 - kb))
    cr = 128 + 224 / 255 * (rs - ys) / (2 * (1 - kr))
    out = np.empty(r.shape + (2,))
    out[:, 0::2, 0], out[:, 1::2, 0] = cb, cr
    out[:, 0::2, 1], out[:, 1::2, 1] = y[:, 0::2], y[:, 1::2]
    return np.clip(np.round(out), 0, 255)


def test_colour_formats_match_a_reference_conversion(sender):
    rng = np.random.default_rng(2)
    colors = ["bgrx-bgra", "rgbx-rgba", "uyvy-bgra", "uyvy-rgba"]
    rxs = [qrv.Receiver(sender.source, color=c) for c in colors]
    try:
        # UYVY to RGB: within one level of the reference; alpha opaque.
        uyvy = np.empty((8, 32, 2), np.uint8)
        uyvy[..., 1] = rng.integers(16, 236, (8, 32))
        uyvy[..., 0] = rng.integers(16, 241, (8, 32))
        bgrx, rgbx, same, same2 = receive(sender, rxs, uyvy, "UYVY")
        r, g, b = yuv_to_rgb(uyvy)
        assert (bgrx.fourcc, rgbx.fourcc, same.fourcc) == ("BGRX", "RGBX", "UYVY")
        assert np.abs(np.stack([b, g, r], -1) - bgrx[..., :3]).max() <= 1
        assert np.abs(np.stack([r, g, b], -1) - rgbx[..., :3]).max() <= 1
        assert (bgrx[..., 3] == 255).all() and (rgbx[..., 3] == 255).all()
        np.testing.assert_array_equal(same, uyvy)

        # BGRX to UYVY: within one level; BGRA keeps its alpha.
        bgra = random_frame(rng, 8, 34, 4)
        bgrx, rgbx, to_uyvy, _ = receive(sender, rxs, bgra, "BGRX")
        assert to_uyvy.fourcc == "UYVY"
        ref = rgb_to_uyvy(bgra[..., 2], bgra[..., 1], bgra[..., 0])
        assert np.abs(ref - to_uyvy).max() <= 1
        np.testing.assert_array_equal(rgbx[..., :3], bgra[..., 2::-1])
        bgra_out, rgba_out, keeps, swaps = receive(sender, rxs, bgra[:, :32].copy(), "BGRA")
        assert (keeps.fourcc, swaps.fourcc) == ("BGRA", "RGBA")
        np.testing.assert_array_equal(keeps, bgra[:, :32])
        np.testing.assert_array_equal(swaps, bgra[:, :32][..., [2, 1, 0, 3]])
    finally:
        for rx in rxs:
            rx.close()


def test_a_producer_on_demand_is_told_when_a_receiver_is_ready(sender):
    assert not sender.wait_video_wanted(timeout=0.05)  # nobody to make frames for
    with qrv.Receiver(sender.source) as rx:
        assert sender.wait_video_wanted(timeout=5)
        sender.send_video(np.zeros((16, 16, 4), np.uint8), fourcc="BGRA")
        assert rx.capture(timeout=5) is not None
        assert sender.wait_video_wanted(timeout=5)


def test_audio_and_metadata_arrive_unchanged_in_order(sender):
    samples = np.random.default_rng(3).standard_normal((2, 480)).astype(np.float32)
    with qrv.Receiver(sender.source) as rx:
        assert sender.connections(timeout=5) == 1
        seen = []
        for event in rx.events(timeout=0.5):
            if isinstance(event, qrv.StatusChange):
                if event.connected and not seen:
                    sender.send_metadata("<first/>")
                    sender.send_audio(samples, sample_rate=44100)
                    sender.send_metadata("<last/>")
                continue
            seen.append(event)
            if len(seen) == 3:
                break
        first, audio, last = seen
        assert (first.text, last.text) == ("<first/>", "<last/>")
        assert isinstance(audio, qrv.AudioFrame) and audio.sample_rate == 44100
        np.testing.assert_array_equal(audio, samples)


def test_frames_outlive_release_of_others_and_their_receiver(sender):
    rng = np.random.default_rng(4)
    other = np.zeros((8, 32, 4), np.uint8)  # told apart from the held frames by its size

    def churn(rx, frames):
        for _ in range(frames):
            sender.send_video(other, fourcc="BGRA")
            frame = rx.capture(timeout=0.01)
            if frame is not None:
                frame.release()
                assert frame.size == 0

    views = {"slice": lambda f: f[2:6], "plain": np.asarray, "transposed": lambda f: f.transpose(1, 0, 2)}
    kept = []
    with qrv.Receiver(sender.source, color="fastest") as rx:
        for name, make in views.items():
            first = random_frame(rng, 16, 32, 4)
            (held,) = receive(sender, [rx], first, "BGRA")
            view = make(held)
            churn(rx, 100)  # many frames later, the held one keeps its bytes
            np.testing.assert_array_equal(held, first)
            # release() detaches the frame alone: the view keeps the pixels
            # while the runtime reuses what it was given back.
            held.release()
            assert held.shape == (0, 0, 0)
            churn(rx, 100)
            np.testing.assert_array_equal(view, make(first), err_msg=name)
            kept.append((view, make(first)))
    for view, expected in kept:  # still valid after the receiver's block
        np.testing.assert_array_equal(view, expected)
    with pytest.raises(ValueError, match="closed"):
        rx.capture(timeout=0)


@pytest.mark.parametrize("array, fourcc, error", [
    (np.zeros((4, 4, 3), np.uint8), "BGRA", "shape"),
    (np.zeros((4, 4, 4), np.uint16), "BGRA", "uint8"),
    (np.zeros((4, 8, 4), np.uint8)[:, ::2], "BGRA", "contiguous"),
    (np.zeros((4, 4, 4), np.uint8), "YUY2", "fourcc"),
    (np.zeros((4, 3, 2), np.uint8), "UYVY", "even width"),
    (np.zeros((0, 4, 4), np.uint8), "BGRA", "at least one"),
    ([[1, 2]], "BGRA", "numpy array"),
])
def test_bad_video_is_refused_clearly(sender, array, fourcc, error):
    with pytest.raises(ValueError, match=error):
        sender.send_video(array, fourcc=fourcc)


def test_bad_arguments_are_refused_clearly(sender):
    with pytest.raises(ValueError, match="float32"):
        sender.send_audio(np.zeros((2, 10)))
    with pytest.raises(ValueError, match="contiguous"):
        sender.send_audio(np.zeros((10, 2), np.float32).T)
    with pytest.raises(TypeError, match="str"):
        qrv.Sender(42)
    with pytest.raises(TypeError, match="str"):
        sender.send_metadata(b"<bytes/>")
    with pytest.raises(ValueError, match="NUL"):
        qrv.Router("a\0b")
    # What the binding would refuse with its own TypeError is refused here,
    # naming the argument: a name decoded from bytes that are not UTF-8, and
    # whole numbers beyond the runtime's C int.
    bytes_name = os.fsdecode(b"caf\xe9")
    with pytest.raises(ValueError, match="sender name.*surrogate"):
        qrv.Sender(bytes_name)
    with pytest.raises(ValueError, match="source name.*surrogate"):
        qrv.Receiver(qrv.Source(bytes_name, sender.locator))
    with pytest.raises(ValueError, match="metadata.*surrogate"):
        sender.send_video(np.zeros((2, 2, 4), np.uint8), metadata=bytes_name)
    with pytest.raises(OverflowError, match="sample rate"):
        sender.send_audio(np.zeros((2, 10), np.float32), sample_rate=2**40)
    with pytest.raises(OverflowError, match="fps numerator"):
        sender.send_video(np.zeros((2, 2, 4), np.uint8), fps=(2**40, 1))
    with pytest.raises(ValueError, match="color"):
        qrv.Receiver(sender.source, color="purple")
    with qrv.Receiver(sender.source) as rx:
        with pytest.raises(TypeError, match="timeout"):
            rx.capture(timeout="5")
        with pytest.raises(ValueError, match="timeout"):
            rx.capture(timeout=-1)
        with pytest.raises(ValueError, match="timeout"):
            rx.capture(timeout=-10**400)
    with pytest.raises(qrv.Error) as refused:
        qrv.Sender("x" * 300)
    assert "199" in refused.value.reason
    with pytest.raises(qrv.Error, match="refused"):  # beyond the runtime's size limits
        sender.send_video(np.zeros((40000, 2, 4), np.uint8))
    closed = qrv.Sender(unique("closed"))
    threading.Timer(0.2, closed.close).start()
    assert closed.connections(timeout=10**400) == 0  # no end but the close
    with pytest.raises(ValueError, match="closed"):
        closed.send_video(np.zeros((2, 2, 4), np.uint8))


def test_a_wait_lets_other_threads_run_and_ctrl_c_ends_it(sender):
    with qrv.Receiver(sender.source) as rx:
        ticks = []
        stop = threading.Event()

        def ticker():
            while not stop.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.01)

        t = threading.Thread(target=ticker)
        t.start()
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            with pytest.raises(KeyboardInterrupt):
                rx.capture(timeout=None)
        finally:
            stop.set()
            t.join()
        assert time.monotonic() - start < 1.0
        assert len(ticks) > 10


def test_a_receiver_of_a_router_gets_the_routed_source_and_steers_it(sender):
    sender.set_ptz_supported(True)
    picture = random_frame(np.random.default_rng(5), 12, 20, 4)
    with qrv.Router(unique("py router")) as router:
        router.route(sender.source)
        with qrv.Receiver(qrv.Source("router", router.locator), color="fastest") as rx:
            (frame,) = receive(sender, [rx], picture, "BGRA")
            np.testing.assert_array_equal(frame, picture)
            assert rx.status.routed
            rx.set_tally(program=True)
            assert sender.tally(timeout=5) == qrv.Tally(on_program=True, on_preview=False)
            rx.recall_preset(7, speed=0.25)
            assert rx.wait_delivered(timeout=5) is True
            (command,) = list(itertools.islice(sender.commands(timeout=5), 1))
            assert command == qrv.CameraCommand("recall_preset", 7, 0.25, 0.0)


def announce(instance, group, ttl):
    """Announces a source by mDNS on loopback as any peer could: the
    instance label is raw bytes."""
    def name(*labels):
        return b"".join(bytes([len(x)]) + x for x in labels) + b"\0"

    def record(owner, rtype, data):
        return owner + struct.pack(">HHIH", rtype, 0x8001, ttl, len(data)) + data

    service, host, txt = name(b"_qrv", b"_tcp", b"local"), name(b"peer", b"local"), b"groups=" + group
    instance = name(instance, b"_qrv", b"_tcp", b"local")
    records = [record(service, 12, instance), record(instance, 33, struct.pack(">HHH", 0, 0, 9) + host),
               record(instance, 16, bytes([len(txt)]) + txt), record(host, 1, socket.inet_aton("127.0.0.1"))]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
        s.sendto(struct.pack(">6H", 0, 0x8400, 0, len(records), 0, 0) + b"".join(records), ("224.0.0.251", 5353))


class _Create(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("groups", ctypes.c_char_p), ("pace_video", ctypes.c_bool),
                ("pace_audio", ctypes.c_bool)]


class _Metadata(ctypes.Structure):
    _fields_ = [("length", ctypes.c_int32), ("timecode", ctypes.c_int64), ("text", ctypes.c_char_p)]


def test_text_from_peers_that_is_not_utf8_arrives_replaced_without_ending_a_loop():
    # A name: as other hosts may announce it.
    group = f"latin-{os.getpid()}".encode()
    with qrv.Finder(groups=group.decode()) as finder:
        try:
            for _ in range(50):
                announce("HOST (caf\xe9)".encode("latin-1"), group, 120)
                if finder.sources(timeout=0.1):
                    break
            assert [s.name for s in finder.sources()] == ["HOST (caf\ufffd)"]
        finally:
            announce("HOST (caf\xe9)".encode("latin-1"), group, 0)
    # Metadata: the runtime's C interface sends any bytes as they are.
    lib = ctypes.CDLL("libqrv.so.3")  # the one the package loaded
    lib.QRVlib_send_create.restype = ctypes.c_void_p
    lib.QRVlib_send_create.argtypes = [ctypes.POINTER(_Create)]
    lib.QRVlib_send_send_metadata.argtypes = [ctypes.c_void_p, ctypes.POINTER(_Metadata)]
    lib.QRVlib_send_get_locator.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint32]
    lib.QRVlib_send_get_no_connections.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
    lib.QRVlib_send_destroy.argtypes = [ctypes.c_void_p]
    assert lib.QRVlib_initialize()
    tx = lib.QRVlib_send_create(_Create(unique("latin").encode(), group, False, False))
    try:
        assert tx
        locator = ctypes.create_string_buffer(256)
        lib.QRVlib_send_get_locator(tx, locator, 256)
        with qrv.Receiver(qrv.Source("raw", locator.value.decode())) as rx:
            assert lib.QRVlib_send_get_no_connections(tx, 5000) == 1
            for text in ("<caf\xe9/>".encode("latin-1"), b"<next/>"):
                lib.QRVlib_send_send_metadata(tx, _Metadata(len(text), 0, text))
            got = [e.text for e in rx.events(timeout=1) if isinstance(e, qrv.Metadata)]
            assert got == ["<caf\ufffd/>", "<next/>"]
    finally:
        lib.QRVlib_send_destroy(tx)
        lib.QRVlib_destroy()


def test_a_camera_callback_that_raises_is_reported_and_called_for_the_next_command():
    seen, reported = [], []

    def on_command(command):
        seen.append(command.preset)
        raise ValueError("the caller's own code failed")

    hook, threading.excepthook = threading.excepthook, reported.append
    try:
        with qrv.Sender(unique("py callback"), pace=False, on_command=on_command) as tx, \
                qrv.Receiver(tx.source) as rx:
            end = time.monotonic() + 5
            while not rx.ptz_supported and time.monotonic() < end:
                rx.capture(timeout=0.05)
            rx.recall_preset(1)
            rx.recall_preset(2)
            while len(seen) < 2 and time.monotonic() < end:
                time.sleep(0.01)
    finally:
        threading.excepthook = hook
    assert seen == [1, 2]
    assert [r.exc_type for r in reported] == [ValueError, ValueError]
