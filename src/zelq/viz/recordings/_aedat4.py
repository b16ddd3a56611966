"""AEDAT 4 files, read with a small decoder of our own.

A file is a magic line, an int32 header size, a FlatBuffer header (compression,
data-table position, and an XML description of the streams), then packets:
(int32 stream id, int32 byte size, that many bytes of compressed FlatBuffer).
The header is read here; the packets natively (`_Aedat4Packets`: LZ4 frames
decoded by our own decoder, on two threads where there are two cores; ZSTD frames
by the zstandard package, the extra `aedat`, see _zstd.py). Every
offset and size read from the file is checked against the bytes that are really
there before it is used, and every packet decompresses into a bounded buffer,
so no file can make this allocate more than it holds or crash.
"""
from __future__ import annotations

import mmap
import re
import struct
from dataclasses import dataclass
from pathlib import Path
from contextlib import contextmanager
from typing import Any, Callable, Dict, Generator, Iterator, Optional, Tuple

import numpy as np

from .. import _native
from ._headers import checked_sensor
from ._problems import cut_note, fail, outside_sensor, warn
from . import _zstd
from ._aedat4_table import Table, read_table
from ._registry import RECORD, File, Reader, Source, Window

MAGIC = b"#!AER-DAT4.0\r\n"
# The largest decompressed packet taken: far beyond what cameras write (a few MiB).
PACKET_LIMIT = 256 << 20
_COMPRESSION = {0: "none", 1: "LZ4", 2: "LZ4", 3: "ZSTD", 4: "ZSTD"}
_CODE = {"none": 0, "LZ4": 1, "ZSTD": 3}  # the native reader's numbers
# Events between two calls of a whole read's progress.
PROGRESS_EVERY = 1 << 22
# Records per piece of a pass that others filter (windows, the recording page).
_PIECE = 1 << 18
# Whole reads back their array's pages just ahead of the records (huge while cheap);
# a benchmark turns it off for its baseline.
BACK_PAGES = True
_STREAM_NODE = re.compile(r'<node name="(\d+)" path="[^"]*/outInfo/\d+/">')


class Corrupt(Exception):
    """What is wrong with the file, in a user's words (the caller adds the file's name)."""


@dataclass
class Stream:
    kind: str
    size: Optional[Tuple[int, int]]
    compression: str


@dataclass
class Header:
    data_start: int
    table_at: int  # -1 when the writer never wrote its data table
    compression: str
    streams: Dict[int, Stream]

    def event_stream(self) -> Tuple[int, Stream]:
        for sid, stream in sorted(self.streams.items()):
            if stream.kind == "EVTS":
                return sid, stream
        raise Corrupt("the AEDAT 4 file holds no event stream")


# ---------------------------------------------------------------- FlatBuffers

def _unpack(fmt: str, buf, pos: int, what: str):
    if pos < 0 or pos + struct.calcsize(fmt) > len(buf):
        raise Corrupt(f"corrupt {what}: an offset points outside it")
    return struct.unpack_from(fmt, buf, pos)[0]


def _field(buf, table: int, index: int, what: str) -> Optional[int]:
    """Position of field `index` of the table at `table`, or None when the table omits it."""
    vtable = table - _unpack("<i", buf, table, what)
    vtable_size = _unpack("<H", buf, vtable, what)
    slot = 4 + 2 * index
    if slot + 2 > vtable_size:
        return None
    offset = _unpack("<H", buf, vtable + slot, what)
    return table + offset if offset else None


def _indirect(buf, pos: int, what: str) -> int:
    return pos + _unpack("<I", buf, pos, what)


# ---------------------------------------------------------------- header

def read_header(mm, size: int) -> Header:
    if size < len(MAGIC) + 4:
        raise Corrupt("truncated: the file ends inside the AEDAT 4 header")
    length = _unpack("<i", mm, len(MAGIC), "header")
    start = len(MAGIC) + 4
    if length <= 0 or length > size - start:
        raise Corrupt(f"corrupt AEDAT 4 header: it claims {length} bytes, and "
                      f"{size - start} follow")
    buf = mm[start:start + length]
    what = "AEDAT 4 header"
    root = _indirect(buf, 0, what)
    at = _field(buf, root, 0, what)
    code = _unpack("<i", buf, at, what) if at is not None else 0
    if code not in _COMPRESSION:
        raise Corrupt(f"corrupt AEDAT 4 header: unknown compression {code}")
    at = _field(buf, root, 1, what)
    table_at = _unpack("<q", buf, at, what) if at is not None else -1
    at = _field(buf, root, 2, what)
    info = ""
    if at is not None:
        text = _indirect(buf, at, what)
        n = _unpack("<I", buf, text, what)
        if text + 4 + n > len(buf):
            raise Corrupt(f"corrupt {what}: its stream description runs past it")
        info = bytes(buf[text + 4:text + 4 + n]).decode("utf-8", "replace")
    compression = _COMPRESSION[code]
    return Header(start + length, table_at, compression, _streams(info, compression))


def _streams(info: str, compression: str) -> Dict[int, Stream]:
    """The streams the header's XML describes (matched as text: no XML parser meets file data)."""
    nodes = list(_STREAM_NODE.finditer(info))
    streams = {}
    for i, node in enumerate(nodes):
        block = info[node.end():nodes[i + 1].start() if i + 1 < len(nodes) else len(info)]
        kind = re.search(r'<attr key="typeIdentifier" type="string">([^<]*)</attr>', block)
        w = re.search(r'<attr key="sizeX" type="int">\s*(-?\d+)\s*</attr>', block)
        h = re.search(r'<attr key="sizeY" type="int">\s*(-?\d+)\s*</attr>', block)
        streams[int(node.group(1))] = Stream(kind.group(1) if kind else "",
                                             (int(w.group(1)), int(h.group(1))) if w and h else None,
                                             compression)
    return streams


# ---------------------------------------------------------------- packets

@contextmanager
def packets(path: Path, size: int, sensor: Optional[Tuple[int, int]] = None,
            drop: bool = False, survey: int = 0) -> Iterator[Tuple[Header, Any]]:
    """The header and the native reader of the event stream's packets (events outside
    `sensor` left out and counted); `drop`: pages read leave the resident set (the page
    cache keeps them), so that a pass over an hour's file costs its packets, not its length;
    `survey`: a reader for survey(), of pieces of that many events."""
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        size = min(size, len(mm))
        header = read_header(mm, size)
        sid, stream = header.event_stream()
        with memoryview(mm) as whole, whole[:size] as view:
            reader = _native.events()._Aedat4Packets(view, header.data_start, _end(header, size),
                                                     header.table_at > size, sid, _CODE[stream.compression],
                                                     *(sensor or (0, 0)), drop, unpack=_decoder(stream.compression),
                                                     survey=survey)
            try:
                yield header, reader
            finally:
                reader.close()


def _end(header: Header, size: int) -> int:
    """Where the packets end: the data table, or the file's end (a table before the packets
    leaves none to read)."""
    return max(header.table_at if 0 < header.table_at <= size else size, header.data_start)


def _decoder(compression: str) -> Any:
    """The decoder of ZSTD packets (None for the others, or without libzstd and zstandard)."""
    return _zstd.packet_decoder() if compression == "ZSTD" else None


def finish(reader: Any, header: Header) -> Optional[int]:
    """Where the stream stopped: None at its end, the offset of the packet a file cut short
    ends inside; Corrupt for a packet that cannot be read."""
    why, offset, value, fault = reader.outcome()
    if why == "end":
        return None
    if why == "cut":
        return int(offset)
    if why == "size":
        raise Corrupt(f"corrupt AEDAT 4 packet at byte {offset}: a size of {value} bytes")
    if why == "unsupported":
        compression = header.event_stream()[1].compression
        raise Corrupt(f"its packets are {compression}-compressed; only LZ4 and uncompressed AEDAT 4 are read "
                      f"({_zstd.EXTRA})")
    what = f"corrupt AEDAT 4 packet at byte {offset}"
    if why == "pointer":
        raise Corrupt(f"{what}: an offset points outside it")
    if why == "claims":
        raise Corrupt(f"{what}: it claims {value} events, more than it holds")
    if fault == "ends early":
        raise Corrupt(f"{what}: its compressed data ends early")
    if fault == "too large":
        raise Corrupt(f"{what}: it decompresses to more than {PACKET_LIMIT >> 20} MiB")
    if fault == "no memory":
        raise MemoryError(f"{what}: no memory to decompress it")
    if why == "zstd":
        raise Corrupt(f"{what}: its ZSTD data is damaged ({fault})")
    raise Corrupt(f"{what}: its LZ4 data is damaged (LZ4F_decompress failed with code: {fault})")


def header_of(path: Path, size: int) -> Header:
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        return read_header(mm, min(size, len(mm)))


# ---------------------------------------------------------------- the reader

def _aedat_header(p: Path, size: int) -> Any:
    try:
        return header_of(p, size)
    except Corrupt as e:
        raise fail(p, str(e)) from None


def _aedat_sensor(p: Path, header: Any) -> Optional[Tuple[int, int]]:
    try:
        _, stream = header.event_stream()
    except Corrupt as e:
        raise fail(p, str(e)) from None
    if stream.size is None:
        return None
    width, height = stream.size
    return checked_sensor(p, width, height, "sizeX/sizeY")


def _outside_note(p: Path, reader: Any, sensor: Optional[Tuple[int, int]], outside: str) -> None:
    count, x, y, t = reader.outside()
    if count:
        assert sensor is not None  # without a sensor size no event is outside it
        outside_sensor(p, count, f"the {sensor[0]} × {sensor[1]} sensor its header declares",
                       f"x={x}, y={y}, t={t}", outside)


def _read(file: File, window: Window) -> np.ndarray:
    """The whole file, packet by packet into one array grown as it fills. `window.progress`,
    where given, is called with the share of the file's bytes read after every 4 Mi events
    (64 MiB of records), and with 1.0 once the read is done."""
    p, size = file.path, file.size
    progress = window.progress
    sensor = _aedat_sensor(p, _aedat_header(p, size))
    try:
        with packets(p, size, sensor) as (header, reader):
            out = np.empty(reader.estimate(), RECORD)
            count = 0
            while True:
                stop = len(out) if progress is None else min(len(out), count + PROGRESS_EVERY)
                count = reader.fill(out, count, stop, BACK_PAGES)
                if reader.outcome() is not None:
                    break
                if progress:
                    progress(reader.position() / size)
                if count == len(out):
                    out.resize(max(len(out) * 3 // 2, len(out) + (1 << 16)), refcheck=False)
            cut = finish(reader, header)
            out.resize(count, refcheck=False)
            if cut is not None:
                warn(p, cut_note(size, "packet", cut, count))
            _outside_note(p, reader, sensor, window.outside)
    except Corrupt as e:
        raise fail(p, str(e)) from None
    if progress:
        progress(1.0)
    return out


def _chunks(p: Path, size: int) -> Generator[np.ndarray, None, Optional[int]]:
    """The records of the event packets in pieces, for a caller that pauses between them;
    returns the offset of the cut packet of a file cut short."""
    try:
        with packets(p, size, drop=True) as (header, reader):
            while True:
                out = np.empty(_PIECE, RECORD)
                n = reader.fill(out)
                if n:
                    yield out[:n]
                if reader.outcome() is not None:
                    return finish(reader, header)
    except Corrupt as e:
        raise fail(p, str(e)) from None


def _iterate_whole(file: File, window: Window, chunk: int) -> Iterator[np.ndarray]:
    """The whole file in pieces of `chunk` records, straight from the packets; warns (or
    refuses the events outside the sensor) before the last piece, as a filtered pass does."""
    p, size = file.path, file.size
    sensor = _sensor_size(file)
    kept = 0
    try:
        with packets(p, size, sensor, drop=True) as (header, reader):
            while True:
                out = np.empty(chunk, RECORD)
                n = reader.fill(out)
                if reader.outcome() is not None:
                    break
                kept += n
                yield out
            cut = finish(reader, header)
            if cut is not None:
                warn(p, cut_note(size, "packet", cut, kept + n))
            _outside_note(p, reader, sensor, window.outside)
    except Corrupt as e:
        raise fail(p, str(e)) from None
    if n:
        yield out[:n]


def _sensor_size(file: File) -> Optional[Tuple[int, int]]:
    return _aedat_sensor(file.path, _aedat_header(file.path, file.size))


def _piece_file(file: File) -> Any:
    from . import _pieces
    p, size = file.path, file.size
    sensor = _sensor_size(file)
    text = f"the {sensor[0]} × {sensor[1]} sensor its header declares" if sensor else ""
    return _pieces.PieceFile(p, lambda lo: _chunks(p, size), sensor, size, unit="packet", sensor_text=text)


# ---------------------------------------------------------------- windows by the data table

# The most a packet's bytes decompress by, bounding the counts a data table may claim.
_RATIO = {"none": 1, "LZ4": 255, "ZSTD": 255}


class _Plan:
    """A window read by the file's data table: the mapping, the header, the table and the
    reader of listed packets, over a mapping held while the plan is open."""

    def __init__(self, file: File, sensor: Optional[Tuple[int, int]], table: Optional[Table] = None) -> None:
        self.sensor = sensor
        self._open: list = []  # what close() lets go of, last first
        try:
            f = open(file.path, "rb")
            self._open.append(f)
            self._mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            self._open.append(self._mm)
            self.size = min(file.size, len(self._mm))
            whole = memoryview(self._mm)
            self._open.append(whole)
            self._view = whole[:self.size]  # the readers' buffer
            self._open.append(self._view)
            self.header = read_header(self._mm, self.size)
            self.sid, stream = self.header.event_stream()
            self.code = _CODE[stream.compression]
            self.unpack = _decoder(stream.compression)
            self.table = table or read_table(self._mm, self.size, self.header.data_start, self.header.table_at,
                                             self.sid, _RATIO[stream.compression], _table_bytes(stream.compression))
        except BaseException:
            self.close()
            raise

    def reader(self, listed: np.ndarray, window: Optional[Tuple[int, int]], threads: bool) -> Any:
        return _native.events()._Aedat4Packets(self._view, self.header.data_start, _end(self.header, self.size), False,
                                               self.sid, self.code, *(self.sensor or (0, 0)), False, threads, listed,
                                               window, self.unpack)

    def first_inside(self) -> Optional[int]:
        """The time of the first event inside the sensor, in file order (0 where there is none);
        None where the packets before it are not as the table says."""
        assert self.table is not None
        reader = self.reader(self.table.rows, None, False)
        try:
            one = np.empty(1, RECORD)
            if reader.fill(one):
                return int(one["t"][0])
            return 0 if reader.outcome()[0] == "end" else None
        finally:
            reader.close()

    def close(self) -> None:
        """After every reader's close()."""
        while self._open:
            held = self._open.pop()
            held.release() if isinstance(held, memoryview) else held.close()


def _table_bytes(compression: str) -> Any:
    """The data table's bytes from its frame (ValueError where they cannot be read)."""
    if compression == "LZ4":
        return lambda frame: _native.events()._lz4_frame(frame, PACKET_LIMIT)
    if compression == "ZSTD":
        unpack = _zstd.frame_unpacker()

        def zstd(frame: memoryview) -> bytes:
            if unpack is None:
                raise ValueError("no ZSTD decoder")
            return unpack(frame, PACKET_LIMIT)
        return zstd
    return lambda frame: bytes(frame[:PACKET_LIMIT])


def _by_table(file: File, sensor: Optional[Tuple[int, int]], window: Window) -> Optional[Tuple[_Plan, Any, int]]:
    """The plan and reader of a window's packets by the file's data table, and the events they
    hold; None where the table is absent, does not hold together, or the packets before the
    first event inside the sensor are not as it says. Where the times rise from packet to packet
    (as the table is checked to say), the first event inside the sensor is the earliest, and no
    packet outside the window holds an event of it."""
    from . import _pieces
    plan = _Plan(file, sensor)
    try:
        anchor = plan.first_inside() if plan.table is not None else None
        if plan.table is None or anchor is None:
            plan.close()
            return None
        lo, hi = _pieces.bounds(anchor, window)
        rows = plan.table.overlapping(lo, hi)
        return plan, plan.reader(rows, (lo, hi), True), int(rows[:, 2].sum())
    except BaseException:
        plan.close()
        raise


def _read_window(file: File, window: Window, sensor: Optional[Tuple[int, int]]) -> Optional[np.ndarray]:
    """The window's events from the packets the data table places in it; None where the table
    cannot be used or a packet read is not as it says (the caller then surveys the whole file)."""
    found = _by_table(file, sensor, window)
    return None if found is None else _read_listed(file, window, *found)


def _read_listed(file: File, window: Window, plan: _Plan, reader: Any, held: int,
                 note: Optional[Callable[[int], str]] = None) -> Optional[np.ndarray]:
    """The events of the listed packets in the window; None where a packet is not as listed.
    `note(events read)`: a warning (the cut) given before the events outside the sensor are."""
    try:
        out = np.empty(held + 1, RECORD)  # room to spare: the read runs on to its outcome
        n = reader.fill(out)
        if reader.outcome()[0] != "end":
            return None
        out.resize(n, refcheck=False)
        if note is not None:
            warn(file.path, note(n))
        _outside_note(file.path, reader, sensor=plan.sensor, outside=window.outside)
    finally:
        reader.close()
        plan.close()
    if window.progress:
        window.progress(1.0)
    return out


def _read_surveyed(file: File, window: Window, sensor: Optional[Tuple[int, int]]) -> Optional[np.ndarray]:
    """A window of a file without a table that holds together: one native pass over every
    packet finds the earliest time, whether times ever fall, and each packet's times (refusing
    a damaged packet as the survey of the record pieces does), then only the packets that
    reach into the window are read again. Where the times fall, None (the caller reads the
    record pieces). The pass over the pieces stops after the window only at a piece wholly
    after it: the file's cut is told where no such piece comes."""
    from . import _pieces
    p, size = file.path, file.size
    try:
        with packets(p, size, sensor, drop=True, survey=_PIECE) as (header, reader):
            rows, events, earliest, rising, piece_first = reader.survey()
            cut = finish(reader, header)
    except Corrupt as e:
        raise fail(p, str(e)) from None
    if not rising:
        return None
    lo, hi = _pieces.bounds(earliest if earliest is not None else 0, window)
    table = Table(np.frombuffer(rows, np.int64).reshape(-1, 5))
    picked = table.overlapping(lo, hi)
    stops = events > 0 and piece_first >= hi
    note = None if cut is None or stops else (lambda n: cut_note(size, "packet", cut, n))
    plan = _Plan(file, sensor, table)
    try:
        reader = plan.reader(picked, (lo, hi), True)
    except BaseException:
        plan.close()
        raise
    return _read_listed(file, window, plan, reader, int(picked[:, 2].sum()), note)


def _iterate_window(file: File, window: Window, chunk: int, sensor: Optional[Tuple[int, int]]) -> Iterator[np.ndarray]:
    """A window in pieces of `chunk` from the packets the data table places in it, as the caller
    takes them; where the table cannot be used, or a packet is not as it says, the pieces not yet
    given come from the pass over the whole file."""
    from . import _pieces
    found = _by_table(file, sensor, window)
    given = 0
    if found is not None:
        plan, reader, _ = found
        try:
            while True:
                out = np.empty(chunk, RECORD)
                n = reader.fill(out)
                if n == chunk:
                    given += n
                    yield out
                    continue
                if reader.outcome()[0] == "end":
                    _outside_note(file.path, reader, sensor, window.outside)
                    if n:
                        yield out[:n]
                    return
                break
        finally:
            reader.close()
            plan.close()
    for piece in _pieces.iterate(_piece_file(file), window, chunk):
        if given:  # the pieces given already (whole pieces: the same as this pass's first ones)
            given -= len(piece)
            continue
        yield piece


def _read_any(file: File, window: Window) -> np.ndarray:
    """A whole file packet by packet; a window by the data table where the file has one that holds
    together, else as the full read filtered to it, also where the file's times go backwards."""
    if window.whole:
        return _read(file, window)
    from . import _pieces
    sensor = _sensor_size(file)
    got = _read_window(file, window, sensor)
    if got is None:
        got = _read_surveyed(file, window, sensor)
    return got if got is not None else _pieces.read(_piece_file(file), window)


def _iterate(file: File, window: Window, chunk: int) -> Iterator[np.ndarray]:
    """Packet by packet, as the caller takes the pieces: memory holds a few packets, not the file."""
    if window.whole:
        return _iterate_whole(file, window, chunk)
    return _iterate_window(file, window, chunk, _sensor_size(file))  # header faults raised now


def _source(file: File, outside: str) -> Source:
    p, size = file.path, file.size
    return Source(name=p.name, format="AEDAT 4", path=p, kind="chunks", size=size, sensor_size=_sensor_size(file),
                  outside=outside, unit="packet", chunks=lambda: _chunks(p, size))


AEDAT4 = Reader(".aedat4", "AEDAT 4", _read_any, signature=lambda file: file.head.startswith(MAGIC),
                sensor_size=_sensor_size, source=_source, iterate=_iterate)
