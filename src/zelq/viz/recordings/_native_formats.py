"""The formats the native decoders read: Prophesee RAW (EVT 2.0, 2.1, 3.0), Prophesee DAT and
N-MNIST / N-Caltech101 binary.

Files are decoded natively (`_native_decode`), whole from the bytes read on opening or from a
memory map, or in pieces from a reused buffer when iterated; a whole read of EVT 3.0, EVT 2.0
or DAT is one native call, by segments on the machine's cores for a large file, straight into
its one array. A window is found through the time index (`_native_time`: EVT time-high words,
DAT bisection) instead of decoding what lies before it. `_native_layout` holds what the
decoders are told of a file and their state.
"""
from __future__ import annotations

import re
import sys
from pathlib import Path
from typing import Any, Iterator, Optional, Tuple

import numpy as np

from ._headers import DAT_VERSION, EVT_LINE, header_info
from ._native_decode import CHUNK, ERROR_TEXTS, cut_at, decode, decode_checked, decode_error, finish, unit
from ._native_decode import _decode_piece
from ._native_layout import _LAYOUTS, Layout, LayoutOf, State, decoder_format, headerless, layout, new_state
from ._native_layout import percent_layout
from ._native_time import extent, extremes, first_time, order, seek, window_seek, windowed
from ._problems import RecordingError, fail, warn
from ._registry import FORMATS, RECORD, File, Reader, Source, Window

__all__ = ["CHUNK", "ERROR_TEXTS", "HEAD", "WHOLE", "READ_BYTES", "Layout", "State", "decoder_format", "decoded",
           "decoded_iterate", "pieces_noting_back", "RAW", "DAT", "NMNIST"]

# Bytes read on opening: the header (more where it is longer), or a file up to WHOLE bytes
# whole, its data decoded from them (cheaper than mapping it); a larger file's data is mapped.
HEAD = 64 << 10
WHOLE = 256 << 10
READ_BYTES = 1 << 20            # bytes read at a time where a file is read rather than mapped


def _read(file: File, window: Window) -> np.ndarray:
    p, size = file.path, file.size
    lay = layout(file)
    if window.whole:
        return decode_checked(p, lay, lay.offset, size, lay.whole_state(), window.outside, window.progress, file.head)
    return windowed(p, lay, size, window.start, window.duration, window.outside, window.progress)


def decoded_iterate(file: File, window: Window, chunk: int) -> Iterator[np.ndarray]:
    # The header is checked now, when the iteration is asked for; the data as it is read.
    lay = layout(file)
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
            pos = window_seek(p, lay, size, state, first + start)
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
    finish(p, lay, state, outside, size, cut_at(state, pos, whole_end, size), total)


def pieces_noting_back(file: File, outside: str, chunk: int, back: list) -> Iterator[np.ndarray]:
    """The whole file's records in file order, as iteration gives them; the byte where the
    word of the first event with a time below the one before it starts goes to `back`."""
    lay = layout(file)
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
    return extent(file.path, layout(file), file.size)


# ---------------------------------------------------------------- the readers

def _is_raw(file: File) -> bool:
    if not file.head.startswith(b"%"):
        return False
    header = file.head[:file.header]
    return bool(EVT_LINE.search(header) or re.search(rb"^% format EVT", header, re.M))


def _is_dat(file: File) -> bool:
    if not file.head.startswith(b"%"):
        return False
    header = file.head[:file.header]
    return bool(DAT_VERSION.search(header) or b"Data file containing" in header)


def _raw_mismatch(file: File, kind: Optional[str]) -> None:
    head = file.head
    if head.startswith(b"%") and len(head) == file.size and not head.endswith(b"\n"):
        raise fail(file.path, "truncated: the file ends inside its header")
    if kind == "%-header":
        raise fail(file.path, "the header names no event encoding ('% evt 2.0', '% evt 2.1' or '% evt 3.0')")


def _header_sensor(file: File) -> Optional[Tuple[int, int]]:
    return header_info(file.path, file.ext, file.head, file.header)["sensor_size"]


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
        return extent(self.path, self.layout, self.size)

    def extremes(self) -> Optional[Tuple[int, int]]:
        """(earliest, latest) event times inside the sensor, by a pass that keeps nothing."""
        return extremes(self.path, self.layout, self.size)


def _source(file: File, outside: str) -> Source:
    lay = layout(file)
    # A format of one encoding is named as the messages name it; a family by its encoding.
    name = FORMATS[file.ext] if lay.fmt.name == "N-MNIST" else lay.fmt.name
    return Source(name=file.path.name, format=name, path=file.path, layout=lay, size=file.size,
                  sensor_size=lay.sensor, outside=outside, unit=unit(lay.fmt),
                  decoder=Decoder(file.path, lay, file.size))


def decoded(extension: str, name: str, layout_of: LayoutOf, **facts: Any) -> Reader:
    """The reader of a format the native decoders read: `layout_of(file)` gives a file's decoder format, data offset, t0 and declared sensor."""
    _LAYOUTS[extension] = layout_of
    return Reader(extension, name, _read, iterate=decoded_iterate, time_range=_time_range, source=_source, **facts)


RAW = decoded(".raw", "Prophesee RAW", percent_layout, signature=_is_raw, mismatch=_raw_mismatch, head=HEAD, whole=WHOLE,
              sensor_size=_header_sensor)
DAT = decoded(".dat", "Prophesee DAT", percent_layout, signature=_is_dat, accepts=(None, "%-header"), head=HEAD, whole=WHOLE,
              sensor_size=_header_sensor)
# Records of any bytes: a first record may look like another format's magic.
NMNIST = decoded(".bin", "N-MNIST binary", headerless("N-MNIST"), accepts=(None, "%-header"), any_bytes=True,
                 head=HEAD, whole=WHOLE)
