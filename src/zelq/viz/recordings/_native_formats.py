"""The formats the native decoders read: Prophesee RAW (EVT 2.0, 2.1, 3.0), Prophesee DAT and
N-MNIST / N-Caltech101 binary.

Files are decoded natively, 16 MiB at a time from a memory map (or a reused buffer when
iterated), into records; a whole read of EVT 3.0, EVT 2.0 or DAT is decoded by segments on
the machine's cores, straight into its one array. A window is found through the time index
(EVT time-high words, DAT bisection) instead of decoding what lies before it. The decoder's state is an int64
array whose slots the kernels name; `State` reads it by those names.
"""
from __future__ import annotations

import contextlib
import mmap
import os
import re
import sys
import threading
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, Optional, Tuple

import numpy as np

from .. import _native
from ._headers import DAT_VERSION, EVT_LINE, INT64_MAX, header_info
from ._problems import RecordingError, cut_note, fail, outside_sensor, warn
from ._registry import FORMATS, RECORD, File, Progress, Reader, Source, Window
from ._sniffing import percent_header

CHUNK = 16 << 20
# Bytes read on opening: the header (more where it is longer), or a file up to WHOLE bytes
# whole, its data decoded from them (cheaper than mapping it); a larger file's data is mapped.
HEAD = 64 << 10
WHOLE = 256 << 10
READ_BYTES = 1 << 20            # bytes read at a time where a file is read rather than mapped
# Records a windowed read reserves before it knows how many its words hold.
_FIRST_RESERVE = 1 << 16
_BLOCK_LIMIT = 1 << 22
# Whole reads of at least this many data bytes are decoded by segments on the machine's cores
# (formats that split: EVT 3.0, EVT 2.0, DAT); SEGMENT_BYTES 0 lets the decoder choose.
WHOLE_MIN_BYTES = 8 << 20
SEGMENT_BYTES = 0


class Format:
    """One native decoder format, as the kernels describe it."""

    def __init__(self, number: int, name: str, word: int, max_per_word: int, x_range: int, y_range: int) -> None:
        self.number, self.name, self.word, self.max_per_word = number, name, word, max_per_word
        self.range = (x_range, y_range)


def decoder_format(name: str) -> Format:
    for number, row in enumerate(_native.events()._EVT_FORMATS):
        if row[0] == name:
            return Format(number, *row)
    raise KeyError(name)


class State:
    """The native decoders' state array, its slots found by the names the kernels give them."""

    _tables: Optional[Tuple[np.ndarray, Dict[str, int], Any]] = None

    def __init__(self, **values: int) -> None:
        if State._tables is None:  # read from the kernels once
            native = _native.events()
            State._tables = (np.array(native._EVT_STATE_INITIAL, np.int64),
                             {name: i for i, name in enumerate(native._EVT_STATE)}, native._EVT_ERRORS)
        initial, self._slot, self.errors = State._tables
        self.array = initial.copy()
        for name, value in values.items():
            self.array[self._slot[name]] = value

    def __getitem__(self, name: str) -> int:
        return int(self.array[self._slot[name]])

    def __setitem__(self, name: str, value: int) -> None:
        self.array[self._slot[name]] = value



class Layout:
    """Where a native recording's data lies and what its header declares, with the decoder
    settings its format takes (state slots by name)."""

    def __init__(self, fmt: Format, offset: int, t0: int, sensor: Optional[Tuple[int, int]],
                 slots: Optional[Dict[str, int]] = None) -> None:
        self.fmt, self.offset, self.t0, self.sensor = fmt, offset, t0, sensor
        self.slots = slots or {}


LayoutOf = Callable[[Path, str, bytes, int], Layout]
_LAYOUTS: Dict[str, LayoutOf] = {}
# The messages of the decoder errors that formats of other modules raise, by the error's name.
ERROR_TEXTS: Dict[str, Callable[[Path, State, int], RecordingError]] = {}


def layout(p: Path, ext: str, head: bytes, size: int) -> Layout:
    """The decoder format, data offset, t0 and declared sensor of a native recording."""
    return _LAYOUTS[ext](p, ext, head, size)


def _headerless(name: str) -> LayoutOf:
    return lambda p, ext, head, size: Layout(decoder_format(name), 0, 0, None)


def _percent_layout(p: Path, ext: str, head: bytes, size: int) -> Layout:
    # A header read before (the same bytes, and the two after them a DAT file's) is not parsed again.
    key = (ext, head[:percent_header(head) + 2])
    found = _HEADERS.get(key)
    if found is None:
        info = header_info(p, ext, head)
        found = (decoder_format(info["format"]), info["offset"], info["t0"], info["sensor_size"])
        if len(_HEADERS) >= 64:
            _HEADERS.pop(next(iter(_HEADERS)))
        _HEADERS[key] = found
    if found[1] >= len(head) and size == len(head) and not head.endswith(b"\n"):
        raise fail(p, "truncated: the file ends inside its header")
    return Layout(*found)


_HEADERS: Dict[Tuple[str, bytes], Tuple[Format, int, int, Optional[Tuple[int, int]]]] = {}


def new_state(lay: Layout, start: int = 0, duration: int = -1) -> State:
    # Outside events are counted natively and refused or dropped by the caller at the end.
    state = State(t0=lay.t0, start=start, duration=duration, drop_outside=1, pos=lay.offset, **lay.slots)
    if lay.sensor:
        state["width"], state["height"] = lay.sensor
    return state


def decode(p: Path, lay: Layout, offset: int, size: int, state: State, progress: Progress,
           back: Optional[list] = None, head: Optional[bytes] = None) -> Tuple[np.ndarray, Optional[int]]:
    """The records decoded from `offset`, and the byte where a file cut short ends its whole
    words (None when it is not). The first byte where times went backwards goes to `back`.
    `head`: the file's first bytes as opened, decoded from when they hold all of its data."""
    # A whole read of EVT 3.0, EVT 2.0 or DAT is one native call, which counts the records
    # the words can hold and writes each once, into the array returned (by segments on every
    # core for a large file). Other reads reserve the most records the file's words can hold
    # (one per word, or for vector formats the event bits, counted first), touched only as it
    # fills. Windows decode into blocks that double from 64 Ki records up to _BLOCK_LIMIT as
    # records come, joined at the end.
    fmt = lay.fmt
    word, most = fmt.word, fmt.max_per_word
    data_end = offset + max(size - offset, 0) // word * word
    if data_end <= offset:
        return np.empty(0, RECORD), cut_at(state, offset, data_end, size)
    windowed = state["duration"] >= 0
    blocks = []
    count = 0
    pos = offset
    with _bytes_of(p, head, offset, data_end, word) as (view, mm, data_end):
        if back is None and progress is None and fmt.name in _READ_WHOLE and data_end > offset:
            with view[offset:data_end] as data:
                whole = _native.events()._decode_whole(fmt.number, data, state.array, SEGMENT_BYTES,
                                                       data_end - offset >= WHOLE_MIN_BYTES)
            if whole is not None:
                out, count = whole
                if count < len(out):
                    out.resize(count, refcheck=False)
                return out, cut_at(state, data_end, data_end, size)
        out = np.empty(_reserve(fmt, mm, view, offset, data_end, windowed) + 2 * most + 16, RECORD)
        with _Prefault(out):
            while pos < data_end:
                if len(out) - count < most:
                    out.resize(count, refcheck=False)
                    blocks.append(out)
                    out, count = np.empty(min(2 * len(out), _BLOCK_LIMIT) + most, RECORD), 0
                end = min(pos + CHUNK, data_end)
                with view[pos:end] as chunk:
                    count, used, _ = _decode_piece(p, fmt, chunk, state, out, count, pos, back)
                _drop_pages(mm, pos, pos + used)
                pos += used
                if progress:
                    progress((pos - offset) / max(data_end - offset, 1))
                if state["done"] or not used:  # no whole unit (packet, line) left: cut short
                    break
    out.resize(count, refcheck=False)
    if blocks:
        blocks.append(out)
        out = _join(blocks)
    return out, cut_at(state, pos, data_end, size)


def _decode_piece(p: Path, fmt, piece: memoryview, state, out: np.ndarray, count: int, pos: int,
                  back: Optional[list]) -> Tuple[int, int, Optional[int]]:
    """Decodes `piece`, the file's bytes from `pos`, into out[count:]: the new count, the bytes
    used and the byte where times first went back in it (also added to `back`), or None. A
    damaged word raises the reader's error."""
    was_back = state["back"]
    count, used = _native.events()._decode_events(fmt.number, piece, state.array, out, count)
    if state["error"]:
        raise decode_error(p, fmt, state, pos)
    went_back = pos + state["back_at"] if state["back"] and not was_back else None
    if back is not None and went_back is not None:
        back.append(went_back)
    return count, used, went_back


# The formats whose whole reads are one native call.
_READ_WHOLE = frozenset({"EVT 2.0", "EVT 3.0", "DAT"})


@contextlib.contextmanager
def _bytes_of(p: Path, head: Optional[bytes], offset: int, data_end: int,
              word: int) -> Iterator[Tuple[memoryview, Optional[mmap.mmap], int]]:
    """A view of the file's bytes, its mapping (None for the head) and where its whole words
    end: the head as opened when it holds the data (no second open), else the file mapped,
    its end taken from the mapping (the file may have shrunk since it was opened)."""
    if head is not None and len(head) >= data_end:
        with memoryview(head) as view:
            yield view, None, data_end
        return
    fd = os.open(p, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    try:
        mm = mmap.mmap(fd, 0, access=mmap.ACCESS_READ)
    finally:
        os.close(fd)  # the mapping keeps the file
    with mm, memoryview(mm) as view:
        yield view, mm, min(data_end, offset + max(len(mm) - offset, 0) // word * word)


def cut_at(state: State, pos: int, data_end: int, size: int) -> Optional[int]:
    """Where a file cut short ends its last whole unit, decoding having stopped at `pos` with its
    whole words ending at `data_end`; None when the file is whole (or decoding stopped early)."""
    if state["done"]:
        return None
    if state["packet_left"] > 0:
        return state["packet_at"]
    if pos < data_end:
        return pos
    return data_end if data_end < size else None


class _Prefault:
    """A thread that takes the page faults of a large fresh record array ahead of its decoder,
    in small pages (see the kernels' memory advice), while the block runs; the decoder writes
    whichever pages it reaches first, and the thread leaves those as they are."""

    _MIN_BYTES = 64 << 20
    _STEP = 1 << 20  # records per request: about 13 MB

    def __init__(self, out: np.ndarray) -> None:
        self._out, self._stop = out, threading.Event()
        self._thread: Optional[threading.Thread] = None

    def __enter__(self) -> "_Prefault":
        if self._out.nbytes >= self._MIN_BYTES:
            _native.events()._populate_records(self._out, 0, 0, True)  # small pages, before any is touched
            self._thread = threading.Thread(target=self._run, name="zelqviz-prefault", daemon=True)
            self._thread.start()
        return self

    def _run(self) -> None:
        n = len(self._out)
        for start in range(0, n, self._STEP):
            stop = min(start + self._STEP, n)
            if self._stop.is_set() or not _native.events()._populate_records(self._out, start, stop):
                return

    def __exit__(self, *exc: Any) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()


def _reserve(fmt: Format, mm: Optional[mmap.mmap], view: memoryview, offset: int, data_end: int, windowed: bool) -> int:
    """Records to reserve for decoding view[offset:data_end]: counted a chunk at a time, each
    chunk's pages dropped after it, as decoding does."""
    words = (data_end - offset) // fmt.word
    if windowed:
        return min(words, _FIRST_RESERVE)
    if fmt.word == 1:  # packets and lines: an event takes at least 8 bytes ("0 0 0 0\n")
        return words // 8 + 1
    if fmt.max_per_word == 1:
        return words
    total = 0
    for pos in range(offset, data_end, CHUNK):
        end = min(pos + CHUNK, data_end)
        with view[pos:end] as chunk:
            total += _native.events()._most_events(fmt.number, chunk)
        _drop_pages(mm, pos, end)
    return total


def _finish(p: Path, lay: Layout, state: State, outside: str, size: int, cut: Optional[int], n: int) -> None:
    """Warn of a file cut short, and refuse or count the events outside the sensor."""
    if cut is not None:
        warn(p, cut_note(size, unit(lay.fmt), cut, n))
    _check_outside(p, state, outside, lay.sensor is not None, lay.fmt)


def unit(fmt: Format) -> str:
    if fmt.name == "AEDAT 3.1":
        return "packet"
    if fmt.word == 1:
        return "line"
    return f"{fmt.word}-byte {'word' if fmt.name.startswith('EVT') else 'record'}"


def _decode_checked(p: Path, lay: Layout, offset: int, size: int, state: State, outside: str,
                    progress: Progress, head: Optional[bytes] = None) -> np.ndarray:
    out, cut = decode(p, lay, offset, size, state, progress, head=head)
    _finish(p, lay, state, outside, size, cut, len(out))
    return out


def _join(blocks: list) -> np.ndarray:
    """One array of the blocks, each freed once copied: the peak is the result and a block."""
    out = np.empty(sum(len(b) for b in blocks), RECORD)
    raw = out.view(np.uint8)  # copied as bytes: a structured copy goes field by field
    at = 0
    for i, block in enumerate(blocks):
        raw[at:at + block.nbytes] = block.view(np.uint8)
        at += block.nbytes
        blocks[i] = None
    return out
def decode_error(p: Path, fmt: Format, state: State, pos: int) -> RecordingError:
    at = pos + state["error_at"]
    for name, text in ERROR_TEXTS.items():
        if state["error"] == state.errors[name]:
            return text(p, state, at)
    if state["error"] == state.errors["time_overflow"]:
        return fail(p, f"its times pass the largest 64-bit time at byte {at} "
                        f"(the header's '% t0' is {state['t0']})")
    word = state["error_word"] & ((1 << 8 * fmt.word) - 1)
    return fail(p, f"corrupt data: a word of unknown type (0x{word:0{2 * fmt.word}X}) at byte {at}")


def _check_outside(p: Path, state: State, outside: str, declared: bool, fmt: Format) -> None:
    n = state["outside"]
    if not n:
        return
    size = f"{state['width']} × {state['height']}"
    sensor = f"the {size} sensor its header declares" if declared else f"the {size} addresses of {fmt.name}"
    first = f"x={state['outside_x']}, y={state['outside_y']}, t={state['outside_t']}"
    outside_sensor(p, n, sensor, first, outside)


def _drop_pages(mm: Optional[mmap.mmap], start: int, end: int) -> None:
    # Decoded pages leave the process's resident set (the page cache keeps them),
    # so a read of a file larger than memory holds only its output.
    if mm is None:
        return
    lo = start - start % mmap.PAGESIZE
    hi = end - end % mmap.PAGESIZE
    if hi > lo and hasattr(mmap, "MADV_DONTNEED"):
        mm.madvise(mmap.MADV_DONTNEED, lo, hi - lo)




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


def _windowed(p: Path, lay: Layout, size: int, start: int, duration: int, outside: str,
              progress: Progress) -> np.ndarray:
    """Events with anchor + start <= t < anchor + start + duration, the anchor being the
    earliest time: found from the first event, seeking past what lies before the window,
    where the file's times rise; a file whose times go backwards anywhere is read whole
    instead (with a warning naming the byte), so that the window is exactly the full read's."""
    first = first_time(p, lay, size)
    if first is None:
        return _decode_checked(p, lay, lay.offset, size, new_state(lay), outside, progress)
    earliest, back_at = order(p, lay, size)
    if back_at is not None:
        return _exact_window(p, lay, size, start, duration, outside, progress, back_at, earliest)
    state = new_state(lay, start, duration)
    state["has_first"], state["first"] = 1, first
    pos = seek(p, lay, size, state, first + start)
    back: list = []
    out, cut = decode(p, lay, pos, size, state, progress, back)
    if (back and pos != lay.offset) or (state["seen"] and state["min_t"] < first):
        return _exact_window(p, lay, size, start, duration, outside, progress, back[0] if back else pos)
    _finish(p, lay, state, outside, size, cut, len(out))
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


_ORDERS: Dict[Any, Tuple[Optional[int], Optional[int]]] = {}


def _order(p: Path, lay: Layout, size: int) -> Tuple[Optional[int], Optional[int]]:
    probe = new_state(lay, 0, 0)  # a window at the largest time: keeps nothing, sees every time
    probe["has_first"], probe["first"] = 1, INT64_MAX
    back: list = []
    decode(p, lay, lay.offset, size, probe, None, back)
    return (probe["min_t"] if probe["seen"] else None), (back[0] if back else None)


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
    return _decode_checked(p, lay, lay.offset, size, state, outside, progress)


def _read(file: File, window: Window) -> np.ndarray:
    p, size = file.path, file.size
    lay = layout(p, file.ext, file.head, size)
    if window.whole:
        return _decode_checked(p, lay, lay.offset, size, new_state(lay), window.outside, window.progress, file.head)
    return _windowed(p, lay, size, window.start, window.duration, window.outside, window.progress)


def decoded_iterate(file: File, window: Window, chunk: int) -> Iterator[np.ndarray]:
    # The header is checked now, when the iteration is asked for; the data as it is read.
    lay = layout(file.path, file.ext, file.head, file.size)
    return _pieces(file.path, lay, file.size, window.start, window.duration, chunk, window.outside)


def _pieces(p: Path, lay: Layout, size: int, start: int, duration: int, chunk: int,
            outside: str, back: Optional[list] = None) -> Iterator[np.ndarray]:
    fmt = lay.fmt
    state = new_state(lay, start, duration)
    pos = lay.offset
    first = None
    if start or duration >= 0:
        first = first_time(p, lay, size)
        earliest, back_at = order(p, lay, size) if first is not None else (None, None)
        if back_at is not None and earliest is not None:
            # The window from the earliest time, over the whole file: exactly the full read's.
            warn(p, f"times go backwards at byte {back_at}; the window is taken from the whole file, "
                    "from its earliest time")
            assert earliest is not None  # times that go back have an earliest time
            state["has_first"], state["first"], state["back"] = 1, earliest, 1
            first = None  # warned once: the pass itself finds the same break
        elif first is not None:
            state["has_first"], state["first"] = 1, first
            pos = seek(p, lay, size, state, first + start)
    word = fmt.word
    data_end = pos + max(size - pos, 0) // word * word
    cap = chunk + fmt.max_per_word - 1  # a word that fills `chunk` may overshoot by this much
    out = np.empty(cap, RECORD)
    yielded: list = []
    count = total = 0
    warned = stuck = False
    whole_end = data_end
    if data_end > pos:
        # Read into one small reused buffer: no page fault per 4 KiB of a mapping, and
        # the bytes are decoded while they are still in the cache.
        buffer = bytearray(min(READ_BYTES, data_end - pos) // word * word)
        with open(p, "rb") as f, memoryview(buffer) as view:
            f.seek(pos)
            start = filled = 0  # view[start:filled] is read but not yet decoded
            while pos < data_end:
                # What is left is not a whole word (or unit: a packet, a line): keep it, read more.
                if filled - start < word or stuck:
                    rest = filled - start
                    view[:rest] = bytes(view[start:filled])
                    got = f.readinto(view[rest:min(len(view), rest + data_end - pos - rest)]) or 0
                    start, filled = 0, rest + got
                    if not got:
                        # The file ends inside a unit, or shrank while it was read: a cut at what was read.
                        data_end = whole_end = pos
                        break
                with view[start:filled] as piece:
                    count, used, went_back = _decode_piece(p, fmt, piece, state, out, count, pos, back)
                if first is not None and went_back is not None and not warned:
                    warned = True
                    warn(p, f"times go backwards at byte {went_back}; the window "
                             "keeps its start and is read to the end of the file")
                pos += used
                start += used
                stuck = not used
                while count >= chunk:  # only a vector word's overshoot is copied
                    full, out = out, _spare(yielded, cap)
                    out[:count - chunk] = full[chunk:count]
                    count -= chunk
                    total += chunk
                    yield full[:chunk]
                    yielded.append(full)  # reused once the caller has let go of the piece
                    del full
                if state["done"]:
                    break
    if count:
        total += count
        yield out[:count]
    _finish(p, lay, state, outside, size, cut_at(state, pos, whole_end, size), total)


def pieces_noting_back(file: File, outside: str, chunk: int, back: list) -> Iterator[np.ndarray]:
    """The whole file's records in file order, as iteration gives them; the byte where the
    word of the first event with a time below the one before it starts goes to `back`."""
    lay = layout(file.path, file.ext, file.head, file.size)
    return _pieces(file.path, lay, file.size, 0, -1, chunk, outside, back)


def _spare(yielded: list, cap: int) -> np.ndarray:
    """A buffer of an earlier piece that nothing outside holds any more (its pages are warm,
    where a fresh array costs a page fault per 4 KiB), else a new one. A loop's variable
    still holds the latest piece while the next is made, so the one before it is the
    usual candidate; pieces the caller keeps are never touched."""
    for i, buf in enumerate(yielded):
        # References: the list, `buf` and getrefcount's argument.
        if sys.getrefcount(buf) <= 3:
            del yielded[i]
            return buf
    del yielded[:-2]  # the caller keeps pieces: forget all but the latest two
    return np.empty(cap, RECORD)


def _time_range(file: File) -> Optional[Tuple[int, int]]:
    return _extent(file.path, layout(file.path, file.ext, file.head, file.size), file.size)


def _extent(p: Path, lay: Layout, size: int) -> Optional[Tuple[int, int]]:
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


# ---------------------------------------------------------------- the readers

def _header(head: bytes) -> bytes:
    return head[:percent_header(head)]


def _is_raw(head: bytes, path: Path) -> bool:
    return head.startswith(b"%") and bool(EVT_LINE.search(_header(head))
                                          or re.search(rb"^% format EVT", _header(head), re.M))


def _is_dat(head: bytes, path: Path) -> bool:
    return head.startswith(b"%") and bool(DAT_VERSION.search(_header(head)) or b"Data file containing" in _header(head))


def _raw_mismatch(file: File, kind: Optional[str]) -> None:
    head = file.head
    if head.startswith(b"%") and len(head) == file.size and not head.endswith(b"\n"):
        raise fail(file.path, "truncated: the file ends inside its header")
    if kind == "%-header":
        raise fail(file.path, "the header names no event encoding ('% evt 2.0', '% evt 2.1' or '% evt 3.0')")


def _header_sensor(file: File) -> Optional[Tuple[int, int]]:
    return header_info(file.path, file.ext, file.head)["sensor_size"]


class Decoder:
    """A native file's decoder, as the page's engine drives it: its states, seeks and errors."""

    def __init__(self, p: Path, lay: Layout, size: int) -> None:
        self.path, self.layout, self.size = p, lay, size

    def new_state(self, start: int = 0, duration: int = -1) -> State:
        """A decoder state for [first + start, + duration) (-1: to the end)."""
        return new_state(self.layout, start, duration)

    def state_of(self, array: np.ndarray) -> State:
        """The state the native engine left in `array`, read by slot names."""
        state = State()
        state.array = array
        return state

    def seek(self, state: State, lo: int) -> int:
        """The byte to decode from so that no event at or after time `lo` is skipped."""
        return seek(self.path, self.layout, self.size, state, lo)

    def error(self, state: State, pos: int) -> RecordingError:
        return decode_error(self.path, self.layout.fmt, state, pos)

    def decode(self, state: State) -> np.ndarray:
        """Every record the state keeps, decoded from the start of the data."""
        return decode(self.path, self.layout, self.layout.offset, self.size, state, None)[0]

    def time_range(self) -> Optional[Tuple[int, int]]:
        """(first, last) event times from the time index, or None without events."""
        return _extent(self.path, self.layout, self.size)

    def extremes(self) -> Optional[Tuple[int, int]]:
        """(earliest, latest) event times inside the sensor, by a pass that keeps nothing."""
        return extremes(self.path, self.layout, self.size)


def _source(file: File, outside: str) -> Source:
    lay = layout(file.path, file.ext, file.head, file.size)
    # A format of one encoding is named as the messages name it; a family by its encoding.
    name = FORMATS[file.ext] if lay.fmt.name == "N-MNIST" else lay.fmt.name
    return Source(name=file.path.name, format=name, path=file.path, layout=lay, size=file.size,
                  sensor_size=lay.sensor, outside=outside, unit=unit(lay.fmt),
                  decoder=Decoder(file.path, lay, file.size))


def decoded(extension: str, name: str, layout_of: LayoutOf, **facts: Any) -> Reader:
    """The reader of a format the native decoders read: `layout_of(path, ext, head, size)`
    gives a file's decoder format, data offset, t0 and declared sensor."""
    _LAYOUTS[extension] = layout_of
    return Reader(extension, name, _read, iterate=decoded_iterate, time_range=_time_range, source=_source, **facts)


RAW = decoded(".raw", "Prophesee RAW", _percent_layout, signature=_is_raw, mismatch=_raw_mismatch, head=HEAD, whole=WHOLE,
              sensor_size=_header_sensor)
DAT = decoded(".dat", "Prophesee DAT", _percent_layout, signature=_is_dat, accepts=(None, "%-header"), head=HEAD, whole=WHOLE,
              sensor_size=_header_sensor)
# Records of any bytes: a first record may look like another format's magic.
NMNIST = decoded(".bin", "N-MNIST binary", _headerless("N-MNIST"), accepts=(None, "%-header"), any_bytes=True,
                 head=HEAD, whole=WHOLE)
