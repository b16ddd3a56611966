"""What the recording page, the summaries and the video ask of the readers.

A `Source` (see `_registry`) is where events come from, checked by the readers. Everything
the page needs of a file goes through this module, so the readers' inner workings can
change without it.
"""
from __future__ import annotations

import os
from typing import Any

import numpy as np

from . import _native_formats as native
from ._entry import outside_arg, path_arg
from ._problems import RecordingError, cut_note, fail, outside_sensor, warn
from ._registry import FORMATS, READERS, RECORD, File, Source, Window
from ._sniffing import open_checked

__all__ = ["Source", "open_source", "source_of", "open_checked", "path_arg", "outside_arg",
           "warn", "fail", "cut_note", "outside_sensor", "RecordingError", "RECORD", "FORMATS", "READ_BYTES"]

READ_BYTES = native.READ_BYTES


def source_of(file: File, outside: str) -> Source:
    """The source of an opened file, as its reader gives it (else the events it reads)."""
    reader = READERS[file.ext]
    if reader.source is not None:
        return reader.source(file, outside)
    return Source.of_array(reader.read(file, Window(outside=outside)), outside, file)


def open_source(recording: Any, outside: Any = "refuse") -> Source:
    """The source of a recording file or an event array; arguments checked as the readers check them."""
    outside = outside_arg(outside)
    if isinstance(recording, np.ndarray):
        return Source.of_array(recording, outside)
    path_arg(recording)
    return source_of(open_checked(os.fspath(recording)), outside)
