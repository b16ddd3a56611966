"""Decoding a native recording's data: whole, into one array (by segments on the machine's
cores for a large file), or in blocks from a memory map; what a file cut short or events
outside the sensor make the readers say; the decoders' error messages."""
from __future__ import annotations

import contextlib
import mmap
import os
import threading
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, Optional, Tuple

import numpy as np

from .. import _native
from ._native_layout import Format, Layout, State
from ._problems import RecordingError, cut_note, fail, outside_sensor, warn
from ._registry import RECORD, Progress

CHUNK = 16 << 20
# Records a windowed read reserves before it knows how many its words hold.
_FIRST_RESERVE = 1 << 16
_BLOCK_LIMIT = 1 << 22
# Whole reads of at least this many data bytes are decoded by segments on the machine's cores
# (formats that split: EVT 3.0, EVT 2.0, DAT); SEGMENT_BYTES 0 lets the decoder choose.
WHOLE_MIN_BYTES = 8 << 20
SEGMENT_BYTES = 0
# The messages of the decoder errors that formats of other modules raise, by the error's name.
ERROR_TEXTS: Dict[str, Callable[[Path, State, int], RecordingError]] = {}


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
    if back is None and progress is None and fmt.name in _READ_WHOLE:
        whole = _whole(p, fmt, head, offset, data_end, state)
        if whole is not None:
            out, count, data_end = whole
            if count < len(out):
                out.resize(count, refcheck=False)
            return out, cut_at(state, data_end, data_end, size)
    windowed = state["duration"] >= 0
    blocks = []
    count = 0
    pos = offset
    with _bytes_of(p, head, offset, data_end, word) as (view, mm, data_end):
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
# Formats whose decoding runs at the memory's speed: a second thread pays only where a core
# is idle (with both cores busy, two threads took 1.00x the wall time of one on 87 MB of DAT
# and 16% more CPU time).
_SPLIT_WHEN_IDLE = frozenset({"DAT"})


def core_free() -> bool:
    """Whether a core is idle now: fewer tasks are running (this one among them) than the
    process may use cores. Where the kernel does not say, one is taken to be."""
    try:
        with open("/proc/loadavg", "rb") as f:
            running = int(f.read().split()[3].split(b"/")[0])
    except (OSError, ValueError, IndexError):
        return True
    return running < len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else running < (os.cpu_count() or 1)


def _whole(p: Path, fmt: Format, head: Optional[bytes], offset: int, data_end: int,
           state: State) -> Optional[Tuple[np.ndarray, int, int]]:
    """(records, how many, where the words decoded end) of a whole read in one native call: from
    the head as opened when it holds the data, else from the file mapped natively; None where
    the data is to be decoded in order (or the file cannot be mapped: the caller's own mapping
    then says why)."""
    split = data_end - offset >= WHOLE_MIN_BYTES and (fmt.name not in _SPLIT_WHEN_IDLE or core_free())
    if head is not None and len(head) >= data_end:
        with memoryview(head) as view, view[offset:data_end] as data:
            got = _native.events()._decode_whole(fmt.number, data, state.array, SEGMENT_BYTES, split)
        return None if got is None else (got[0], got[1], data_end)
    return _native.events()._decode_whole_file(fmt.number, os.fsencode(p), offset, data_end, state.array,
                                               SEGMENT_BYTES, split)


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
        self._out = out
        self._stop: Optional[threading.Event] = None   # made only for a thread (a small read pays nothing)
        self._thread: Optional[threading.Thread] = None

    def __enter__(self) -> "_Prefault":
        if self._out.nbytes >= self._MIN_BYTES:
            self._stop = threading.Event()
            _native.events()._populate_records(self._out, 0, 0, True)  # small pages, before any is touched
            self._thread = threading.Thread(target=self._run, name="zelqviz-prefault", daemon=True)
            self._thread.start()
        return self

    def _run(self) -> None:
        n = len(self._out)
        for start in range(0, n, self._STEP):
            stop = min(start + self._STEP, n)
            if (self._stop is not None and self._stop.is_set()) or \
                    not _native.events()._populate_records(self._out, start, stop):
                return

    def __exit__(self, *exc: Any) -> None:
        if self._thread is not None and self._stop is not None:
            self._stop.set()
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


def finish(p: Path, lay: Layout, state: State, outside: str, size: int, cut: Optional[int], n: int) -> None:
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


def decode_checked(p: Path, lay: Layout, offset: int, size: int, state: State, outside: str,
                    progress: Progress, head: Optional[bytes] = None) -> np.ndarray:
    out, cut = decode(p, lay, offset, size, state, progress, head=head)
    finish(p, lay, state, outside, size, cut, len(out))
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
