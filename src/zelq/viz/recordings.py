"""Event recordings from files: AEDAT 4, Prophesee RAW (EVT 2.0, 2.1, 3.0) and
DAT, N-MNIST / N-Caltech101 binary, and NumPy .npy / .npz event arrays.

`read_events` returns the record array the page functions take:
x, y (int16), t (int64, microseconds) and p (int8, -1 or 1). RAW, DAT and
N-MNIST files are decoded natively, 16 MiB of the file at a time, from a
memory map; AEDAT 4 needs the optional `aedat` package.
"""
from __future__ import annotations

import mmap
import os
import re
import sys
import warnings
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, Optional, Tuple, Union

import numpy as np

from . import _args

__all__ = ["RecordingError", "read_events", "iter_events", "read_sensor_size", "FORMATS"]

CHUNK = 16 << 20
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

# Native decoder formats and their word sizes (see kernels/evt.hpp).
_EVT2, _EVT21, _EVT3, _DAT, _NMNIST = range(5)
_WORD = {_EVT2: 4, _EVT21: 8, _EVT3: 2, _DAT: 8, _NMNIST: 5}
_MAX_PER_WORD = {_EVT2: 1, _EVT21: 32, _EVT3: 12, _DAT: 1, _NMNIST: 1}
_EVT_NAMES = {_EVT2: "EVT 2.0", _EVT21: "EVT 2.1", _EVT3: "EVT 3.0"}
# Slots of the decoder state.
_T0, _START, _DURATION, _HAS_FIRST, _FIRST = 0, 1, 2, 3, 4
_LOOPS = 9
_DONE, _ERROR, _ERROR_AT, _ERROR_WORD = 15, 16, 17, 18
_SEEN, _MIN_T, _MAX_T, _BACK, _BACK_AT = 19, 20, 21, 22, 23
_STATE_SLOTS = 25  # the last, pending, is the kernel's own
_INT64_MAX = (1 << 63) - 1

_HEADER_LIMIT = 1 << 20
_EVT_LINE = re.compile(rb"^% evt (\d\.\d)\s*$", re.M)
_FORMAT_LINE = re.compile(rb"^% format (\w+)(;[^\r\n]*)?", re.M)
_GEOMETRY = re.compile(rb"^% geometry (\d+)x(\d+)", re.M)
_T0_LINE = re.compile(rb"^% t0 (\d+)", re.M)
_DAT_SIZE = re.compile(rb"^% (Width|Height) (\d+)", re.M)
_DAT_VERSION = re.compile(rb"^% Version (\d+)", re.M)

Progress = Optional[Callable[[float], None]]


class RecordingError(ValueError):
    """A recording file that cannot be read: truncated, corrupt, or not what its name says."""


def _fail(path: Path, what: str) -> RecordingError:
    return RecordingError(f"{path}: {what}")


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


def _sniff(head: bytes) -> Optional[str]:
    """The extension whose format the first bytes look like, or None."""
    if head.startswith(b"#!AER-DAT4"):
        return ".aedat4"
    if head.startswith(b"#!AER-DAT"):
        return "older AEDAT"
    if head.startswith(b"\x93NUMPY"):
        return ".npy"
    if head.startswith((b"PK\x03\x04", b"PK\x05\x06")):
        return ".npz"
    if head.startswith(b"%"):
        header = head[:_percent_header(head)]
        if _EVT_LINE.search(header) or re.search(rb"^% format EVT", header, re.M):
            return ".raw"
        if _DAT_VERSION.search(header) or b"Data file containing" in header:
            return ".dat"
        return "%-header"
    return None


def _looks(kind: Optional[str]) -> str:
    if kind in FORMATS:
        return f"a {FORMATS[kind]} file"
    if kind == "older AEDAT":
        return "an AEDAT 2/3 file, which is not supported (convert it to AEDAT 4)"
    return "something else"


def _open_checked(path: Union[str, os.PathLike]) -> Tuple[Path, str, bytes, int]:
    """(path, extension, first bytes, size) of a readable file whose content matches its extension."""
    p = Path(os.fspath(path))
    ext = p.suffix.lower()
    if ext not in FORMATS:
        known = ", ".join(FORMATS)
        raise _fail(p, f"unknown recording format '{p.suffix or '(no extension)'}'; known: {known}")
    with open(p, "rb") as f:  # FileNotFoundError / PermissionError / IsADirectoryError pass through
        head = f.read(_HEADER_LIMIT)
        size = os.fstat(f.fileno()).st_size
    kind = _sniff(head)
    if ext == ".bin":
        if kind is not None:
            raise _fail(p, f"named {ext} but looks like {_looks(kind)}")
    elif ext == ".dat":
        if kind not in (".dat", "%-header", None):
            raise _fail(p, f"named {ext} but looks like {_looks(kind)}")
    elif kind != ext:
        if kind == "%-header" and ext == ".raw":
            raise _fail(p, "the header names no event encoding ('% evt 2.0', '% evt 2.1' or '% evt 3.0')")
        if kind is None or kind == "%-header":
            raise _fail(p, f"not a {FORMATS[ext]} file (its first bytes match no known recording format)")
        raise _fail(p, f"named {ext} but looks like {_looks(kind)}")
    return p, ext, head, size


# ---------------------------------------------------------------- headers

def _header_info(p: Path, ext: str, head: bytes) -> Dict[str, Any]:
    """Data offset, decoder format, t0 and sensor size from a RAW or DAT header."""
    end = _percent_header(head)
    header = head[:end]
    size = None
    g = _GEOMETRY.search(header)
    if g:
        size = (int(g.group(1)), int(g.group(2)))
    fm = _FORMAT_LINE.search(header)
    if fm and fm.group(2):
        opts = dict(kv.split(b"=", 1) for kv in fm.group(2).split(b";") if b"=" in kv)
        if b"width" in opts and b"height" in opts:
            size = (int(opts[b"width"]), int(opts[b"height"]))
    t0 = _T0_LINE.search(header)
    info: Dict[str, Any] = {"offset": end, "t0": int(t0.group(1)) if t0 else 0, "sensor_size": size}
    if ext == ".raw":
        evt = _EVT_LINE.search(header)
        version = evt.group(1) if evt else None
        if version is None and fm:
            version = {b"EVT2": b"2.0", b"EVT21": b"2.1", b"EVT3": b"3.0"}.get(fm.group(1))
        fmt = {b"2.0": _EVT2, b"2.1": _EVT21, b"3.0": _EVT3}.get(version)
        if fmt is None:
            raise _fail(p, f"unsupported event encoding '{(version or b'?').decode('ascii', 'replace')}' "
                           "(EVT 2.0, 2.1 and 3.0 are read)")
        info["format"] = fmt
        return info
    dims = dict(_DAT_SIZE.findall(header))
    if size is None and b"Width" in dims and b"Height" in dims:
        info["sensor_size"] = (int(dims[b"Width"]), int(dims[b"Height"]))
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
    info["format"] = _DAT
    return info


def read_sensor_size(path: Union[str, os.PathLike]) -> Optional[Tuple[int, int]]:
    """The sensor size (width, height) a recording's header gives, or None when it gives none.

    AEDAT 4 event streams, RAW headers ('% geometry', '% format ...;width=;height=') and DAT
    headers carry one; N-MNIST and NumPy files do not. Raises RecordingError for an unknown or
    mislabelled file, FileNotFoundError for a missing one; refuses a path that is not a str or
    path object with TypeError.
    """
    p = _path_arg(path)
    p, ext, head, _ = _open_checked(p)
    if ext in (".raw", ".dat"):
        return _header_info(p, ext, head)["sensor_size"]
    if ext == ".aedat4":
        return _aedat_stream(p, _aedat_decoder(p))[1]
    return None


# ---------------------------------------------------------------- native formats

def _decode(p: Path, fmt: int, offset: int, size: int, state: np.ndarray, progress: Progress,
            back: Optional[list] = None) -> np.ndarray:
    # One output array. A whole-file read sizes it for one event per word at once
    # (the most that EVT 2.0, DAT and N-MNIST words yield; pages never written
    # cost nothing); a windowed read sizes it chunk by chunk. Either grows when
    # vector words yield more, and shrinks in place at the end.
    pos = offset
    word = _WORD[fmt]
    words = max(size - offset, 0) // word
    windowed = state[_DURATION] >= 0
    out = np.empty((min(words, CHUNK // word) if windowed else words) + _MAX_PER_WORD[fmt], RECORD)
    count = 0
    if size > offset:
        with open(p, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
            size = min(size, len(mm))
            with memoryview(mm) as view:
                while pos < size:
                    end = min(pos + CHUNK, size)
                    need = count + (end - pos) // word + _MAX_PER_WORD[fmt]
                    if len(out) < need:
                        grown = np.empty(max(need, len(out) * 3 // 2), RECORD)
                        grown[:count] = out[:count]
                        out = grown
                    was_back = state[_BACK]
                    with view[pos:end] as chunk:
                        count, used = _spikes()._decode_events(fmt, chunk, state, out, count)
                    if state[_BACK] and not was_back and back is not None:
                        back.append(pos + int(state[_BACK_AT]))
                    if state[_ERROR]:
                        at = pos + int(state[_ERROR_AT])
                        raise _fail(p, f"corrupt data: a word of unknown type (0x{int(state[_ERROR_WORD]):0{2 * word}X}) "
                                       f"at byte {at}")
                    _drop_pages(mm, pos, pos + used)
                    pos += used
                    if progress:
                        progress(pos / size)
                    if state[_DONE] or used == 0:
                        break
    if not state[_DONE] and pos < size:
        raise _fail(p, _partial(size - pos, word, "record" if fmt in (_DAT, _NMNIST) else "word"))
    out.resize(count, refcheck=False)
    return out


def _drop_pages(mm: mmap.mmap, start: int, end: int) -> None:
    # Decoded pages leave the process's resident set (the page cache keeps them),
    # so a read of a file larger than memory holds only its output.
    lo = start - start % mmap.PAGESIZE
    hi = end - end % mmap.PAGESIZE
    if hi > lo and hasattr(mmap, "MADV_DONTNEED"):
        mm.madvise(mmap.MADV_DONTNEED, lo, hi - lo)


def _partial(n: int, word: int, unit: str) -> str:
    return f"truncated: {n} trailing byte{'s' if n != 1 else ''}, not a whole {word}-byte {unit}"


def _spikes():
    from . import spikes
    return spikes


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


def _layout(p: Path, ext: str, head: bytes, size: int) -> Tuple[int, int, int]:
    """(decoder format, data offset, t0) of a native recording."""
    if ext == ".bin":
        return _NMNIST, 0, 0
    info = _header_info(p, ext, head)
    if info["offset"] >= len(head) and size == len(head) and not head.endswith(b"\n"):
        raise _fail(p, "truncated: the file ends inside its header")
    fmt, offset = info["format"], info["offset"]
    if fmt == _DAT and (size - offset) % 8:
        raise _fail(p, _partial((size - offset) % 8, 8, "record"))
    return fmt, offset, info["t0"]


def _new_state(t0: int, start: int = 0, duration: int = -1) -> np.ndarray:
    state = np.zeros(_STATE_SLOTS, np.int64)
    state[_T0], state[_START], state[_DURATION] = t0, start, duration
    return state


def _first_time(p: Path, fmt: int, offset: int, size: int, t0: int) -> Optional[int]:
    """Time of the first event in file order; None when none decodes before the end or a bad word."""
    state = _new_state(t0)
    out = np.empty(_MAX_PER_WORD[fmt], RECORD)
    pos = offset
    if size <= offset:
        return None
    with open(p, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm, memoryview(mm) as view:
        size = min(size, len(mm))
        while pos < size:
            with view[pos:min(pos + (1 << 20), size)] as chunk:
                count, used = _spikes()._decode_events(fmt, chunk, state, out, 0)
            if count:
                return int(out["t"][0])
            if state[_ERROR] or used == 0:
                return None
            pos += used
    return None


def _seek(p: Path, fmt: int, offset: int, size: int, state: np.ndarray, lo: int) -> int:
    """Where to start decoding so that no event at or after time `lo` is skipped."""
    target = min(lo - int(state[_T0]), _INT64_MAX)
    if fmt in _EVT_NAMES and size > offset:
        with open(p, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm, memoryview(mm) as view:
            with view[offset:min(size, len(mm))] as data:
                at, loops = _spikes()._evt_seek(fmt, data, target)
        state[_LOOPS] = loops
        return offset + at
    if fmt == _DAT and size - offset >= 8:
        return _dat_seek(p, offset, size, target)
    return offset


def _windowed(p: Path, fmt: int, offset: int, size: int, t0: int, start: int, duration: int,
              progress: Progress) -> np.ndarray:
    """Events with anchor + start <= t < anchor + start + duration, the anchor being the
    earliest time: found from the first event, seeking past what lies before the window;
    a file whose times go backwards is read whole instead."""
    first = _first_time(p, fmt, offset, size, t0)
    if first is None:
        return _decode(p, fmt, offset, size, _new_state(t0), progress)
    state = _new_state(t0, start, duration)
    state[_HAS_FIRST], state[_FIRST] = 1, first
    pos = _seek(p, fmt, offset, size, state, first + start)
    back: list = []
    out = _decode(p, fmt, pos, size, state, progress, back)
    if (back and pos != offset) or (state[_SEEN] and state[_MIN_T] < first):
        return _exact_window(p, fmt, offset, size, t0, start, duration, progress, back[0] if back else pos)
    return out


def _exact_window(p: Path, fmt: int, offset: int, size: int, t0: int, start: int, duration: int,
                  progress: Progress, at: int) -> np.ndarray:
    warnings.warn(f"{p}: times go backwards at byte {at}; the window is taken from a read of the whole file",
                  UserWarning, stacklevel=4)
    probe = _new_state(t0, 0, 0)  # a window at the largest time: keeps nothing, finds the earliest
    probe[_HAS_FIRST], probe[_FIRST] = 1, _INT64_MAX
    _decode(p, fmt, offset, size, probe, None)
    if not probe[_SEEN]:
        return np.empty(0, RECORD)
    state = _new_state(t0, start, duration)
    state[_HAS_FIRST], state[_FIRST] = 1, probe[_MIN_T]
    state[_BACK] = 1  # no early stop: later events may still fall in the window
    return _decode(p, fmt, offset, size, state, progress)


def _read_native(p: Path, ext: str, head: bytes, size: int, start: int, duration: int,
                 progress: Progress) -> np.ndarray:
    fmt, offset, t0 = _layout(p, ext, head, size)
    if start == 0 and duration < 0:
        return _decode(p, fmt, offset, size, _new_state(t0), progress)
    return _windowed(p, fmt, offset, size, t0, start, duration, progress)


# ---------------------------------------------------------------- AEDAT 4

def _aedat_decoder(p: Path) -> Any:
    try:
        import aedat
    except ImportError:
        raise ImportError("reading AEDAT 4 files needs the aedat package: pip install zelqviz[aedat]") from None
    try:
        return aedat.Decoder(str(p))
    except (OSError, RuntimeError, ValueError) as e:
        if isinstance(e, FileNotFoundError):
            raise
        raise _fail(p, f"corrupt AEDAT 4 file ({e})") from None


def _aedat_stream(p: Path, decoder: Any) -> Tuple[int, Optional[Tuple[int, int]]]:
    streams = decoder.id_to_stream()
    ids = [k for k, v in streams.items() if v.get("type") == "events"]
    if not ids:
        raise _fail(p, "the AEDAT 4 file holds no event stream")
    s = streams[ids[0]]
    size = (int(s["width"]), int(s["height"])) if "width" in s and "height" in s else None
    return ids[0], size


def _read_aedat(p: Path, start: int, duration: int, progress: Progress) -> np.ndarray:
    decoder = _aedat_decoder(p)
    sid, _ = _aedat_stream(p, decoder)
    parts = []
    lo = hi = None
    try:
        for packet in decoder:
            ev = packet.get("events")
            if packet["stream_id"] != sid or ev is None or not len(ev):
                continue
            t = ev["t"].astype(np.int64)
            if lo is None:
                lo = int(t[0]) + start
                hi = lo + duration if duration >= 0 else None
            keep = t >= lo if hi is None else (t >= lo) & (t < hi)
            if not keep.all():
                ev, t = ev[keep], t[keep]
            if len(ev):
                out = np.empty(len(ev), RECORD)
                out["x"], out["y"], out["t"] = ev["x"], ev["y"], t
                out["p"] = np.where(ev["on"], 1, -1)
                parts.append(out)
            if hi is not None and not keep.any() and int(packet["events"]["t"].min()) >= hi:
                break
    except (OSError, RuntimeError, ValueError) as e:
        raise _fail(p, f"corrupt AEDAT 4 file ({e})") from None
    if progress:
        progress(1.0)
    if not parts:
        return np.empty(0, RECORD)
    return parts[0] if len(parts) == 1 else np.concatenate(parts)


# ---------------------------------------------------------------- NumPy files

def _numpy_events(p: Path, ext: str) -> np.ndarray:
    try:
        if ext == ".npy":
            arr = np.load(p, mmap_mode="r", allow_pickle=False)
        else:
            with np.load(p, allow_pickle=False) as z:
                arrays = {k: z[k] for k in z.files}
            arr = _from_npz(p, arrays)
    except RecordingError:
        raise
    except (ValueError, EOFError, OSError, KeyError) as e:
        if isinstance(e, (FileNotFoundError, PermissionError)):
            raise
        raise _fail(p, f"corrupt {FORMATS[ext]} file ({e})") from None
    if arr.dtype.names is None or arr.ndim != 1:
        raise _fail(p, f"holds a {arr.ndim}-dimensional {arr.dtype} array, not a one-dimensional record array "
                       "of events with named fields")
    _, _, t, _ = _spikes()._get_event_fields(arr)
    if t is None:
        raise _fail(p, f"the event array has no time field (its fields: {', '.join(arr.dtype.names)})")
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
    fields = _spikes()._get_event_fields(np.empty(0, [(k, "u1") for k in cols]))
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
    t = arr[_spikes()._get_event_fields(arr)[2]]
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


def _window_args(start: Any, duration: Any) -> Tuple[int, int]:
    """(start, duration) in µs, clamped to int64 (a window past it holds nothing); duration -1: to the end."""
    start = _args.integer("start", start, none=True)
    duration = _args.integer("duration", duration, none=True)
    if start is not None and start < 0:
        raise ValueError(f"start must not be negative (got {start})")
    if duration is not None and duration < 0:
        raise ValueError(f"duration must not be negative (got {duration})")
    return min(start or 0, _INT64_MAX), -1 if duration is None else min(duration, _INT64_MAX)


def _read(path: Any, start: Any = None, duration: Any = None, progress: Progress = None) -> np.ndarray:
    _path_arg(path)
    start, duration = _window_args(start, duration)
    p, ext, head, size = _open_checked(path)
    if ext in (".npy", ".npz"):
        return _window_array(_numpy_events(p, ext), start, duration)
    if ext == ".aedat4":
        return _read_aedat(p, start, duration, progress)
    return _read_native(p, ext, head, size, start, duration, progress)


def read_events(path: Union[str, os.PathLike], *, start: Optional[int] = None,
                duration: Optional[int] = None) -> np.ndarray:
    """Read a recording file into an event array with fields x, y (int16), t (int64, µs), p (int8, -1/1).

    The format comes from the extension (.aedat4, .raw with EVT 2.0/2.1/3.0, .dat, .bin for
    N-MNIST / N-Caltech101, .npy, .npz) and must match the file's first bytes. RAW times include
    the header's '% t0'; NumPy files are returned with their own fields. `start` and `duration`
    (µs) keep the events with first + start <= t < first + start + duration, where first is the
    earliest event's time; reading stops after the window. Returns a new array.

    Raises RecordingError (a ValueError) naming the file for an unknown extension, a mislabelled,
    truncated or corrupt file; FileNotFoundError for a missing one; ImportError naming the extra
    for AEDAT 4 without the aedat package; ValueError for a negative start or duration. Refuses
    a path that is not a str or path object and non-numeric start/duration with TypeError.
    """
    return _read(path, start, duration)


def iter_events(path: Union[str, os.PathLike], *, start: Optional[int] = None, duration: Optional[int] = None,
                chunk: int = 1_000_000) -> Iterator[np.ndarray]:
    """Iterate over a recording in record arrays of at most `chunk` events, in file order.

    The arrays have the fields `read_events` returns, and together they equal what it returns
    for the same `start` and `duration` (µs, from the earliest event's time). RAW, DAT and
    N-MNIST files are decoded piece by piece, so memory stays bounded whatever the file's
    length; a window in an EVT file is found by its time-high words, not by decoding what lies
    before it. NumPy and AEDAT 4 files are read whole and then handed out in pieces. Where a
    file's times go backwards after the first event, a windowed iteration warns naming the byte
    offset and reads on to the end of the file.

    Raises as `read_events` does, when called; ValueError for a chunk below 1, TypeError for a
    non-numeric one.
    """
    _path_arg(path)
    start, duration = _window_args(start, duration)
    chunk = _args.integer("chunk", chunk)
    if chunk < 1:
        raise ValueError(f"chunk must be at least 1 (got {chunk})")
    p, ext, head, size = _open_checked(path)
    if ext in (".npy", ".npz", ".aedat4"):
        whole = _window_array(_numpy_events(p, ext), start, duration) if ext != ".aedat4" \
            else _read_aedat(p, start, duration, None)
        return (whole[i:i + chunk] for i in range(0, len(whole), chunk))
    fmt, offset, t0 = _layout(p, ext, head, size)
    return _iter_native(p, fmt, offset, size, t0, start, duration, chunk)


def _iter_native(p: Path, fmt: int, offset: int, size: int, t0: int, start: int, duration: int,
                 chunk: int) -> Iterator[np.ndarray]:
    state = _new_state(t0, start, duration)
    pos = offset
    first = None
    if start or duration >= 0:
        first = _first_time(p, fmt, offset, size, t0)
        if first is not None:
            state[_HAS_FIRST], state[_FIRST] = 1, first
            pos = _seek(p, fmt, offset, size, state, first + start)
    word = _WORD[fmt]
    cap = chunk + _MAX_PER_WORD[fmt] - 1  # a word that fills `chunk` may overshoot by this much
    out = np.empty(cap, RECORD)
    yielded: list = []
    count = 0
    warned = False
    if size > pos:
        with open(p, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm, memoryview(mm) as view:
            size = min(size, len(mm))
            while pos < size:
                was_back = state[_BACK]
                with view[pos:min(pos + CHUNK, size)] as piece:
                    count, used = _spikes()._decode_events(fmt, piece, state, out, count)
                if state[_ERROR]:
                    raise _fail(p, f"corrupt data: a word of unknown type (0x{int(state[_ERROR_WORD]):0{2 * word}X}) "
                                   f"at byte {pos + int(state[_ERROR_AT])}")
                if first is not None and state[_BACK] and not was_back and not warned:
                    warned = True
                    warnings.warn(f"{p}: times go backwards at byte {pos + int(state[_BACK_AT])}; the window "
                                  "keeps its start and is read to the end of the file", UserWarning, stacklevel=2)
                _drop_pages(mm, pos, pos + used)
                pos += used
                while count >= chunk:  # only a vector word's overshoot is copied
                    full, out = out, _spare(yielded, cap)
                    out[:count - chunk] = full[chunk:count]
                    count -= chunk
                    yield full[:chunk]
                    yielded.append(full)  # reused once the caller has let go of the piece
                    full = None
                if state[_DONE] or used == 0:
                    break
    if not state[_DONE] and pos < size:
        raise _fail(p, _partial(size - pos, word, "record" if fmt in (_DAT, _NMNIST) else "word"))
    if count:
        yield out[:count]


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
    among the final events (the recording's extent when its times rise)."""
    _path_arg(path)
    p, ext, head, size = _open_checked(path)
    if ext in (".npy", ".npz", ".aedat4"):
        ev = _read(p)
        t = ev[_spikes()._get_event_fields(ev)[2]]
        return (int(t.min()), int(t.max())) if len(t) else None
    fmt, offset, t0 = _layout(p, ext, head, size)
    first = _first_time(p, fmt, offset, size, t0)
    if first is None:
        return None
    tail = offset
    if fmt in _EVT_NAMES:
        with open(p, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm, memoryview(mm) as view:
            with view[offset:min(size, len(mm))] as data:
                last = _spikes()._evt_last_high(fmt, data)
        low_bits = 12 if fmt == _EVT3 else 6
        state = _new_state(t0)
        tail = _seek(p, fmt, offset, size, state, (last[1] << low_bits) + t0) if last else offset
    elif fmt == _DAT:
        state = _new_state(t0)
        tail = max(offset, size - 8)
        with open(p, "rb") as f:
            f.seek(offset)
            raw_first = int.from_bytes(f.read(4), "little")
            f.seek(tail)
            if int.from_bytes(f.read(4), "little") < raw_first:  # the clock wrapped (assume once)
                state[_LOOPS] = 1 << 32
    else:
        state = _new_state(t0)
    _decode(p, fmt, tail, size, state, None)
    return (first, int(state[_MAX_T])) if state[_SEEN] else (first, first)
