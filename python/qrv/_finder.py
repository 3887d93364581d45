"""Finding sources: a one-shot list and a finder that reports changes."""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Iterator, Sequence

from . import _native
from ._errors import check_optional_text, check_text


@dataclass(frozen=True)
class Source:
    """A source on the network: its full name ("HOST (name)") and its
    locator (where to connect; may be empty, then it is found by name).
    Bytes of a name that are not UTF-8 read as U+FFFD; such a source is
    received by its locator."""

    name: str
    locator: str = ""

    def __str__(self) -> str:
        return self.name


@dataclass(frozen=True)
class SourceChange:
    """What changed in a finder's list: the sources that came and went, and
    the whole list now."""

    added: tuple[Source, ...]
    removed: tuple[Source, ...]
    sources: tuple[Source, ...] = field(repr=False)


class Finder:
    """Keeps the list of sources visible on the network.

    ``groups`` keeps only sources of those groups (a comma list or a list of
    names); ``extra`` names further places to look by unicast DNS (domain
    names or DNS servers); ``show_local`` lists this process's own sources
    too. Use as a context manager, or call close().

    >>> with qrv.Finder() as finder:
    ...     for change in finder.watch(timeout=10):
    ...         print(change.added)
    """

    def __init__(self, groups: str | Sequence[str] | None = None, extra: str | Sequence[str] | None = None,
                 show_local: bool = True) -> None:
        self._native = _native.Finder(check_optional_text(groups, "groups"), check_optional_text(extra, "extra"),
                                      bool(show_local))

    def sources(self, timeout: float = 0) -> list[Source]:
        """The sources visible now; with a timeout, waits that long first for
        the list to change (returning as soon as it did)."""
        if timeout:
            self._native.wait(timeout)
        return [Source(n, loc) for n, loc in self._native.sources()]

    def wait(self, timeout: float | None = None) -> bool:
        """Waits for the list to change; True when it did within the
        timeout (seconds; None: no end). Other Python threads run meanwhile,
        and Ctrl-C ends the wait."""
        return self._native.wait(timeout)

    def watch(self, timeout: float | None = None) -> Iterator[SourceChange]:
        """Yields a SourceChange each time the list changes: first the
        sources already visible, if any. Ends after ``timeout`` seconds
        without a change (None: never)."""
        known: dict[str, Source] = {}
        first = True
        while True:
            if not first and not self._native.wait(timeout):
                return
            now = {s.name: s for s in (Source(n, loc) for n, loc in self._native.sources())}
            added = tuple(s for name, s in now.items() if known.get(name) != s)
            removed = tuple(s for name, s in known.items() if name not in now)
            known = now
            if added or removed:
                yield SourceChange(added, removed, tuple(now.values()))
            first = False

    def close(self) -> None:
        """Stops finding; a wait in another thread returns."""
        self._native.close()

    def __enter__(self) -> Finder:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def sources(timeout: float = 1.0, groups: str | Sequence[str] | None = None,
            extra: str | Sequence[str] | None = None) -> list[Source]:
    """The sources found within ``timeout`` seconds (discovery needs a
    moment: a source appears within about a second on this network)."""
    with Finder(groups, extra) as finder:
        end = time.monotonic() + timeout
        while (left := end - time.monotonic()) > 0:
            finder.wait(left)
        return finder.sources()


def find_source(name: str, timeout: float = 10.0, groups: str | Sequence[str] | None = None,
                extra: str | Sequence[str] | None = None) -> Source:
    """The source named ``name``: its full name "HOST (name)", or the name in
    the parentheses alone. Raises LookupError when none shows up in time."""
    check_text(name, "the source name")
    with Finder(groups, extra) as finder:
        end = time.monotonic() + timeout
        while True:
            for s in finder.sources():
                if s.name == name or s.name.endswith(f" ({name})"):
                    return s
            left = end - time.monotonic()
            if left <= 0:
                raise LookupError(f"no source named '{name}' found within {timeout:g} s")
            finder.wait(left)
