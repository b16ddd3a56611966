"""Argument checks for the package's Python-level functions.

The native modules bind their arguments in one C++ helper; the few public
functions written in Python (notebook display, file reading, the command
line's entry points) check theirs here, so a refusal reads the same whatever
the function: "Argument 'x' has incorrect type (expected str, got int)".
"""
from __future__ import annotations

import operator
import os
from pathlib import Path
from typing import Any, NoReturn, Optional, Tuple, Union

_HEAPTYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE
_TIME_LIMIT = (1 << 63) - 1  # the latest 64-bit time: a window past it holds nothing


def type_name(value: Any) -> str:
    """The name the interpreter's own messages give the type of `value`.

    Built-in and extension types carry their dotted name ("numpy.ndarray");
    classes defined in Python carry their bare name, as in C-level messages.
    """
    cls = type(value)
    if cls.__flags__ & _HEAPTYPE or cls.__module__ == "builtins":
        return cls.__name__
    return f"{cls.__module__}.{cls.__name__}"


def refuse(param: str, expected: str, got: Any) -> NoReturn:
    raise TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                    % (param, expected, type_name(got)))


def exact(param: str, value: Any, cls: type, *, none: bool = False) -> Any:
    """`value` when its type is exactly `cls` (or it is None and `none` allows it)."""
    if type(value) is cls or (none and value is None):
        return value
    refuse(param, cls.__name__, value)


def integer(param: str, value: Any, *, none: bool = False) -> Any:
    """Any number truncated to an int; text, None (unless allowed) and non-numbers are refused."""
    if value is None and none:
        return None
    if type(value) is int:
        return value
    if isinstance(value, (str, bytes, bytearray)) or not (
            hasattr(type(value), "__index__") or hasattr(type(value), "__int__")
            or hasattr(type(value), "__float__")):
        refuse(param, "int", value)
    try:
        return operator.index(value)
    except TypeError:
        return int(value)


def window(start: Any, duration: Any) -> Tuple[int, Optional[int]]:
    """(start, duration) of a time window, in µs after a recording's first event: any numbers
    truncated to ints, never negative, clamped to 64-bit times; start None is 0, duration None
    runs to the end."""
    start = integer("start", start, none=True)
    duration = integer("duration", duration, none=True)
    if start is not None and start < 0:
        raise ValueError(f"start must not be negative (got {start})")
    if duration is not None and duration < 0:
        raise ValueError(f"duration must not be negative (got {duration})")
    return min(start or 0, _TIME_LIMIT), None if duration is None else min(duration, _TIME_LIMIT)


def opt_bool(param: str, value: Any) -> Any:
    """Exactly a bool, or None."""
    if value is None or type(value) is bool:
        return value
    refuse(param, "bool", value)


def output_folder(path: Union[str, "os.PathLike[str]"]) -> None:
    """The folder an output file goes in must exist: checked before the work, not after it."""
    folder = Path(os.fspath(path)).parent
    if not folder.is_dir():
        raise FileNotFoundError(f"{folder}: no such directory")
