"""What the recording page, the summaries and the video ask of the readers.

A `Source` (see `_registry`) is where events come from, checked by the readers. Everything
the page needs of a file goes through this module, so the readers' inner workings can
change without it.
"""
from __future__ import annotations

import os
from typing import Any, Dict, Iterator, Optional

import numpy as np

from . import _native_formats as native
from ._aedat_legacy import skipped as skipped_note
from ._entry import options_arg, outside_arg, path_arg
from ._problems import RecordingError, cut_note, fail, outside_sensor, warn
from ._registry import FORMATS, READERS, RECORD, File, Source, Window
from ._sniffing import open_checked

__all__ = ["Source", "open_source", "source_of", "whole_pieces", "source_pieces", "open_checked", "path_arg",
           "outside_arg", "options_arg", "skipped_note", "warn", "fail", "cut_note", "outside_sensor", "RecordingError",
           "RECORD", "FORMATS", "READ_BYTES"]

READ_BYTES = native.READ_BYTES


def source_of(file: File, outside: str) -> Source:
    """The source of an opened file, as its reader gives it (else the events it reads)."""
    reader = READERS[file.ext]
    if reader.source is not None:
        return reader.source(file, outside)
    return Source.of_array(reader.read(file, Window(outside=outside)), outside, file)


def open_source(recording: Any, outside: Any = "refuse", options: Optional[Dict[str, Any]] = None) -> Source:
    """The source of a recording file or an event array; arguments checked as the readers check
    them. `options` are the choices inside a file (see `options_arg`)."""
    outside = outside_arg(outside)
    if isinstance(recording, np.ndarray):
        if options:
            raise ValueError(f"{next(iter(options))}= chooses inside a file, not an event array")
        return Source.of_array(recording, outside)
    path_arg(recording)
    return source_of(open_checked(os.fspath(recording), options=options), outside)


def whole_pieces(file: File, outside: str, chunk: int, back: Optional[list] = None) -> Iterator[np.ndarray]:
    """A file's records in file order, in pieces of at most `chunk`. For a file the native
    decoders read, the byte where the first backwards time's word starts goes to `back`."""
    reader = READERS[file.ext]
    if reader.iterate is native.decoded_iterate:
        return native.pieces_noting_back(file, outside, chunk, back if back is not None else [])
    if reader.iterate is not None:
        return reader.iterate(file, Window(outside=outside), chunk)
    whole = reader.read(file, Window(outside=outside))
    return (whole[i:i + chunk] for i in range(0, len(whole), chunk))


def source_pieces(src: Source, chunk: int, back: Optional[list] = None, outside: str = "drop") -> Iterator[np.ndarray]:
    """A source's records in file order, in pieces of at most `chunk` (events outside the sensor
    dropped); for a file the native decoders read, the first backwards time's byte goes to `back`.
    Array sources give slices of their array, with its own fields."""
    if src.kind == "native":
        return native._pieces(src.file, src.layout, src.size, 0, -1, chunk, outside,
                              back if back is not None else [])
    if src.kind == "chunks":
        assert src.chunks is not None, "a chunks source reads its pieces"
        return src.chunks()
    arr = src.events
    return (arr[i:i + chunk] for i in range(0, len(arr), chunk))
