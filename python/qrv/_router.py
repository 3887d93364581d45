"""Routing: a published source that carries whichever source it is
pointed at."""

from __future__ import annotations

from typing import Sequence

from . import _native
from ._errors import check_optional_text, check_text
from ._finder import Source


class Router:
    """Publishes a source named ``name`` that carries another source:
    receivers of the router are sent to the source it points at.

    >>> with qrv.Router("Program") as router:
    ...     router.route(qrv.find_source("Camera 1"))
    """

    def __init__(self, name: str, groups: str | Sequence[str] | None = None) -> None:
        check_text(name, "the router name")
        self._native = _native.Router(name, check_optional_text(groups, "groups"))

    def route(self, source: Source | None) -> None:
        """Points the router at a source (None: at nothing)."""
        if source is None:
            self._native.clear()
            return
        if not isinstance(source, Source):
            raise TypeError(f"source must be a qrv.Source, not {type(source).__name__}")
        self._native.route(check_text(source.name, "the source name"),
                           check_text(source.locator, "the source locator"))

    def clear(self) -> None:
        """Points the router at nothing."""
        self._native.clear()

    def connections(self, timeout: float = 0) -> int:
        """The receivers connected to the router's source; with a timeout,
        waits up to that many seconds for one."""
        return self._native.connections(timeout)

    @property
    def locator(self) -> str:
        """Where receivers connect to the router's own source."""
        return self._native.locator()

    def close(self) -> None:
        """Withdraws the routed source."""
        self._native.close()

    def __enter__(self) -> Router:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
