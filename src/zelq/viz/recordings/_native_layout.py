"""What the native decoders are told of a file: its decoder format, where its data lies, what
its header declares (`Layout`), and the decoders' state array (`State`), whose slots the
kernels name."""
from __future__ import annotations

import functools
from typing import Any, Callable, Dict, Optional, Tuple

import numpy as np

from .. import _native
from ._headers import header_info
from ._problems import fail
from ._registry import File


class Format:
    """One native decoder format, as the kernels describe it."""

    def __init__(self, number: int, name: str, word: int, max_per_word: int, x_range: int, y_range: int) -> None:
        self.number, self.name, self.word, self.max_per_word = number, name, word, max_per_word
        self.range = (x_range, y_range)


@functools.lru_cache(maxsize=None)
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

    def copy(self) -> "State":
        state = State.__new__(State)
        state._slot, state.errors, state.array = self._slot, self.errors, self.array.copy()
        return state


class Layout:
    """Where a native recording's data lies and what its header declares, with the decoder
    settings its format takes (state slots by name). Never changed once made: files of one
    header share one."""

    def __init__(self, fmt: Format, offset: int, t0: int, sensor: Optional[Tuple[int, int]],
                 slots: Optional[Dict[str, int]] = None) -> None:
        self.fmt, self.offset, self.t0, self.sensor = fmt, offset, t0, sensor
        self.slots = slots or {}
        self._fresh: Optional[State] = None

    def whole_state(self) -> State:
        """A new decoder state for a read of the whole file."""
        if self._fresh is None:
            self._fresh = new_state(self)
        return self._fresh.copy()


LayoutOf = Callable[[File], Layout]
_LAYOUTS: Dict[str, LayoutOf] = {}


def layout(file: File) -> Layout:
    """The decoder format, data offset, t0 and declared sensor of a native recording."""
    return _LAYOUTS[file.ext](file)


def headerless(name: str) -> LayoutOf:
    lay = Layout(decoder_format(name), 0, 0, None)
    return lambda file: lay


def percent_layout(file: File) -> Layout:
    # A header read before (the same bytes, and the two after them a DAT file's) is not parsed again.
    head = file.head
    key = (file.ext, head[:file.header + 2])
    found = _HEADERS.get(key)
    if found is None:
        info = header_info(file.path, file.ext, head, file.header)
        found = Layout(decoder_format(info["format"]), info["offset"], info["t0"], info["sensor_size"])
        if len(_HEADERS) >= 64:
            _HEADERS.pop(next(iter(_HEADERS)))
        _HEADERS[key] = found
    if found.offset >= len(head) and file.size == len(head) and not head.endswith(b"\n"):
        raise fail(file.path, "truncated: the file ends inside its header")
    return found


_HEADERS: Dict[Tuple[str, bytes], Layout] = {}


def new_state(lay: Layout, start: int = 0, duration: int = -1) -> State:
    # Outside events are counted natively and refused or dropped by the caller at the end.
    state = State(t0=lay.t0, start=start, duration=duration, drop_outside=1, pos=lay.offset, **lay.slots)
    if lay.sensor:
        state["width"], state["height"] = lay.sensor
    return state
