"""Live video, audio and metadata over the network, from Python.

Find sources (``qrv.sources()``, ``qrv.Finder``), receive them as NumPy
arrays without a copy (``qrv.Receiver``), send arrays as a source
(``qrv.Sender``), switch sources (``qrv.Router``), and steer cameras and
tally. Failures of the runtime raise ``qrv.Error`` with its reason; bad
arguments raise ValueError, TypeError or (whole numbers beyond a C int)
OverflowError. Waits release the GIL and end on Ctrl-C.
"""

from __future__ import annotations

from . import _native
from ._errors import Error
from ._finder import Finder, Source, SourceChange, find_source, sources
from ._frames import AudioFrame, Metadata, StatusChange, VideoFrame
from ._receiver import BANDWIDTHS, COLORS, Receiver
from ._router import Router
from ._sender import CameraCommand, Sender, Tally

_native._set_error_type(Error)


def version() -> str:
    """The version of the runtime library."""
    return _native.version()


__all__ = [
    "AudioFrame", "BANDWIDTHS", "COLORS", "CameraCommand", "Error", "Finder", "Metadata", "Receiver",
    "Router", "Sender", "Source", "SourceChange", "StatusChange", "Tally", "VideoFrame", "find_source",
    "sources", "version",
]
