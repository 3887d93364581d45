"""The error that the runtime's refusals raise."""

from __future__ import annotations


class Error(RuntimeError):
    """A call into the runtime failed.

    ``str(error)`` says what failed and why; ``reason`` is the runtime's own
    reason (its last error), empty when it gave none.
    """

    def __init__(self, message: str, reason: str = "") -> None:
        super().__init__(message)
        self.reason: str = reason


def check_text(value: object, what: str) -> str:
    """Returns ``value`` when it is text the runtime can take, else raises
    TypeError (not a str) or ValueError (a NUL character inside, or a lone
    surrogate, which has no UTF-8 form: os.fsdecode() makes them of bytes
    that are not UTF-8)."""
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{what} must not contain a NUL character")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError as e:
        raise ValueError(f"{what} must be text that UTF-8 can encode, not a lone surrogate "
                         f"({value[e.start]!r} at index {e.start})") from None
    return value


#: The largest whole number the runtime takes where it wants a C int.
INT_MAX = 2**31 - 1


def check_int_range(value: int, what: str) -> int:
    """Returns ``value`` when it fits the runtime's C int, else raises
    OverflowError naming ``what``."""
    if value > INT_MAX:
        raise OverflowError(f"{what} must be at most {INT_MAX}, not {value}")
    if value < -INT_MAX - 1:
        raise OverflowError(f"{what} must be at least {-INT_MAX - 1}, not {value}")
    return value


def check_optional_text(value: object, what: str) -> str | None:
    """As check_text, None allowed; a list or tuple of texts is joined with commas."""
    if value is None:
        return None
    if isinstance(value, (list, tuple)):
        return ",".join(check_text(v, what) for v in value)
    return check_text(value, what)
