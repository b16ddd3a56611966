"""What the readers say of a file: the error, the warning and their shared phrasings.

Every message names the file first; the page, the summaries and the video use these
same words, so a file reads the same whatever opens it.
"""
from __future__ import annotations

import os
import sys
import warnings
from pathlib import Path
from types import FrameType
from typing import Optional, Union

# Warnings are attributed to the first caller outside the package's own tree.
_PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep


class RecordingError(ValueError):
    """A recording file that cannot be read: truncated, corrupt, or not what its name says."""


class RecordingWarning(UserWarning):
    """A recording read in part or with care: cut short, events outside the sensor dropped on
    request, or a window read whole because the file's times go backwards."""


def fail(path: Union[Path, str], what: str) -> RecordingError:
    return RecordingError(f"{path}: {what}")


def warn(path: Union[Path, str], what: str) -> None:
    # Attributed to the first caller outside this package, however deep the reader is.
    level = 2
    frame: Optional[FrameType] = sys._getframe(1)
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame, level = frame.f_back, level + 1
    warnings.warn(f"{path}: {what}", RecordingWarning, stacklevel=level)


def events_text(n: int) -> str:
    return f"{n:,} event{'s' if n != 1 else ''}"


def cut_note(size: int, unit: str, cut: int, n: int) -> str:
    """What a warning says of a file that ends at `size`, inside the `unit` at byte `cut`."""
    return (f"cut short: the file ends at byte {size}, inside the {unit} at byte {cut}; "
            f"{events_text(n)} before it are read")


def outside_sensor(path: Union[Path, str], n: int, sensor: str, first: str, outside: str) -> None:
    """`n` events outside `sensor`: dropped with a warning, or the file refused."""
    events = events_text(n)
    if outside == "drop":
        warn(path, f"dropped {events} outside {sensor} (the first: {first})")
        return
    raise fail(path, f"{events} outside {sensor}; the first: {first}. "
                     "Drop them with outside='drop' (on the command line, --outside drop) to read the others")
