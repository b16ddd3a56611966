"""The readers, by file extension: what the entry points, the sniffer and the page ask of a format.

A format is one `Reader`; `register` adds it. Only `read` is required: a reader without
`iterate` is iterated in slices of its read, one without `source` reaches the recording
page as the event array it reads, and one without `sensor_size` gives none.

A `Source` is what a reader gives the recording page, the summaries and the video: a file
the native engine decodes ("native", with its decoder), a file read in pieces of records
("chunks", such as AEDAT 4 packets) or an event array ("array").
"""
from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, Generator, Iterator, NamedTuple, Optional, Tuple, Union

import numpy as np

from .. import _native

# The records every reader returns: x, y (int16), t (int64, µs) and p (int8, -1 or 1),
# as the decoders write them.
RECORD: np.dtype = _native.events()._RECORD

Progress = Optional[Callable[[float], None]]


class File(NamedTuple):
    """A recording file whose content matched its extension: its path, lower-case extension,
    first bytes (a '%' header whole), size, and the length of the '%' lines that begin it."""
    path: Path
    ext: str
    head: bytes
    size: int
    options: Optional[Dict[str, Any]] = None   # what the caller chose inside the file (dataset, sample, topic)
    header: int = 0     # bytes of the leading '%' lines (through a '% end' line), 0 for none


class Window(NamedTuple):
    """What to read: from first + start (µs, the first event's time) for `duration` (-1: to
    the end); events outside the sensor refused or dropped (`outside`)."""
    start: int = 0
    duration: int = -1
    outside: str = "refuse"
    progress: Progress = None

    @property
    def whole(self) -> bool:
        return self.start == 0 and self.duration < 0


@dataclass(frozen=True)
class Reader:
    """One file format, by extension.

    `signature(file)` says whether the first bytes carry the format's whole signature
    (a magic line; not a guess from bytes a headerless format may begin with); `accepts`
    lists what else the sniffer may find in a file of this extension without refusing it
    (None: no signature; "%-header": a '%' header naming no format). `any_bytes` marks a
    format whose records may begin like text: a '%' header counts only when it is text.
    `mismatch(file, kind)` may raise a clearer error than "not a ... file" for a file whose
    first bytes are not this format's. `head`: the first bytes opening reads, for the
    signature and the header; a reader that maps its data takes no more than it needs, and
    a file up to `whole` bytes whole (its data decoded from those bytes).
    """
    extension: str
    name: str
    read: Callable[[File, Window], np.ndarray]
    signature: Optional[Callable[[File], bool]] = None
    accepts: Tuple[Optional[str], ...] = ()
    any_bytes: bool = False
    mismatch: Optional[Callable[[File, Optional[str]], None]] = None
    sensor_size: Optional[Callable[[File], Optional[Tuple[int, int]]]] = None
    iterate: Optional[Callable[[File, Window, int], Iterator[np.ndarray]]] = None
    time_range: Optional[Callable[[File], Optional[Tuple[int, int]]]] = None
    source: Optional[Callable[[File, str], "Source"]] = None
    options: Tuple[str, ...] = ()   # the choices inside a file the format takes (see File.options)
    in_folder: Optional[Callable[[Path], bool]] = None   # found in a folder walk: is it a recording?
    head: int = 1 << 20   # bytes read on opening (more where a '%' header reaches their end)
    whole: int = 0        # files up to this size are read whole on opening


Chunks = Generator[np.ndarray, None, Optional[int]]


@dataclass
class Source:
    """Where events come from, checked by the readers (see the module's text)."""
    name: str
    format: str
    path: Optional[Path] = None
    kind: str = "native"            # "native", "chunks" or "array"
    layout: Any = None              # the decoder format, data offset, t0 and sensor of a native file
    decoder: Any = None             # a native file's decoder: states, seeks, errors, extent
    size: int = 0
    sensor_size: Optional[Tuple[int, int]] = None   # what the header declares
    array: Optional[np.ndarray] = None
    fields: Tuple[Any, ...] = ()
    outside: str = "refuse"
    unit: str = ""                  # what a file cut short ends inside ("packet", "4-byte word", ...)
    chunks: Optional[Callable[[], Chunks]] = None   # the records of a "chunks" file, piece by piece

    @property
    def label(self) -> Union[Path, str]:
        return self.path if self.path is not None else "the event array"

    @property
    def file(self) -> Path:
        """The path of a file source: every kind but an event array has one."""
        assert self.path is not None, "an event array has no file"
        return self.path

    @property
    def events(self) -> np.ndarray:
        """The events of an array source."""
        assert self.array is not None, "only an array source holds its events"
        return self.array

    @classmethod
    def of_array(cls, arr: np.ndarray, outside: str, file: Optional[File] = None) -> "Source":
        """The source of an event array, held in memory or read whole from `file`."""
        fields = _native.events()._get_event_fields(arr)
        if file is None:
            if arr.dtype.names is None or arr.ndim != 1 or fields[0] is None or fields[2] is None:
                raise ValueError("an event array is a one-dimensional record array with time and x fields")
            return cls(name="event array", format="event array", kind="array", array=arr, fields=fields,
                       outside=outside)
        return cls(name=file.path.name, format=FORMATS[file.ext], path=file.path, kind="array", array=arr,
                   fields=fields, outside=outside)


READERS: Dict[str, Reader] = {}
# Extension -> format; the names are the ones errors use.
FORMATS: Dict[str, str] = {}


def register(*readers: Reader) -> None:
    for reader in readers:
        READERS[reader.extension] = reader
        FORMATS[reader.extension] = reader.name
