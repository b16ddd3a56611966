"""Where to read in a native recording: its first time, the byte to start from for a time
(EVT time-high words, DAT bisection), whether its times go backwards, its extent, and the
windows read from them."""
from __future__ import annotations

import mmap
import os
from pathlib import Path
from typing import Any, Dict, Optional, Tuple

import numpy as np

from .. import _native
from ._headers import INT64_MAX
from ._native_decode import decode, decode_checked, finish
from ._native_layout import Layout, State, new_state
from ._problems import warn
from ._registry import RECORD, Progress




def _dat_seek(p: Path, offset: int, size: int, target: int) -> int:
    """Offset of the first DAT record whose raw time is at or after `target`, by bisection
    over the sorted times (from the start when the 32-bit clock wrapped or a probe is out of order)."""
    n = (size - offset) // 8
    with open(p, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        def t(i: int) -> int:
            return int.from_bytes(mm[offset + 8 * i:offset + 8 * i + 4], "little")
        first, last = t(0), t(n - 1)
        if last < first:
            return offset
        lo, hi = 0, n
        while lo < hi:
            mid = (lo + hi) // 2
            at = t(mid)
            if not first <= at <= last:  # times out of order: decode from the start, which sees it
                return offset
            if at < target:
                lo = mid + 1
            else:
                hi = mid
    return offset + 8 * lo


def first_time(p: Path, lay: Layout, size: int) -> Optional[int]:
    """Time of the first event inside the sensor in file order; None when none decodes
    before the end or a bad word."""
    state = new_state(lay)
    out = np.empty(lay.fmt.max_per_word, RECORD)
    pos = lay.offset
    if size <= pos:
        return None
    with open(p, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm, memoryview(mm) as view:
        size = min(size, len(mm))
        while pos < size:
            with view[pos:min(pos + (1 << 20), size)] as chunk:
                count, used = _native.events()._decode_events(lay.fmt.number, chunk, state.array, out, 0)
            if count:
                return int(out["t"][0])
            if state["error"] or used == 0:
                return None
            pos += used
    return None


def seek(p: Path, lay: Layout, size: int, state: State, lo: int) -> int:
    """Where to start decoding so that no event at or after time `lo` is skipped."""
    target = min(lo - lay.t0, INT64_MAX)
    offset = lay.offset
    if lay.fmt.name.startswith("EVT") and size > offset:
        with open(p, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm, memoryview(mm) as view:
            with view[offset:min(size, len(mm))] as data:
                at, loops = _native.events()._evt_seek(lay.fmt.number, data, target)
        state["loops"] = loops
        return offset + at
    if lay.fmt.name == "DAT" and size - offset >= 8:
        return _dat_seek(p, offset, size, target)
    return offset


def window_seek(p: Path, lay: Layout, size: int, state: State, lo: int) -> int:
    """`seek` for a window of a file whose times rise (by the order pass): from the start
    where seeking reads the clock otherwise than decoding does. A clock word out of line (one
    far ahead, after which the clock reads as wrapped) is invisible between the seek's probes,
    and the window must be the full read's."""
    pos = seek(p, lay, size, state, lo)
    if pos == lay.offset or _loops_at_end(p, lay, size) == _cached_order(p, lay, size)[2]:
        return pos
    state["loops"] = 0
    return lay.offset


def _loops_at_end(p: Path, lay: Layout, size: int) -> int:
    """The clock's wraps at the end of the data as seeking reads them (DAT bisects raw times,
    which it takes as unwrapped unless the clock wrapped from first to last, when it seeks
    nothing)."""
    if not lay.fmt.name.startswith("EVT"):
        return 0
    with open(p, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm, memoryview(mm) as view:
        with view[lay.offset:min(size, len(mm))] as data:
            last = _native.events()._evt_last_high(lay.fmt.number, data)
    return 0 if last is None else last[2]


def windowed(p: Path, lay: Layout, size: int, start: int, duration: int, outside: str,
              progress: Progress) -> np.ndarray:
    """Events with anchor + start <= t < anchor + start + duration, the anchor being the
    earliest time: found from the first event, seeking past what lies before the window,
    where the file's times rise; a file whose times go backwards anywhere is read whole
    instead (with a warning naming the byte), so that the window is exactly the full read's."""
    first = first_time(p, lay, size)
    if first is None:
        return decode_checked(p, lay, lay.offset, size, new_state(lay), outside, progress)
    earliest, back_at = order(p, lay, size)
    if back_at is not None:
        return _exact_window(p, lay, size, start, duration, outside, progress, back_at, earliest)
    state = new_state(lay, start, duration)
    state["has_first"], state["first"] = 1, first
    pos = window_seek(p, lay, size, state, first + start)
    back: list = []
    out, cut = decode(p, lay, pos, size, state, progress, back)
    if (back and pos != lay.offset) or (state["seen"] and state["min_t"] < first):
        return _exact_window(p, lay, size, start, duration, outside, progress, back[0] if back else pos)
    finish(p, lay, state, outside, size, cut, len(out))
    return out


def extremes(p: Path, lay: Layout, size: int) -> Optional[Tuple[int, int]]:
    """(earliest, latest) time of the events inside the sensor, by a decoding pass that keeps
    nothing; None without events."""
    probe = new_state(lay, 0, 0)  # a window at the largest time: keeps nothing, finds the earliest
    probe["has_first"], probe["first"] = 1, INT64_MAX
    decode(p, lay, lay.offset, size, probe, None)
    return (probe["min_t"], probe["max_t"]) if probe["seen"] else None


def order(p: Path, lay: Layout, size: int) -> Tuple[Optional[int], Optional[int]]:
    """(earliest time inside the sensor, byte of the first word whose time goes below an
    earlier one), by a decoding pass that keeps nothing (None for what is not there). Kept for
    the file as it is (path, size, modification time), so that the windows of one file pay once."""
    earliest, back_at, _ = _cached_order(p, lay, size)
    return earliest, back_at


def _cached_order(p: Path, lay: Layout, size: int) -> Tuple[Optional[int], Optional[int], int]:
    """order(), and the clock's wraps at the end as decoding reads them."""
    try:
        st = os.stat(p)
    except OSError:
        return _order(p, lay, size)
    key = (str(p), st.st_ino, st.st_size, st.st_mtime_ns, lay.fmt.number, lay.offset, tuple(sorted(lay.slots.items())),
           lay.sensor)
    if key not in _ORDERS:
        if len(_ORDERS) >= 64:
            _ORDERS.pop(next(iter(_ORDERS)))
        _ORDERS[key] = _order(p, lay, size)
    return _ORDERS[key]


_ORDERS: Dict[Any, Tuple[Optional[int], Optional[int], int]] = {}


def _order(p: Path, lay: Layout, size: int) -> Tuple[Optional[int], Optional[int], int]:
    probe = new_state(lay, 0, 0)  # a window at the largest time: keeps nothing, sees every time
    probe["has_first"], probe["first"] = 1, INT64_MAX
    back: list = []
    decode(p, lay, lay.offset, size, probe, None, back)
    return (probe["min_t"] if probe["seen"] else None), (back[0] if back else None), int(probe["loops"])


def _exact_window(p: Path, lay: Layout, size: int, start: int, duration: int, outside: str,
                  progress: Progress, at: int, earliest: Optional[int] = None) -> np.ndarray:
    warn(p, f"times go backwards at byte {at}; the window is taken from a read of the whole file")
    if earliest is None:
        found = extremes(p, lay, size)
        earliest = found[0] if found is not None else None
    state = new_state(lay, start, duration)
    if earliest is not None:
        state["has_first"], state["first"] = 1, earliest
    state["back"] = 1  # no early stop: later events may still fall in the window
    return decode_checked(p, lay, lay.offset, size, state, outside, progress)


def extent(p: Path, lay: Layout, size: int) -> Optional[Tuple[int, int]]:
    first = first_time(p, lay, size)
    if first is None:
        return None
    state = new_state(lay)
    tail = lay.offset
    if lay.fmt.name.startswith("EVT"):
        with open(p, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm, memoryview(mm) as view:
            with view[lay.offset:min(size, len(mm))] as data:
                last = _native.events()._evt_last_high(lay.fmt.number, data)
        if last:
            # A file cut short (or a quiet end) may hold no event after its last time-high
            # word: look further back until events turn up.
            low_bits = 12 if lay.fmt.name == "EVT 3.0" else 6
            back = 0
            while True:
                state = new_state(lay)
                tail = seek(p, lay, size, state, (last[1] << low_bits) - back + lay.t0)
                decode(p, lay, tail, size, state, None)
                if state["seen"] or tail == lay.offset:
                    return first, (state["max_t"] if state["seen"] else first)
                back = max(back * 16, 1 << low_bits)
    elif lay.fmt.name == "DAT":
        tail = max(lay.offset, lay.offset + (size - lay.offset) // 8 * 8 - 8)
        with open(p, "rb") as f:
            f.seek(lay.offset)
            raw_first = int.from_bytes(f.read(4), "little")
            f.seek(tail)
            if int.from_bytes(f.read(4), "little") < raw_first:  # the clock wrapped (assume once)
                state["loops"] = 1 << 32
    decode(p, lay, tail, size, state, None)
    return (first, state["max_t"]) if state["seen"] else (first, first)
