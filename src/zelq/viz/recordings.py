"""Event recordings from files: AEDAT 4, Prophesee RAW (EVT 2.0, 2.1, 3.0) and
DAT, N-MNIST / N-Caltech101 binary, and NumPy .npy / .npz event arrays.

`read_events` returns the record array the page functions take:
x, y (int16), t (int64, microseconds) and p (int8, -1 or 1). RAW, DAT and
N-MNIST files are decoded natively, 16 MiB of the file at a time, from a
memory map; AEDAT 4 is decoded here, packet by packet, and needs the optional
`lz4` package for its compressed packets.
"""
from __future__ import annotations

import mmap
import os
import re
import stat
import sys
import warnings
import zipfile
from pathlib import Path
from types import FrameType
from typing import Any, Callable, Dict, Iterator, Optional, Tuple, Union

import numpy as np

from . import _args, _native

__all__ = ["RecordingError", "RecordingWarning", "read_events", "iter_events", "read_sensor_size", "FORMATS"]

CHUNK = 16 << 20
_READ = 1 << 20                  # bytes read at a time where a file is read rather than mapped
# Records a vector format's read reserves before it knows how many its words hold.
_FIRST_RESERVE = 1 << 16
_BLOCK_LIMIT = 1 << 22
_HERE = os.path.dirname(os.path.abspath(__file__))
RECORD = np.dtype([("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")])

# Extension -> format; the names are the ones errors use.
FORMATS: Dict[str, str] = {
    ".aedat4": "AEDAT 4",
    ".raw": "Prophesee RAW",
    ".dat": "Prophesee DAT",
    ".bin": "N-MNIST binary",
    ".npy": "NumPy .npy",
    ".npz": "NumPy .npz",
}

_HEADER_LIMIT = 1 << 20
# The widest or tallest sensor taken from a header: no supported format addresses more.
MAX_SENSOR_SIDE = 16384
OUTSIDE = ("refuse", "drop")
_EVT_LINE = re.compile(rb"^% evt (\d\.\d)\s*$", re.M)
_FORMAT_LINE = re.compile(rb"^% format (\w+)(;[^\r\n]*)?", re.M)
_GEOMETRY = re.compile(rb"^% geometry ([^\r\n]*)", re.M)
_T0_LINE = re.compile(rb"^% t0(?:[ \t]([^\r\n]*))?\r?$", re.M)
_DAT_SIZE = re.compile(rb"^% (Width|Height) ([^\r\n]*)", re.M)
_DAT_VERSION = re.compile(rb"^% Version (\d+)", re.M)
_INT64_MAX = (1 << 63) - 1

Progress = Optional[Callable[[float], None]]


class RecordingError(ValueError):
    """A recording file that cannot be read: truncated, corrupt, or not what its name says."""


class RecordingWarning(UserWarning):
    """A recording read in part or with care: cut short, events outside the sensor dropped on
    request, or a window read whole because the file's times go backwards."""


def _fail(path: Union[Path, str], what: str) -> RecordingError:
    return RecordingError(f"{path}: {what}")


def _warn(path: Union[Path, str], what: str) -> None:
    # Attributed to the first caller outside this package, however deep the reader is.
    level = 2
    frame: Optional[FrameType] = sys._getframe(1)
    while frame is not None and os.path.dirname(frame.f_code.co_filename) == _HERE:
        frame, level = frame.f_back, level + 1
    warnings.warn(f"{path}: {what}", RecordingWarning, stacklevel=level)


# ---------------------------------------------------------------- native decoder tables

class _Format:
    """One native decoder format, as the kernels describe it."""

    def __init__(self, number: int, name: str, word: int, max_per_word: int, x_range: int, y_range: int) -> None:
        self.number, self.name, self.word, self.max_per_word = number, name, word, max_per_word
        self.range = (x_range, y_range)


def _format(name: str) -> _Format:
    for number, row in enumerate(_native.events()._EVT_FORMATS):
        if row[0] == name:
            return _Format(number, *row)
    raise KeyError(name)


class _State:
    """The native decoders' state array, its slots found by the names the kernels give them."""

    def __init__(self, **values: int) -> None:
        native = _native.events()
        self.array = np.array(native._EVT_STATE_INITIAL, np.int64)
        self._slot = {name: i for i, name in enumerate(native._EVT_STATE)}
        self.errors = native._EVT_ERRORS
        for name, value in values.items():
            self[name] = value

    def __getitem__(self, name: str) -> int:
        return int(self.array[self._slot[name]])

    def __setitem__(self, name: str, value: int) -> None:
        self.array[self._slot[name]] = value


# ---------------------------------------------------------------- sniffing

def _percent_header(head: bytes) -> int:
    """Length of the leading block of '%' lines (through a '% end' line when there is one)."""
    pos = 0
    while pos < len(head) and head[pos:pos + 1] == b"%":
        nl = head.find(b"\n", pos)
        if nl < 0:
            return len(head)
        line = head[pos:nl].rstrip(b"\r")
        pos = nl + 1
        if line == b"% end":
            break
    return pos


def _sniff(head: bytes, path: Path, ext: str) -> Optional[str]:
    """The extension whose format the first bytes are, or None.

    Only whole signatures count (a full magic line, a complete '%' header naming its format,
    and for a .bin, whose records can be any bytes, one of text lines), so that the first
    records of a headerless format are not taken for another format's magic.
    """
    if head.startswith(b"#!AER-DAT4.0\r\n"):
        return ".aedat4"
    if re.match(rb"#!AER-DAT[1-3]\.\d\r?\n", head):
        return "older AEDAT"
    if re.match(rb"\x93NUMPY[\x01-\x03]\x00", head):
        return ".npy"
    if head.startswith((b"PK\x03\x04", b"PK\x05\x06")) and zipfile.is_zipfile(path):
        return ".npz"
    if head.startswith(b"%"):
        end = _percent_header(head)
        header = head[:end]
        if ext == ".bin" and not (header.endswith(b"\n") and _is_text(header)):
            return None
        if _EVT_LINE.search(header) or re.search(rb"^% format EVT", header, re.M):
            return ".raw"
        if _DAT_VERSION.search(header) or b"Data file containing" in header:
            return ".dat"
        return "%-header"
    return None


def _is_text(header: bytes) -> bool:
    try:
        text = header.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return all(c.isprintable() or c in "\r\n\t" for c in text)


def _looks(kind: Optional[str]) -> str:
    if kind in FORMATS:
        return f"a {FORMATS[kind]} file"
    if kind == "older AEDAT":
        return "an AEDAT 2/3 file, which is not supported (convert it to AEDAT 4)"
    return "something else"


def _open_regular(p: Path) -> Any:
    """The file opened for reading, refused unless it is a regular file.

    The type is checked before the file is opened for reading (a FIFO would block), and
    again on the opened descriptor, in case the name was replaced meanwhile.
    """
    try:
        if not stat.S_ISREG(os.stat(p).st_mode):
            raise _fail(p, "not a regular file")
        fd = os.open(p, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except (FileNotFoundError, RecordingError):
        raise
    except OSError as e:
        raise _fail(p, f"cannot be read ({e.strerror or e})") from None
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise _fail(p, "not a regular file")
    return os.fdopen(fd, "rb")


def _open_checked(path: Union[str, os.PathLike], head_limit: int = _HEADER_LIMIT) -> Tuple[Path, str, bytes, int]:
    """(path, extension, first bytes, size) of a readable file whose content matches its extension.

    The first `head_limit` bytes are read, and more (up to the header limit) when a '%'
    header reaches their end, so that a header is always seen whole."""
    p = Path(os.fspath(path))
    ext = p.suffix.lower()
    if ext not in FORMATS:
        known = ", ".join(FORMATS)
        raise _fail(p, f"unknown recording format '{p.suffix or '(no extension)'}'; known: {known}")
    with _open_regular(p) as f:
        size = os.fstat(f.fileno()).st_size
        try:
            # No more than the file holds: a small file must not pay for a MB buffer.
            head = f.read(min(head_limit, size + 1))
            # A header and the two bytes after it (a DAT file's event type and size) are read whole.
            cut = len(head) == head_limit < _HEADER_LIMIT
            if cut and head.startswith(b"%") and _percent_header(head) + 2 >= len(head):
                head += f.read(min(_HEADER_LIMIT, size + 1) - len(head))
        except OSError as e:
            raise _fail(p, f"cannot be read ({e.strerror or e})") from None
        size = max(size, len(head))
    kind = _sniff(head, p, ext)
    if ext == ".bin":
        if kind is not None and kind != "%-header":
            raise _fail(p, f"named {ext} but looks like {_looks(kind)}")
    elif ext == ".dat":
        if kind not in (".dat", "%-header", None):
            raise _fail(p, f"named {ext} but looks like {_looks(kind)}")
    elif kind != ext:
        if ext == ".raw" and head.startswith(b"%") and len(head) == size and not head.endswith(b"\n"):
            raise _fail(p, "truncated: the file ends inside its header")
        if kind == "%-header" and ext == ".raw":
            raise _fail(p, "the header names no event encoding ('% evt 2.0', '% evt 2.1' or '% evt 3.0')")
        if kind is None or kind == "%-header":
            raise _fail(p, f"not a {FORMATS[ext]} file (its first bytes match no known recording format)")
        raise _fail(p, f"named {ext} but looks like {_looks(kind)}")
    return p, ext, head, size


# ---------------------------------------------------------------- headers

def _sensor(p: Path, width: Any, height: Any, where: str) -> Tuple[int, int]:
    """A header's sensor size, refused unless both sides are whole numbers in 1..MAX_SENSOR_SIDE."""
    text = f"{width}x{height}" if not isinstance(width, bytes) else \
        f"{width.decode('ascii', 'replace')}x{height.decode('ascii', 'replace')}"
    try:
        w, h = int(width), int(height)
    except ValueError:
        raise _fail(p, f"the header's sensor size ({where} {text}) is not two whole numbers") from None
    if not (0 < w <= MAX_SENSOR_SIDE and 0 < h <= MAX_SENSOR_SIDE):
        raise _fail(p, f"the header's sensor size ({where} {text}) is not a sensor: "
                       f"each side must be 1 to {MAX_SENSOR_SIDE}")
    return w, h


def _header_t0(p: Path, header: bytes) -> int:
    m = _T0_LINE.search(header)
    if not m:
        return 0
    text = (m.group(1) or b"").strip()
    if not re.fullmatch(rb"[+-]?\d{1,25}", text):
        raise _fail(p, f"the header's '% t0' ({text.decode('ascii', 'replace')!r}) is not a whole number of µs")
    t0 = int(text)
    if not -_INT64_MAX <= t0 <= _INT64_MAX:
        raise _fail(p, f"the header's '% t0 {t0}' is beyond 64-bit times")
    return t0


def _header_info(p: Path, ext: str, head: bytes) -> Dict[str, Any]:
    """Data offset, decoder format, t0 and sensor size from a RAW or DAT header."""
    end = _percent_header(head)
    header = head[:end]
    size = None
    g = _GEOMETRY.search(header)
    if g:
        dims = g.group(1).strip().split(b"x")
        if len(dims) != 2:
            raise _fail(p, f"the header's '% geometry {g.group(1).decode('ascii', 'replace')}' is not WIDTHxHEIGHT")
        size = _sensor(p, dims[0], dims[1], "geometry")
    fm = _FORMAT_LINE.search(header)
    if fm and fm.group(2):
        opts = dict(kv.split(b"=", 1) for kv in fm.group(2).split(b";") if b"=" in kv)
        if b"width" in opts and b"height" in opts:
            given = _sensor(p, opts[b"width"], opts[b"height"], "format")
            if size is not None and size != given:
                raise _fail(p, f"the header gives two sensor sizes: geometry {size[0]}x{size[1]} "
                               f"and format width={given[0]};height={given[1]}")
            size = given
    info: Dict[str, Any] = {"offset": end, "t0": _header_t0(p, header), "sensor_size": size}
    if ext == ".raw":
        evt = _EVT_LINE.search(header)
        version = evt.group(1) if evt else None
        if version is None and fm:
            version = {b"EVT2": b"2.0", b"EVT21": b"2.1", b"EVT3": b"3.0"}.get(fm.group(1))
        fmt = None if version is None else {b"2.0": "EVT 2.0", b"2.1": "EVT 2.1", b"3.0": "EVT 3.0"}.get(version)
        if fmt is None:
            raise _fail(p, f"unsupported event encoding '{(version or b'?').decode('ascii', 'replace')}' "
                           "(EVT 2.0, 2.1 and 3.0 are read)")
        info["format"] = fmt
        return info
    dims = dict(_DAT_SIZE.findall(header))
    if size is None and b"Width" in dims and b"Height" in dims:
        info["sensor_size"] = _sensor(p, dims[b"Width"].strip(), dims[b"Height"].strip(), "Width/Height")
    version = _DAT_VERSION.search(header)
    type_size = head[end:end + 2]
    # Version 2 and later put the event type and size after the header.
    if (version and int(version.group(1)) >= 2) or (len(type_size) == 2 and type_size[1] == 8
                                                     and type_size[0] in (0x00, 0x0C)):
        if len(type_size) < 2:
            raise _fail(p, "truncated: the file ends inside the DAT header")
        if type_size[0] not in (0x00, 0x0C) or type_size[1] != 8:
            raise _fail(p, f"unsupported DAT event type 0x{type_size[0]:02X} of {type_size[1]} bytes "
                           "(CD and 2D events of 8 bytes are read)")
        info["offset"] = end + 2
    info["format"] = "DAT"
    return info


def read_sensor_size(path: Union[str, os.PathLike]) -> Optional[Tuple[int, int]]:
    """The sensor size (width, height) a recording's header gives, or None when it gives none.

    AEDAT 4 event streams, RAW headers ('% geometry', '% format ...;width=;height=') and DAT
    headers carry one; N-MNIST and NumPy files do not. Raises RecordingError for an unknown,
    mislabelled or unreadable file, or a header size that is not a sensor's (each side 1 to
    MAX_SENSOR_SIDE); FileNotFoundError for a missing one; refuses a path that is not a str or
    path object with TypeError.
    """
    p = _path_arg(path)
    p, ext, head, size = _open_checked(p)
    if ext in (".raw", ".dat"):
        return _header_info(p, ext, head)["sensor_size"]
    if ext == ".aedat4":
        return _aedat_sensor(p, _aedat_header(p, size))
    return None


# ---------------------------------------------------------------- native formats

class _Layout:
    """Where a native recording's data lies and what its header declares."""

    def __init__(self, fmt: _Format, offset: int, t0: int, sensor: Optional[Tuple[int, int]]) -> None:
        self.fmt, self.offset, self.t0, self.sensor = fmt, offset, t0, sensor


def _layout(p: Path, ext: str, head: bytes, size: int) -> _Layout:
    """The decoder format, data offset, t0 and declared sensor of a native recording."""
    if ext == ".bin":
        return _Layout(_format("N-MNIST"), 0, 0, None)
    info = _header_info(p, ext, head)
    if info["offset"] >= len(head) and size == len(head) and not head.endswith(b"\n"):
        raise _fail(p, "truncated: the file ends inside its header")
    return _Layout(_format(info["format"]), info["offset"], info["t0"], info["sensor_size"])


def _new_state(lay: _Layout, start: int = 0, duration: int = -1) -> _State:
    # Outside events are counted natively and refused or dropped by the caller at the end.
    state = _State(t0=lay.t0, start=start, duration=duration, drop_outside=1)
    if lay.sensor:
        state["width"], state["height"] = lay.sensor
    return state


def _decode(p: Path, lay: _Layout, offset: int, size: int, state: _State, progress: Progress,
            back: Optional[list] = None) -> Tuple[np.ndarray, Optional[int]]:
    """The records decoded from `offset`, and the byte where a file cut short ends its whole
    words (None when it is not). The first byte where times went backwards goes to `back`."""
    # Formats of one record per word reserve one record per whole word of the file: the
    # most it can hold, touched only as it fills. Vector formats (and windows) decode into
    # blocks that double from 64 Ki records up to _BLOCK_LIMIT as records come, joined at
    # the end, so a file of words without events reserves nothing.
    fmt = lay.fmt
    word, most = fmt.word, fmt.max_per_word
    data_end = offset + max(size - offset, 0) // word * word
    words = (data_end - offset) // word
    windowed = state["duration"] >= 0
    out = np.empty((words if most == 1 and not windowed else min(words, _FIRST_RESERVE)) + most, RECORD)
    blocks = []
    count = 0
    pos = offset
    if data_end > offset:
        with open(p, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
            data_end = min(data_end, offset + max(len(mm) - offset, 0) // word * word)
            with memoryview(mm) as view:
                while pos < data_end:
                    if len(out) - count < most:
                        out.resize(count, refcheck=False)
                        blocks.append(out)
                        out, count = np.empty(min(2 * len(out), _BLOCK_LIMIT) + most, RECORD), 0
                    end = min(pos + CHUNK, data_end)
                    was_back = state["back"]
                    with view[pos:end] as chunk:
                        count, used = _native.events()._decode_events(fmt.number, chunk, state.array, out, count)
                    if state["error"]:
                        raise _decode_error(p, fmt, state, pos)
                    if back is not None and state["back"] and not was_back:
                        back.append(pos + state["back_at"])
                    _drop_pages(mm, pos, pos + used)
                    pos += used
                    if progress:
                        progress((pos - offset) / max(data_end - offset, 1))
                    if state["done"]:
                        break
    out.resize(count, refcheck=False)
    if blocks:
        blocks.append(out)
        out = _join(blocks)
    return out, (data_end if not state["done"] and data_end < size else None)


def _finish(p: Path, lay: _Layout, state: _State, outside: str, size: int, cut: Optional[int], n: int) -> None:
    """Warn of a file cut short, and refuse or count the events outside the sensor."""
    if cut is not None:
        _warn(p, _cut_note(size, _unit(lay.fmt), cut, n))
    _check_outside(p, state, outside, lay.sensor is not None, lay.fmt)


def _unit(fmt: _Format) -> str:
    return f"{fmt.word}-byte {'record' if fmt.name in ('DAT', 'N-MNIST') else 'word'}"


def _cut_note(size: int, unit: str, cut: int, n: int) -> str:
    """What a warning says of a file that ends at `size`, inside the `unit` at byte `cut`."""
    return f"cut short: the file ends at byte {size}, inside the {unit} at byte {cut}; {_events(n)} before it are read"


def _decode_checked(p: Path, lay: _Layout, offset: int, size: int, state: _State, outside: str,
                    progress: Progress) -> np.ndarray:
    out, cut = _decode(p, lay, offset, size, state, progress)
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
def _decode_error(p: Path, fmt: _Format, state: _State, pos: int) -> RecordingError:
    at = pos + state["error_at"]
    if state["error"] == state.errors["time_overflow"]:
        return _fail(p, f"its times pass the largest 64-bit time at byte {at} "
                        f"(the header's '% t0' is {state['t0']})")
    word = state["error_word"] & ((1 << 8 * fmt.word) - 1)
    return _fail(p, f"corrupt data: a word of unknown type (0x{word:0{2 * fmt.word}X}) at byte {at}")


def _check_outside(p: Path, state: _State, outside: str, declared: bool, fmt: _Format) -> None:
    n = state["outside"]
    if not n:
        return
    size = f"{state['width']} × {state['height']}"
    sensor = f"the {size} sensor its header declares" if declared else f"the {size} addresses of {fmt.name}"
    first = f"x={state['outside_x']}, y={state['outside_y']}, t={state['outside_t']}"
    _outside(p, n, sensor, first, outside)


def _events(n: int) -> str:
    return f"{n:,} event{'s' if n != 1 else ''}"


def _outside(p: Union[Path, str], n: int, sensor: str, first: str, outside: str) -> None:
    events = _events(n)
    if outside == "drop":
        _warn(p, f"dropped {events} outside {sensor} (the first: {first})")
        return
    raise _fail(p, f"{events} outside {sensor}; the first: {first}. "
                   "Drop them with outside='drop' (on the command line, --outside drop) to read the others")


def _drop_pages(mm: mmap.mmap, start: int, end: int) -> None:
    # Decoded pages leave the process's resident set (the page cache keeps them),
    # so a read of a file larger than memory holds only its output.
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


def _first_time(p: Path, lay: _Layout, size: int) -> Optional[int]:
    """Time of the first event inside the sensor in file order; None when none decodes
    before the end or a bad word."""
    state = _new_state(lay)
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


def _seek(p: Path, lay: _Layout, size: int, state: _State, lo: int) -> int:
    """Where to start decoding so that no event at or after time `lo` is skipped."""
    target = min(lo - lay.t0, _INT64_MAX)
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


def _windowed(p: Path, lay: _Layout, size: int, start: int, duration: int, outside: str,
              progress: Progress) -> np.ndarray:
    """Events with anchor + start <= t < anchor + start + duration, the anchor being the
    earliest time: found from the first event, seeking past what lies before the window;
    a file whose times go backwards is read whole instead."""
    first = _first_time(p, lay, size)
    if first is None:
        return _decode_checked(p, lay, lay.offset, size, _new_state(lay), outside, progress)
    state = _new_state(lay, start, duration)
    state["has_first"], state["first"] = 1, first
    pos = _seek(p, lay, size, state, first + start)
    back: list = []
    out, cut = _decode(p, lay, pos, size, state, progress, back)
    if (back and pos != lay.offset) or (state["seen"] and state["min_t"] < first):
        return _exact_window(p, lay, size, start, duration, outside, progress, back[0] if back else pos)
    _finish(p, lay, state, outside, size, cut, len(out))
    return out


def _extremes(p: Path, lay: _Layout, size: int) -> Optional[Tuple[int, int]]:
    """(earliest, latest) time of the events inside the sensor, by a decoding pass that keeps
    nothing; None without events."""
    probe = _new_state(lay, 0, 0)  # a window at the largest time: keeps nothing, finds the earliest
    probe["has_first"], probe["first"] = 1, _INT64_MAX
    _decode(p, lay, lay.offset, size, probe, None)
    return (probe["min_t"], probe["max_t"]) if probe["seen"] else None


def _exact_window(p: Path, lay: _Layout, size: int, start: int, duration: int, outside: str,
                  progress: Progress, at: int, extremes: Optional[Tuple[int, int]] = None) -> np.ndarray:
    _warn(p, f"times go backwards at byte {at}; the window is taken from a read of the whole file")
    extremes = extremes or _extremes(p, lay, size)
    state = _new_state(lay, start, duration)
    if extremes is not None:
        state["has_first"], state["first"] = 1, extremes[0]
    state["back"] = 1  # no early stop: later events may still fall in the window
    return _decode_checked(p, lay, lay.offset, size, state, outside, progress)


def _read_native(p: Path, ext: str, head: bytes, size: int, start: int, duration: int, outside: str,
                 progress: Progress) -> np.ndarray:
    lay = _layout(p, ext, head, size)
    if start == 0 and duration < 0:
        return _decode_checked(p, lay, lay.offset, size, _new_state(lay), outside, progress)
    return _windowed(p, lay, size, start, duration, outside, progress)


# ---------------------------------------------------------------- AEDAT 4

def _aedat_header(p: Path, size: int) -> Any:
    from . import _aedat4
    try:
        return _aedat4.header_of(p, size)
    except _aedat4.Corrupt as e:
        raise _fail(p, str(e)) from None


def _aedat_sensor(p: Path, header: Any) -> Optional[Tuple[int, int]]:
    from . import _aedat4
    try:
        _, stream = header.event_stream()
    except _aedat4.Corrupt as e:
        raise _fail(p, str(e)) from None
    if stream.size is None:
        return None
    width, height = stream.size
    return _sensor(p, width, height, "sizeX/sizeY")


def _need_lz4() -> None:
    try:
        import lz4.frame  # noqa: F401
    except ImportError:
        raise ImportError("reading AEDAT 4 files needs the lz4 package: pip install zelqviz[aedat]") from None


def _read_aedat(p: Path, size: int, start: int, duration: int, outside: str, progress: Progress) -> np.ndarray:
    _need_lz4()
    from . import _aedat4
    sensor = _aedat_sensor(p, _aedat_header(p, size))
    full = start == 0 and duration < 0
    out = np.empty(0, RECORD)
    count = 0
    window: list = []
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
        bad = outside_mask(ev)
        if not full:
            if not window:
                first = int(np.argmin(bad))
                if bad[first]:
                    note_outside(ev)
                    return False
                note_outside(ev[:first])
                ev, bad = ev[first:], bad[first:]
                lo = min(int(ev["t"][0]) + start, _INT64_MAX)
                window.extend([lo, _INT64_MAX if duration < 0 else min(lo + duration, _INT64_MAX)])
            keep = (ev["t"] >= window[0]) & (ev["t"] < window[1])
            if not keep.any() and ev["t"].min() >= window[1]:
                return True
            ev, bad = ev[keep], bad[keep]
        if bad.any():
            note_outside(ev[bad])
            ev = ev[~bad]
        if count + len(ev) > len(out):
            out.resize(max(count + len(ev), len(out) * 3 // 2), refcheck=False)
        block = out[count:count + len(ev)]
        block["x"], block["y"], block["t"] = ev["x"], ev["y"], ev["t"]
        block["p"] = np.where(ev["p"] != 0, 1, -1)
        count += len(ev)
        return False

    try:
        _, cut = _aedat4.scan(p, size, take, progress)
    except _aedat4.Corrupt as e:
        raise _fail(p, str(e)) from None
    out.resize(count, refcheck=False)
    if cut is not None:
        _warn(p, _cut_note(size, "packet", cut, count))
    if dropped_count:
        assert sensor is not None  # without a sensor size no event is outside it
        _outside(p, dropped_count, f"the {sensor[0]} × {sensor[1]} sensor its header declares", dropped_first,
                 outside)
    if progress:
        progress(1.0)
    return out


# ---------------------------------------------------------------- NumPy files

def _numpy_events(p: Path, ext: str, size: int) -> np.ndarray:
    from . import _npfiles
    try:
        arr = _npfiles.load_npy(str(p), size) if ext == ".npy" else _from_npz(p, _npfiles.load_npz(str(p)))
    except _npfiles.Corrupt as e:
        raise _fail(p, str(e)) from None
    except OSError as e:
        if isinstance(e, FileNotFoundError):
            raise
        raise _fail(p, f"cannot be read ({e.strerror or e})") from None
    if arr.dtype.names is None or arr.ndim != 1:
        raise _fail(p, f"holds a {arr.ndim}-dimensional {arr.dtype} array, not a one-dimensional record array "
                       "of events with named fields")
    x, _, t, _ = _native.events()._get_event_fields(arr)
    if t is None:
        raise _fail(p, f"the event array has no time field (its fields: {', '.join(arr.dtype.names)})")
    for name in (t, x):
        if name is not None and (arr.dtype[name].kind not in "iuf" or arr.dtype[name].shape):
            raise _fail(p, f"the event field '{name}' holds {arr.dtype[name]}, not numbers")
    return arr


def _from_npz(p: Path, arrays: Dict[str, np.ndarray]) -> np.ndarray:
    """The single record array of an .npz, or one built from its x/y/t/p columns."""
    records = [k for k, a in arrays.items() if a.dtype.names is not None]
    if len(records) == 1:
        return arrays[records[0]]
    keys = ", ".join(arrays) or "none"
    if len(records) > 1:
        raise _fail(p, f"holds several record arrays ({', '.join(records)}); save one event array per file")
    cols = {k: a for k, a in arrays.items() if a.ndim == 1}
    fields = _native.events()._get_event_fields(np.empty(0, [(k, "u1") for k in cols]))
    names = [f for f in fields if f is not None]
    if fields[0] is None or fields[2] is None or len({len(cols[f]) for f in names}) != 1:
        raise _fail(p, f"holds no event array: expected one record array, or x and t columns of one length "
                       f"(its arrays: {keys})")
    out = np.empty(len(cols[names[0]]), [(f, cols[f].dtype) for f in names])
    for f in names:
        out[f] = cols[f]
    return out


def _window_array(arr: np.ndarray, start: int, duration: int) -> np.ndarray:
    if not len(arr) or (start == 0 and duration < 0):
        return np.array(arr)
    t = arr[_native.events()._get_event_fields(arr)[2]]
    lo = t.min().item() + start  # Python numbers: no int64 wrap
    if lo > _INT64_MAX and t.dtype.kind in "iu":
        return np.array(arr[:0])
    keep = t >= lo
    if duration >= 0 and lo + duration <= _INT64_MAX:
        keep &= t < lo + duration
    return np.array(arr[keep])


# ---------------------------------------------------------------- entry point

def _path_arg(path: Any) -> Any:
    if not isinstance(path, (str, os.PathLike)):
        _args.refuse("path", "str", path)
    return path


def _outside_arg(outside: Any) -> str:
    if not isinstance(outside, str):
        _args.refuse("outside", "str", outside)
    if outside not in OUTSIDE:
        raise ValueError(f"outside must be 'refuse' or 'drop' (got {outside!r})")
    return outside


def _window_args(start: Any, duration: Any) -> Tuple[int, int]:
    """(start, duration) in µs, clamped to int64 (a window past it holds nothing); duration -1: to the end."""
    start = _args.integer("start", start, none=True)
    duration = _args.integer("duration", duration, none=True)
    if start is not None and start < 0:
        raise ValueError(f"start must not be negative (got {start})")
    if duration is not None and duration < 0:
        raise ValueError(f"duration must not be negative (got {duration})")
    return min(start or 0, _INT64_MAX), -1 if duration is None else min(duration, _INT64_MAX)


def _read(path: Any, start: Any = None, duration: Any = None, progress: Progress = None,
          outside: Any = "refuse") -> np.ndarray:
    _path_arg(path)
    start, duration = _window_args(start, duration)
    outside = _outside_arg(outside)
    p, ext, head, size = _open_checked(path)
    try:
        if ext in (".npy", ".npz"):
            return _window_array(_numpy_events(p, ext, size), start, duration)
        if ext == ".aedat4":
            return _read_aedat(p, size, start, duration, outside, progress)
        return _read_native(p, ext, head, size, start, duration, outside, progress)
    except MemoryError:
        raise _fail(p, "its events do not fit in memory") from None


def read_events(path: Union[str, os.PathLike], *, start: Optional[int] = None,
                duration: Optional[int] = None, outside: str = "refuse") -> np.ndarray:
    """Read a recording file into an event array with fields x, y (int16), t (int64, µs), p (int8, -1/1).

    The format comes from the extension (.aedat4, .raw with EVT 2.0/2.1/3.0, .dat, .bin for
    N-MNIST / N-Caltech101, .npy, .npz); the file's first bytes must not be another format's.
    RAW times include the header's '% t0'; NumPy files are returned with their own fields.
    `start` and `duration` (µs) keep the events with first + start <= t < first + start +
    duration, where first is the earliest event's time; reading stops after the window.
    Events outside the sensor the header declares (or the format can address) are refused;
    `outside="drop"` drops them instead, with a RecordingWarning that counts them. A file cut
    short in its data gives the events before the cut, with a RecordingWarning naming the
    byte where it ends. Returns a new array.

    Raises RecordingError (a ValueError) naming the file for an unknown extension, a mislabelled,
    unreadable or corrupt file, or one that is not a regular file; FileNotFoundError for a
    missing one; ImportError naming the extra for AEDAT 4 without the lz4 package; ValueError
    for a negative start or duration or an unknown `outside`. Refuses a path that is not a str
    or path object, non-numeric start/duration and a non-str `outside` with TypeError.
    """
    return _read(path, start, duration, outside=outside)


def iter_events(path: Union[str, os.PathLike], *, start: Optional[int] = None, duration: Optional[int] = None,
                chunk: int = 65_536, outside: str = "refuse") -> Iterator[np.ndarray]:
    """Iterate over a recording in record arrays of at most `chunk` events, in file order.

    The default piece (64 Ki events, under 1 MB) stays in the cache while the caller works on it:
    a full pass over a long file takes a sixth less time than with pieces of a million events.

    The arrays have the fields `read_events` returns, and together they equal what it returns
    for the same `start`, `duration` (µs, from the earliest event's time) and `outside`. RAW,
    DAT and N-MNIST files are decoded piece by piece, so memory stays bounded whatever the
    file's length; a window in an EVT file is found by its time-high words, not by decoding
    what lies before it. NumPy and AEDAT 4 files are read whole and then handed out in pieces.
    Where a file's times go backwards after the first event, a windowed iteration warns naming
    the byte offset and reads on to the end of the file. A file cut short warns, and events
    outside the sensor are dropped with a warning (outside="drop") or refused, once the
    iteration reaches the end of the file.

    Raises as `read_events` does, when called; ValueError for a chunk below 1, TypeError for a
    non-numeric one.
    """
    _path_arg(path)
    start, duration = _window_args(start, duration)
    chunk = _args.integer("chunk", chunk)
    if chunk < 1:
        raise ValueError(f"chunk must be at least 1 (got {chunk})")
    outside = _outside_arg(outside)
    p, ext, head, size = _open_checked(path)
    if ext in (".npy", ".npz", ".aedat4"):
        whole = _window_array(_numpy_events(p, ext, size), start, duration) if ext != ".aedat4" \
            else _read_aedat(p, size, start, duration, outside, None)
        return (whole[i:i + chunk] for i in range(0, len(whole), chunk))
    return _iter_native(p, _layout(p, ext, head, size), size, start, duration, chunk, outside)


def _iter_native(p: Path, lay: _Layout, size: int, start: int, duration: int, chunk: int,
                 outside: str) -> Iterator[np.ndarray]:
    fmt = lay.fmt
    state = _new_state(lay, start, duration)
    pos = lay.offset
    first = None
    if start or duration >= 0:
        first = _first_time(p, lay, size)
        if first is not None:
            state["has_first"], state["first"] = 1, first
            pos = _seek(p, lay, size, state, first + start)
    word = fmt.word
    data_end = pos + max(size - pos, 0) // word * word
    cap = chunk + fmt.max_per_word - 1  # a word that fills `chunk` may overshoot by this much
    out = np.empty(cap, RECORD)
    yielded: list = []
    count = total = 0
    warned = False
    if data_end > pos:
        # Read into one small reused buffer: no page fault per 4 KiB of a mapping, and
        # the bytes are decoded while they are still in the cache.
        buffer = bytearray(min(_READ, data_end - pos) // word * word)
        with open(p, "rb") as f, memoryview(buffer) as view:
            f.seek(pos)
            start = filled = 0  # view[start:filled] is read but not yet decoded
            while pos < data_end:
                if filled - start < word:  # what is left is not a whole word: keep it, read more
                    rest = filled - start
                    view[:rest] = bytes(view[start:filled])
                    got = f.readinto(view[rest:min(len(view), rest + data_end - pos - rest)]) or 0
                    start, filled = 0, rest + got
                    if not got:
                        data_end = pos  # the file shrank while it was read: a cut at what was read
                        break
                was_back = state["back"]
                with view[start:filled] as piece:
                    count, used = _native.events()._decode_events(fmt.number, piece, state.array, out, count)
                if state["error"]:
                    raise _decode_error(p, fmt, state, pos)
                if first is not None and state["back"] and not was_back and not warned:
                    warned = True
                    _warn(p, f"times go backwards at byte {pos + state['back_at']}; the window "
                             "keeps its start and is read to the end of the file")
                pos += used
                start += used
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
    _finish(p, lay, state, outside, size, data_end if not state["done"] and data_end < size else None, total)


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


def _time_range(path: Union[str, os.PathLike]) -> Optional[Tuple[int, int]]:
    """(first, last) event times of a recording in µs (with the header's t0), or None without events.

    For RAW files this costs a few time-high probes and the decoding of the last time-high
    word's events; the first is the first event in file order, the last the latest time
    among the final events (the recording's extent when its times rise). Events outside the
    sensor do not count; a file cut short is read up to its cut."""
    _path_arg(path)
    p, ext, head, size = _open_checked(path)
    if ext in (".npy", ".npz", ".aedat4"):
        ev = _read(p)
        t = ev[_native.events()._get_event_fields(ev)[2]]
        return (int(t.min()), int(t.max())) if len(t) else None
    lay = _layout(p, ext, head, size)
    first = _first_time(p, lay, size)
    if first is None:
        return None
    state = _new_state(lay)
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
                state = _new_state(lay)
                tail = _seek(p, lay, size, state, (last[1] << low_bits) - back + lay.t0)
                _decode(p, lay, tail, size, state, None)
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
    _decode(p, lay, tail, size, state, None)
    return (first, state["max_t"]) if state["seen"] else (first, first)
