"""Receiving a source: frames as NumPy arrays, status, tally and camera
commands."""

from __future__ import annotations

import math
from typing import Iterator, Sequence, Union

from . import _native
from ._errors import check_optional_text, check_text
from ._finder import Source, find_source
from ._frames import AudioFrame, Metadata, StatusChange, VideoFrame, audio_frame, video_frame

#: The colour formats by the names the monitor tool uses.
COLORS = {"bgrx-bgra": 0, "uyvy-bgra": 1, "rgbx-rgba": 2, "uyvy-rgba": 3, "fastest": 100}
#: What a receiver asks its source to send.
BANDWIDTHS = {"metadata": 0, "audio": 10, "lowest": 50, "highest": 100}

Event = Union[VideoFrame, AudioFrame, Metadata, StatusChange]


def _choice(value: object, table: dict[str, int], what: str) -> int:
    check_text(value, what)
    if value not in table:
        raise ValueError(f"{what} is one of {', '.join(table)}, not '{value}'")
    return table[value]  # type: ignore[index]


class Receiver:
    """Receives one source.

    ``source`` is a Source from a finder, or a name: the full "HOST (name)"
    or the name alone, looked up for up to ``find_timeout`` seconds.
    ``color`` is the layout of the video frames: "uyvy-bgra" (the default:
    UYVY, or BGRA when the source has alpha), "bgrx-bgra", "rgbx-rgba",
    "uyvy-rgba" or "fastest" (as the source sent it, never converted).
    ``bandwidth`` is "highest", "lowest" (a small preview), "audio" or
    "metadata". ``max_fps`` caps the video frames a second (0: all).

    >>> with qrv.Receiver("My Video", color="bgrx-bgra") as rx:
    ...     for frame in rx.frames(timeout=5):
    ...         print(frame.shape, frame.fourcc)

    Frames stay valid after the receiver is closed; the runtime's receiver
    goes once the last of them is released.
    """

    def __init__(self, source: Source | str, color: str = "uyvy-bgra", bandwidth: str = "highest",
                 name: str | None = None, max_fps: float = 0, find_timeout: float = 10.0,
                 groups: str | Sequence[str] | None = None) -> None:
        color_code = _choice(color, COLORS, "color")
        bandwidth_code = _choice(bandwidth, BANDWIDTHS, "bandwidth")
        name = check_optional_text(name, "the receiver name")
        if not isinstance(max_fps, (int, float)) or not math.isfinite(max_fps) or max_fps < 0:
            raise ValueError("max_fps is a number of frames a second, 0 or more")
        if isinstance(source, str):
            source = find_source(source, find_timeout, groups)
        elif not isinstance(source, Source):
            raise TypeError(f"source must be a qrv.Source or a str, not {type(source).__name__}")
        check_text(source.name, "the source name")
        check_text(source.locator, "the source locator")
        self.source: Source = source
        self._native = _native.Receiver(source.name, source.locator, color_code, bandwidth_code, name,
                                        float(max_fps))

    # --- frames ------------------------------------------------------------

    def frames(self, timeout: float | None = 5.0) -> Iterator[VideoFrame]:
        """Yields the video frames as they come; ends when none came for
        ``timeout`` seconds (None: never). Audio and metadata are skipped."""
        while (frame := self._next(_native.KIND_VIDEO, timeout)) is not None:
            yield frame

    def audio_frames(self, timeout: float | None = 5.0) -> Iterator[AudioFrame]:
        """Yields the audio frames, float32 (channels, samples); ends as
        frames() does."""
        while (frame := self._next(_native.KIND_AUDIO, timeout)) is not None:
            yield frame

    def events(self, timeout: float | None = 5.0) -> Iterator[Event]:
        """Yields everything in arrival order: VideoFrame, AudioFrame,
        Metadata and StatusChange; ends after ``timeout`` seconds of none."""
        kinds = _native.KIND_VIDEO | _native.KIND_AUDIO | _native.KIND_METADATA | _native.KIND_STATUS
        while (event := self._next(kinds, timeout)) is not None:
            yield event

    def capture(self, timeout: float | None = 5.0) -> VideoFrame | None:
        """The next video frame, or None when none came within ``timeout``."""
        return self._next(_native.KIND_VIDEO, timeout)

    def _next(self, kinds: int, timeout: float | None) -> Event | None:
        # The runtime's buffer is referenced from the returned frame alone,
        # so that a released frame goes back before the next capture.
        got = self._native.capture(kinds, timeout)
        if got is None:
            return None
        kind = got[0]
        if kind == "video":
            return video_frame(got[1])
        if kind == "audio":
            return audio_frame(got[1])
        if kind == "metadata":
            return Metadata(got[1], got[2])
        return StatusChange(*got[1:])

    # --- state -------------------------------------------------------------

    @property
    def status(self) -> StatusChange:
        """The state as the last change of status left it."""
        return StatusChange(*self._native.status())

    @property
    def stats(self) -> dict[str, int]:
        """Counters since creation: received, dropped (video replaced by
        newer frames before capture, audio and metadata beyond their caps,
        and frames the source skipped for this receiver or that were lost
        on the way),
        bad messages, connections, and frames that could not be delivered."""
        return self._native.stats()

    @property
    def dropped(self) -> int:
        """Video frames not captured: replaced by newer ones before capture,
        skipped by the source for this receiver, or lost on the way."""
        return self._native.stats()["video_dropped"]

    # --- tally and camera ----------------------------------------------------

    def set_tally(self, program: bool = False, preview: bool = False) -> None:
        """Tells the source it is on program and/or preview (kept across
        reconnections until the next call)."""
        self._native.set_tally(bool(program), bool(preview))

    @property
    def source_tally(self) -> tuple[bool, bool]:
        """(on_program, on_preview) of the source, as it last reported."""
        return self._native.source_tally()

    @property
    def ptz_supported(self) -> bool:
        """Whether the connected source takes camera commands."""
        return self._native.ptz_supported()

    def recall_preset(self, preset: int, speed: float = 1.0) -> None:
        """Moves the camera to a stored preset (0 to 99) at a speed (0 to 1).
        Raises qrv.Error when not connected or the source takes no camera
        commands. The command is queued for sending; wait_delivered() says
        when the camera holds it."""
        self._native.recall_preset(_preset(preset), float(speed))

    def store_preset(self, preset: int) -> None:
        """Stores the camera's position as a preset (0 to 99)."""
        self._native.store_preset(_preset(preset))

    def pan_tilt(self, pan: float, tilt: float) -> None:
        """Moves the camera at a pan and a tilt speed, each -1 to 1."""
        self._native.pan_tilt(float(pan), float(tilt))

    def zoom(self, zoom: float) -> None:
        """Zooms to a position, 0 (wide) to 1 (tele)."""
        self._native.zoom(float(zoom))

    def wait_delivered(self, timeout: float = 2.0) -> bool:
        """Waits until the camera holds the last camera command sent through
        this receiver (and so every one before it: they arrive in order).
        Returns True when the source acknowledged it, False when the source
        is of an older version that does not acknowledge (the command was
        written, no more is known). Raises qrv.Error when the source refused
        it, the connection ended first, no command was sent, or none came
        within ``timeout`` seconds. Ctrl-C ends the wait."""
        return self._native.wait_delivered(float(timeout))

    # --- life ----------------------------------------------------------------

    def close(self) -> None:
        """Stops receiving; a wait in another thread ends. Frames already
        captured stay valid."""
        self._native.close()

    def __enter__(self) -> Receiver:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<qrv.Receiver of {self.source.name!r}>"


def _preset(preset: object) -> int:
    if not isinstance(preset, int) or isinstance(preset, bool) or not 0 <= preset <= 99:
        raise ValueError("a preset is a whole number from 0 to 99")
    return preset
