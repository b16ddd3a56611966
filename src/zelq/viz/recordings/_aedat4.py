"""AEDAT 4 files, read with a small decoder of our own (it needs the optional `lz4` package
for compressed packets).

A file is a magic line, an int32 header size, a FlatBuffer header (compression,
data-table position, and an XML description of the streams), then packets:
(int32 stream id, int32 byte size, that many bytes of compressed FlatBuffer).
Every offset and size read from the file is checked against the bytes that are
really there before it is used, and every packet decompresses into a bounded
buffer, so no file can make this allocate more than it holds or crash.
"""
from __future__ import annotations

import mmap
import re
import struct
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, Generator, Iterator, Optional, Tuple

import numpy as np

from .. import _native
from ._headers import INT64_MAX, checked_sensor
from ._problems import cut_note, fail, outside_sensor, warn
from ._registry import RECORD, File, Reader, Source, Window

MAGIC = b"#!AER-DAT4.0\r\n"
# One polarity event of an event packet's table.
EVENT = np.dtype([("t", "<i8"), ("x", "<i2"), ("y", "<i2"), ("p", "u1"), ("pad", "V3")])
# The largest decompressed packet taken: far beyond what cameras write (a few MiB).
PACKET_LIMIT = 256 << 20
_STEP = 4 << 20
_COMPRESSION = {0: "none", 1: "LZ4", 2: "LZ4", 3: "ZSTD", 4: "ZSTD"}
_STREAM_NODE = re.compile(r'<node name="(\d+)" path="[^"]*/outInfo/\d+/">')


class Corrupt(Exception):
    """What is wrong with the file, in a user's words (the caller adds the file's name)."""


class CutShort(Exception):
    """The file ends inside a packet that starts at byte `offset`."""

    def __init__(self, offset: int) -> None:
        super().__init__(offset)
        self.offset = offset


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

def packets(mm, size: int, header: Header) -> Iterator[Tuple[int, int, bytes]]:
    """(stream id, offset, compressed bytes) of each packet up to the data table or the end.

    Raises CutShort when the file ends inside a packet (a capture cut short), Corrupt for a
    negative packet size.
    """
    pos = header.data_start
    end = header.table_at if 0 < header.table_at <= size else size
    while pos < end:
        if pos + 8 > size:
            raise CutShort(pos)
        sid, length = struct.unpack_from("<ii", mm, pos)
        if length < 0:
            raise Corrupt(f"corrupt AEDAT 4 packet at byte {pos}: a size of {length} bytes")
        if pos + 8 + length > size:
            raise CutShort(pos)
        yield sid, pos, mm[pos + 8:pos + 8 + length]
        pos += 8 + length
    if header.table_at > size:  # the data table was to follow: the file was cut at a packet's end
        raise CutShort(pos)


def decompress(packet: bytes, compression: str, offset: int) -> bytes:
    """A packet's FlatBuffer, never more than PACKET_LIMIT bytes."""
    if compression == "none":
        return bytes(packet)
    if compression != "LZ4":
        raise Corrupt(f"its packets are {compression}-compressed; only LZ4 and uncompressed AEDAT 4 are read")
    import lz4.frame
    decoder = lz4.frame.LZ4FrameDecompressor()
    parts, total = [], 0
    try:
        while not decoder.eof:
            # Small steps: the decompressor reserves all of max_length at once.
            part = decoder.decompress(packet, max_length=_STEP)
            packet = b""
            parts.append(part)
            total += len(part)
            if total > PACKET_LIMIT:
                raise Corrupt(f"corrupt AEDAT 4 packet at byte {offset}: it decompresses to more than "
                              f"{PACKET_LIMIT >> 20} MiB")
            if decoder.needs_input and not decoder.eof:
                raise Corrupt(f"corrupt AEDAT 4 packet at byte {offset}: its compressed data ends early")
    except RuntimeError as e:
        raise Corrupt(f"corrupt AEDAT 4 packet at byte {offset}: its LZ4 data is damaged ({e})") from None
    return parts[0] if len(parts) == 1 else b"".join(parts)


def events_of(data: bytes, offset: int) -> np.ndarray:
    """The event table of a decompressed event packet (a view into `data`)."""
    what = f"AEDAT 4 packet at byte {offset}"
    root = 4 + _unpack("<I", data, 4, what)  # size-prefixed: offsets count from after the length
    at = _field(data, root, 0, what)
    if at is None:
        return np.empty(0, EVENT)
    vector = _indirect(data, at, what)
    n = _unpack("<I", data, vector, what)
    if vector + 4 + n * EVENT.itemsize > len(data):
        raise Corrupt(f"corrupt {what}: it claims {n} events, more than it holds")
    return np.frombuffer(data, EVENT, n, vector + 4)


def scan(path: Path, size: int, on_events: Callable[[np.ndarray], bool],
         progress: Optional[Callable[[float], None]] = None) -> Tuple[Header, Optional[int]]:
    """Feed the event table of every event packet to `on_events` (until it returns True),
    telling `progress` the fraction of the file read.

    Returns the header and, for a file cut short, the offset of the cut packet.
    """
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        size = min(size, len(mm))
        header = read_header(mm, size)
        try:
            for offset, events in _event_tables(mm, size, header):
                if progress:
                    progress(offset / size)
                if len(events) and on_events(events):
                    break
        except CutShort as cut:
            return header, cut.offset
    return header, None


def tables(path: Path, size: int) -> Generator[np.ndarray, None, Optional[int]]:
    """The event table of every event packet, in file order, for a caller that pauses between
    them; returns (as StopIteration's value) the offset of the cut packet of a file cut short."""
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        size = min(size, len(mm))
        dropped = 0
        try:
            for offset, events in _event_tables(mm, size, read_header(mm, size)):
                # Packets read leave the resident set (the page cache keeps them): an hour's
                # file costs its packet, not its length.
                dropped = _drop_pages(mm, dropped, offset)
                if len(events):
                    yield events
        except CutShort as cut:
            return cut.offset
    return None


def _drop_pages(mm: Any, start: int, end: int) -> int:
    """Releases the mapped pages of [start, end) that lie whole inside it; returns where it stopped."""
    lo = -(-start // mmap.PAGESIZE) * mmap.PAGESIZE
    hi = end - end % mmap.PAGESIZE
    if hi - lo >= _STEP and hasattr(mmap, "MADV_DONTNEED"):
        mm.madvise(mmap.MADV_DONTNEED, lo, hi - lo)
        return hi
    return start


def _event_tables(mm: Any, size: int, header: Header) -> Iterator[Tuple[int, np.ndarray]]:
    """(offset, event table) of every packet of the event stream, in file order."""
    sid, stream = header.event_stream()
    for packet_sid, offset, packet in packets(mm, size, header):
        if packet_sid == sid:
            yield offset, events_of(decompress(packet, stream.compression, offset), offset)


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


def need_lz4() -> None:
    try:
        import lz4.frame  # noqa: F401
    except ImportError:
        raise ImportError("reading AEDAT 4 files needs the lz4 package: pip install zelqviz[aedat]") from None


def _read(file: File, window: Window) -> np.ndarray:
    need_lz4()
    p, size = file.path, file.size
    start, duration, outside, progress = window
    sensor = _aedat_sensor(p, _aedat_header(p, size))
    full = window.whole
    out = np.empty(0, RECORD)
    count = 0
    bounds: list = []
    dropped_count, dropped_first = 0, ""

    def outside_mask(ev: np.ndarray) -> np.ndarray:
        if sensor is None:
            return np.zeros(len(ev), bool)
        return (ev["x"] < 0) | (ev["x"] >= sensor[0]) | (ev["y"] < 0) | (ev["y"] >= sensor[1])

    def note_outside(bad: np.ndarray) -> None:
        nonlocal dropped_count, dropped_first
        if len(bad) and not dropped_count:
            dropped_first = f"x={bad[0]['x']}, y={bad[0]['y']}, t={bad[0]['t']}"
        dropped_count += len(bad)

    def take(ev: np.ndarray) -> bool:
        # As the native decoders do: outside events count before the first event inside
        # the sensor (which anchors the window) and then only within the window.
        nonlocal out, count
        if count + len(ev) > len(out):
            out.resize(max(count + len(ev), len(out) * 3 // 2), refcheck=False)
        if full:  # at once where no event is outside the sensor
            after = _native.events()._aedat4_records(_bytes_of(ev), out, count, *(sensor or (0, 0)))
            if after - count == len(ev):
                count = after
                return False
        bad = outside_mask(ev)
        if not full:
            if not bounds:
                first = int(np.argmin(bad))
                if bad[first]:
                    note_outside(ev)
                    return False
                note_outside(ev[:first])
                ev, bad = ev[first:], bad[first:]
                lo = min(int(ev["t"][0]) + start, INT64_MAX)
                bounds.extend([lo, INT64_MAX if duration < 0 else min(lo + duration, INT64_MAX)])
            keep = (ev["t"] >= bounds[0]) & (ev["t"] < bounds[1])
            if not keep.any() and ev["t"].min() >= bounds[1]:
                return True
            ev, bad = ev[keep], bad[keep]
        if bad.any():
            note_outside(ev[bad])
            ev = ev[~bad]
        count = _native.events()._aedat4_records(_bytes_of(ev), out, count)
        return False

    try:
        _, cut = scan(p, size, take, progress)
    except Corrupt as e:
        raise fail(p, str(e)) from None
    out.resize(count, refcheck=False)
    if cut is not None:
        warn(p, cut_note(size, "packet", cut, count))
    if dropped_count:
        assert sensor is not None  # without a sensor size no event is outside it
        outside_sensor(p, dropped_count, f"the {sensor[0]} × {sensor[1]} sensor its header declares",
                       dropped_first, outside)
    if progress:
        progress(1.0)
    return out


def records(ev: np.ndarray) -> np.ndarray:
    """An event table as records, polarity -1 or 1."""
    rec = np.empty(len(ev), RECORD)
    _native.events()._aedat4_records(_bytes_of(ev), rec, 0)
    return rec


def _bytes_of(ev: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(ev).view(np.uint8)


def _chunks(p: Path, size: int) -> Generator[np.ndarray, None, Optional[int]]:
    """The records of every event packet, for a caller that pauses between them; returns the
    offset of the cut packet of a file cut short."""
    pending = tables(p, size)
    try:
        while True:
            try:
                ev = next(pending)
            except StopIteration as end:
                return end.value
            yield records(ev)
    except Corrupt as e:
        raise fail(p, str(e)) from None
    finally:
        pending.close()


def _sensor_size(file: File) -> Optional[Tuple[int, int]]:
    return _aedat_sensor(file.path, _aedat_header(file.path, file.size))


def _piece_file(file: File) -> Any:
    from . import _pieces
    p, size = file.path, file.size
    sensor = _sensor_size(file)
    text = f"the {sensor[0]} × {sensor[1]} sensor its header declares" if sensor else ""
    return _pieces.PieceFile(p, lambda lo: _chunks(p, size), sensor, size, unit="packet", sensor_text=text)


def _read_any(file: File, window: Window) -> np.ndarray:
    """A whole file packet by packet; a window as the full read filtered to it, also where the
    file's times go backwards."""
    if window.whole:
        return _read(file, window)
    from . import _pieces
    need_lz4()
    return _pieces.read(_piece_file(file), window)


def _iterate(file: File, window: Window, chunk: int) -> Iterator[np.ndarray]:
    """Packet by packet, as the caller takes the pieces: memory holds a packet, not the file."""
    from . import _pieces
    need_lz4()
    return _pieces.iterate(_piece_file(file), window, chunk)


def _source(file: File, outside: str) -> Source:
    need_lz4()
    p, size = file.path, file.size
    return Source(name=p.name, format="AEDAT 4", path=p, kind="chunks", size=size, sensor_size=_sensor_size(file),
                  outside=outside, unit="packet", chunks=lambda: _chunks(p, size))


AEDAT4 = Reader(".aedat4", "AEDAT 4", _read_any, signature=lambda head, path: head.startswith(MAGIC),
                sensor_size=_sensor_size, source=_source, iterate=_iterate)
