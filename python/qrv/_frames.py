"""What a receiver hands out: video and audio frames that are NumPy arrays
over the runtime's own memory, metadata text and changes of status."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _native


class _RuntimeArray(np.ndarray):
    """An array over memory that the runtime lent.

    A frame is a view of a plain array (the keeper) over the runtime's
    buffer, and every array derived from it holds the keeper too: NumPy
    makes plain views of a frame view the keeper directly, and views of the
    frame's own type carry it as an attribute. So release() can detach the
    frame alone: the memory stays while any other view holds the keeper and
    goes back to the runtime with the last of them.
    """

    _keeper: np.ndarray | None = None

    def __array_finalize__(self, obj: Any) -> None:
        if isinstance(obj, _RuntimeArray):
            self.__dict__.update(obj.__dict__)
            # Views keep the runtime's memory; copies own theirs, keep nothing.
            if self.flags.owndata:
                self._keeper = None

    def __array_wrap__(self, out: np.ndarray, context: Any = None) -> Any:
        # Results of arithmetic own new memory: plain arrays, not frames.
        out = super().__array_wrap__(out, context)
        if out is self:
            return out
        return out[()] if out.shape == () else out.view(np.ndarray)

    def __getitem__(self, index: Any) -> Any:
        # A part of a frame is a plain array (still over the same memory).
        res = super().__getitem__(index)
        return res.view(np.ndarray) if isinstance(res, _RuntimeArray) else res

    def release(self) -> None:
        """Gives the memory back to the runtime now, unless other arrays
        still view it (then it goes back with the last of them). The frame
        is empty afterwards."""
        if self._keeper is None:
            return
        self.__setstate__((1, (0,) * self.ndim, self.dtype, False, b""))
        self._keeper = None

    def __enter__(self):
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()

    def __reduce__(self) -> Any:
        # Pickles as a plain array: the runtime's memory does not travel.
        return np.asarray(self).copy().__reduce__()


class VideoFrame(_RuntimeArray):
    """A video frame: a read-only ``numpy.ndarray`` over the runtime's pixels.

    Shaped (height, width, 4) for BGRA, BGRX, RGBA and RGBX, and
    (height, width, 2) for UYVY (U Y0 V Y1 per pair of pixels), dtype
    uint8. No pixel is copied: ``frame.copy()`` gives a writable copy. The
    frame goes back to the runtime when the last array viewing it goes, or
    at once with ``release()`` (or at the end of ``with frame:``).

    Attributes: ``fourcc`` ("BGRA", "UYVY", ...), ``frame_rate``
    (numerator, denominator), ``timecode`` and ``timestamp`` (100 ns units),
    ``aspect`` (0.0 when the source said none), ``metadata`` (text or None).
    """

    fourcc: str = ""
    frame_rate: tuple[int, int] = (0, 1)
    timecode: int = 0
    timestamp: int = 0
    aspect: float = 0.0
    metadata: str | None = None

    def __repr__(self) -> str:
        if self._keeper is None and self.size == 0:
            return "<qrv.VideoFrame released>"
        h, w = self.shape[:2]
        num, den = self.frame_rate
        return f"<qrv.VideoFrame {w}x{h} {self.fourcc} {num}/{den} fps>"


class AudioFrame(_RuntimeArray):
    """Audio: a read-only float32 ``numpy.ndarray`` of shape (channels,
    samples) over the runtime's samples, released as a VideoFrame is.

    Attributes: ``sample_rate``, ``timecode``, ``timestamp``, ``metadata``.
    """

    sample_rate: int = 0
    timecode: int = 0
    timestamp: int = 0
    metadata: str | None = None

    def __repr__(self) -> str:
        if self._keeper is None and self.size == 0:
            return "<qrv.AudioFrame released>"
        return f"<qrv.AudioFrame {self.shape[0]} channels, {self.shape[1]} samples at {self.sample_rate} Hz>"


@dataclass(frozen=True)
class Metadata:
    """A metadata frame: XML text and its timecode (100 ns units). Bytes
    that are not UTF-8 read as U+FFFD."""

    text: str
    timecode: int


@dataclass(frozen=True)
class StatusChange:
    """A receiver's state after a change: connected, whether its source takes
    camera commands, whether a router sent it elsewhere."""

    connected: bool
    ptz_supported: bool
    routed: bool


def _wrap(buffer: Any, kind: type[_RuntimeArray]) -> Any:
    keeper = np.asarray(buffer)
    frame = keeper.view(kind)
    frame.__dict__.update(buffer.attributes)
    frame._keeper = keeper
    return frame


def video_frame(buffer: _native.VideoBuffer) -> VideoFrame:
    return _wrap(buffer, VideoFrame)


def audio_frame(buffer: _native.AudioBuffer) -> AudioFrame:
    return _wrap(buffer, AudioFrame)
