"""Sending a source from NumPy arrays, and what reaches a sender back:
connections, tally and camera commands."""

from __future__ import annotations

import atexit
import sys
import threading
import weakref
from dataclasses import dataclass
from typing import Any, Callable, Iterator, Sequence

import numpy as np

from . import _native
from ._errors import check_int_range, check_optional_text, check_text
from ._finder import Source

#: Camera commands by their codes.
_COMMANDS = {1: "recall_preset", 2: "store_preset", 3: "pan_tilt", 4: "zoom"}


@dataclass(frozen=True)
class CameraCommand:
    """A camera command that reached a sender. ``command`` is
    "recall_preset" (preset, speed in value_a), "store_preset" (preset),
    "pan_tilt" (pan speed in value_a, tilt speed in value_b) or "zoom"
    (position in value_a)."""

    command: str
    preset: int
    value_a: float
    value_b: float


@dataclass(frozen=True)
class Tally:
    """Whether a source is on program (on air) and on preview."""

    on_program: bool
    on_preview: bool


class Sender:
    """Publishes a source named ``name`` and sends frames to its receivers.

    ``groups`` are the groups the source belongs to (default "public").
    With ``pace`` (the default) video and audio sends return at the rate of
    their frames; without it, as soon as the runtime has taken them.
    ``on_command`` is called with each CameraCommand on a thread of the
    package (and makes the source declare camera control); an exception it
    raises goes to ``threading.excepthook`` and the next command is
    delivered all the same. Without it, read them with commands().

    >>> with qrv.Sender("From Python") as tx:
    ...     tx.send_video(np.zeros((1080, 1920, 4), np.uint8), fourcc="BGRA")
    """

    def __init__(self, name: str, groups: str | Sequence[str] | None = None, pace: bool = True,
                 on_command: Callable[[CameraCommand], Any] | None = None) -> None:
        check_text(name, "the sender name")
        self._native = _native.Sender(name, check_optional_text(groups, "groups"), bool(pace), bool(pace))
        self._listener: threading.Thread | None = None
        if on_command is not None:
            if not callable(on_command):
                raise TypeError("on_command must be callable")
            self.set_ptz_supported(True)
            self._listener = threading.Thread(target=self._listen, args=(on_command,), daemon=True,
                                              name=f"qrv camera commands of {name}")
            _live_senders.add(self)
            self._listener.start()

    # --- media ---------------------------------------------------------------

    def send_video(self, frame: Any, fourcc: str = "BGRA", fps: tuple[int, int] = (30000, 1001),
                   metadata: str | None = None) -> None:
        """Sends a frame without copying it: a C-contiguous uint8 array of
        shape (height, width, 4) for "BGRA", "BGRX", "RGBA" and "RGBX", or
        (height, width, 2) for "UYVY". Returns at once (at the frame rate
        when paced); the array is kept alive and must not be changed until
        the next send_video, flush() or close(). Raises ValueError for an
        array of another shape, dtype, layout or stride, and qrv.Error when
        the runtime refuses the frame (beyond its size limits)."""
        check_text(fourcc, "fourcc")
        if not (isinstance(fps, tuple) and len(fps) == 2 and all(isinstance(x, int) for x in fps)):
            raise ValueError("fps is a pair of whole numbers (numerator, denominator)")
        check_int_range(fps[0], "the fps numerator")
        check_int_range(fps[1], "the fps denominator")
        if metadata is not None:
            check_text(metadata, "metadata")
        _check_array(frame, np.uint8, "a video frame")
        self._native.send_video(frame, fourcc, fps[0], fps[1], metadata)

    def send_audio(self, samples: Any, sample_rate: int = 48000) -> None:
        """Sends audio: float32 of shape (channels, samples), or int16 of
        shape (samples, channels) interleaved; C-contiguous. Returns once
        the runtime has read it (at the rate of the samples when paced)."""
        _check_positive(sample_rate, "the sample rate")
        if isinstance(samples, np.ndarray) and samples.dtype == np.int16:
            self._native.send_audio_16s(samples, sample_rate)
            return
        _check_array(samples, np.float32, "audio")
        self._native.send_audio(samples, sample_rate)

    def send_metadata(self, text: str) -> None:
        """Sends a metadata frame (XML text) to every receiver."""
        self._native.send_metadata(check_text(text, "metadata"))

    def flush(self) -> None:
        """Waits until the runtime no longer reads the last video frame
        sent; the array may then be changed."""
        self._native.flush()

    # --- what comes back -------------------------------------------------------

    def connections(self, timeout: float = 0) -> int:
        """The receivers connected now; with a timeout, waits up to that
        many seconds for at least one."""
        return self._native.connections(timeout)

    def wait_video_wanted(self, timeout: float = 0) -> bool:
        """Whether a receiver is ready for a new video frame (it has taken
        the newest, or was sent none yet), waiting up to ``timeout``
        seconds for one. A producer that renders frames on demand calls it
        before each, so that it makes no frame the links would skip."""
        return self._native.video_wanted(timeout)

    def tally(self, timeout: float = 0) -> Tally:
        """The combined tally of the receivers; with a timeout, waits up to
        that many seconds for it to change since the previous call."""
        _, program, preview = self._native.tally(timeout)
        return Tally(program, preview)

    def tally_changes(self, timeout: float | None = None) -> Iterator[Tally]:
        """Yields the tally each time it changes; ends after ``timeout``
        seconds without a change (None: never)."""
        while True:
            changed, program, preview = self._native.tally(timeout)
            if not changed:
                return
            yield Tally(program, preview)

    def set_ptz_supported(self, supported: bool = True) -> None:
        """Declares whether the source takes camera commands."""
        self._native.set_ptz_supported(bool(supported))

    def commands(self, timeout: float | None = None) -> Iterator[CameraCommand]:
        """Yields the camera commands as they arrive (declare support with
        set_ptz_supported first); ends after ``timeout`` seconds without one."""
        while (c := self._native.command(timeout)) is not None:
            yield CameraCommand(_COMMANDS.get(c[0], str(c[0])), *c[1:])

    def _listen(self, callback: Callable[[CameraCommand], Any]) -> None:
        try:
            for command in self.commands(timeout=None):
                try:
                    callback(command)
                except Exception:
                    # Reported as a thread's uncaught exception is; the
                    # commands after it are still delivered.
                    threading.excepthook(threading.ExceptHookArgs((*sys.exc_info(), threading.current_thread())))
        except ValueError:
            pass  # closed

    # --- identity and life -------------------------------------------------

    @property
    def name(self) -> str:
        """The full name published now ("HOST (name)")."""
        return self._native.published_name()

    @property
    def locator(self) -> str:
        """Where receivers connect to this source."""
        return self._native.locator()

    @property
    def source(self) -> Source:
        """This sender's own source, to hand to a Receiver or a Router."""
        return Source(self.name, self.locator)

    @property
    def stats(self) -> dict[str, int]:
        """Counters: frames accepted and refused, connections, drops."""
        return self._native.stats()

    def close(self) -> None:
        """Waits for the runtime to finish with the last frame, withdraws the
        source and stops the command thread."""
        self._native.close()
        listener, self._listener = self._listener, None
        if listener is not None and listener is not threading.current_thread():
            listener.join()

    def __enter__(self) -> Sender:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _check_array(value: Any, dtype: type, what: str) -> None:
    if not isinstance(value, np.ndarray):
        raise ValueError(f"{what} is a numpy array, not {type(value).__name__}")
    if value.dtype != dtype:
        raise ValueError(f"{what} is an array of {np.dtype(dtype).name}, not {value.dtype}")
    if not value.flags.c_contiguous:
        raise ValueError(f"{what} is C-contiguous (use numpy.ascontiguousarray)")


def _check_positive(value: object, what: str) -> None:
    if not isinstance(value, int) or isinstance(value, bool) or value <= 0:
        raise ValueError(f"{what} is a positive whole number")
    check_int_range(value, what)


# Senders whose command thread runs: closed when the interpreter ends, so
# that no callback runs while Python goes away.
_live_senders: "weakref.WeakSet[Sender]" = weakref.WeakSet()


@atexit.register
def _close_listening_senders() -> None:
    for sender in list(_live_senders):
        sender.close()
