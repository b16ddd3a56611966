"""The data table an AEDAT 4 writer leaves after its packets: for every packet its offset,
stream, size, event count and first and last times, so that a window can skip the packets
wholly outside it without decompressing them.

The table is a compressed, size-prefixed FlatBuffer (a vector of tables of five fields), read
here with NumPy over all entries at once. Nothing in it is trusted for bounds: every offset is
checked against the table's bytes, the entries must tile the bytes between the header and the
table exactly, in file order, each entry's stream and size must be its packet header's, the
event stream's times must rise from packet to packet, and a count must be one its packet's
bytes can hold. The native reader then checks each packet it
reads against its entry (header, count, times), and a table that fails any check is not used.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np

# The fields of an entry, by slot: the packet's data offset (after its 8-byte header), the
# header as a struct (stream id, size), the event count, and the first and last times.
_OFFSET, _INFO, _COUNT, _FIRST, _LAST = range(5)


class _Bad(Exception):
    """The table does not hold together."""


@dataclass
class Table:
    """The event stream's packets as the table gives them, in file order: `rows` are int64
    (header offset, size, events, first time, last time), as the native reader takes them."""
    rows: np.ndarray

    @property
    def count(self) -> np.ndarray:
        return self.rows[:, 2]

    def overlapping(self, lo: int, hi: int) -> np.ndarray:
        """The rows of the packets that may hold an event with lo <= t < hi."""
        r = self.rows
        return np.ascontiguousarray(r[(r[:, 2] > 0) & (r[:, 3] < hi) & (r[:, 4] >= lo)])


class _Flat:
    """Little-endian reads at many positions of a FlatBuffer at once, each checked to lie in it."""

    def __init__(self, data: bytes) -> None:
        self.b = np.frombuffer(data, np.uint8)

    def read(self, pos, dtype: str) -> np.ndarray:
        pos = np.asarray(pos, np.int64)
        width = np.dtype(dtype).itemsize
        if pos.size and (pos.min() < 0 or pos.max() > len(self.b) - width):
            raise _Bad
        at = pos[..., None] + np.arange(width)
        return np.ascontiguousarray(self.b[at]).view(dtype)[..., 0].astype(np.int64)

    def field(self, tables: np.ndarray, slot: int) -> np.ndarray:
        """Positions of field `slot` of each table (-1 where a table omits it)."""
        vtables = tables - self.read(tables, "<i4")
        sizes = self.read(vtables, "<u2")
        has = 4 + 2 * slot + 2 <= sizes
        offsets = np.zeros(len(tables), np.int64)
        offsets[has] = self.read(vtables[has] + 4 + 2 * slot, "<u2")
        return np.where(offsets > 0, tables + offsets, -1)


def _entries(data: bytes) -> np.ndarray:
    """(offset, stream, size, count, first, last) of every entry; _Bad where the buffer does not hold them."""
    f = _Flat(data)
    root = 4 + f.read(4, "<u4")
    vector = f.field(np.array([root]), 0)[0]
    if vector < 0:
        return np.zeros((0, 6), np.int64)
    vector += f.read(vector, "<u4")
    n = int(f.read(vector, "<u4"))
    if vector + 4 + 4 * n > len(data):
        raise _Bad
    slots = vector + 4 + 4 * np.arange(n, dtype=np.int64)
    tables = slots + f.read(slots, "<u4")
    fields = [f.field(tables, k) for k in range(5)]
    if any((pos < 0).any() for pos in fields[:3]):  # a packet without its place, header or count
        raise _Bad
    times = [np.where(pos < 0, 0, f.read(np.maximum(pos, 0), "<i8")) for pos in fields[3:]]
    return np.stack([f.read(fields[_OFFSET], "<i8") - 8, f.read(fields[_INFO], "<i4"),
                     f.read(fields[_INFO] + 4, "<i4"), f.read(fields[_COUNT], "<i8"), *times], axis=1)


def _checked(e: np.ndarray, headers: np.ndarray, data_start: int, table_at: int, stream: int,
             ratio: int) -> np.ndarray:
    offset, sid, size, count, first, last = e.T
    ends = offset + 8 + size
    if (size < 0).any() or (offset[:1] != data_start).any() or (offset[1:] != ends[:-1]).any() \
            or (ends[-1:] != table_at).any() or (not len(e) and data_start != table_at):
        raise _Bad  # entries that do not tile the packets
    if not np.array_equal(_packet_headers(headers, offset), e[:, 1:3]):
        raise _Bad  # an entry that names another stream hides a packet from the window
    rows = e[sid == stream][:, [0, 2, 3, 4, 5]]
    count, first, last, size = rows[:, 2], rows[:, 3], rows[:, 4], rows[:, 1]
    held = count > 0
    if (count < 0).any() or (count * 16 > size * ratio).any() or (first[held] > last[held]).any() \
            or (first[held][1:] < last[held][:-1]).any():
        raise _Bad  # counts the bytes cannot hold, or times that do not rise
    return np.ascontiguousarray(rows)


def _packet_headers(data: np.ndarray, offset: np.ndarray) -> np.ndarray:
    """(stream id, size) of the packet headers at `offset` in the file's bytes before its table
    (the tiling check keeps every header inside them)."""
    at = offset[:, None] + np.arange(8)
    return np.ascontiguousarray(data[at]).view("<i4").astype(np.int64)


def read_table(mm, size: int, data_start: int, table_at: int, stream: int, ratio: int,
               decompress: Callable[[memoryview], bytes]) -> Optional[Table]:
    """The table at `table_at` of the mapped file, checked, or None where there is none or it does
    not hold together. `ratio`: the most a packet's bytes decompress by; `decompress` gives the
    table's bytes (ValueError where they cannot be read)."""
    if not data_start <= table_at < size:
        return None
    try:
        with memoryview(mm) as whole, whole[table_at:size] as frame:
            data = decompress(frame)
        return Table(_checked(_entries(data), np.frombuffer(mm, np.uint8, table_at), data_start, table_at, stream, ratio))
    except (_Bad, ValueError, MemoryError, OverflowError):
        return None
