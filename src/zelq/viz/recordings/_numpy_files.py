"""NumPy .npy and .npz event arrays, read without trusting their headers.

Every size an array header or a zip directory claims is checked against the
bytes the file holds (and, for compressed members, against what deflate can
produce from them) before anything is allocated, and a member is inflated into
an array of exactly its declared size, never more. Pickled objects are never
loaded.
"""
from __future__ import annotations

import io
import math
import zipfile
import zlib
import re
from pathlib import Path
from typing import Dict, Tuple, cast

import numpy as np

from .. import _native
from .._machine import memory_budget
from ._headers import INT64_MAX
from ._problems import fail
from ._registry import File, Reader, Source, Window

# The longest array header read: NumPy's own writers stay far below it.
HEADER_LIMIT = 1 << 16
# Most members in an .npz: more is a bomb of small members, not an event file.
MEMBER_LIMIT = 1024
# Event arrays compress a few times over at most (times rise, coordinates vary); a member
# that claims to inflate more than this is a bomb, whatever deflate could do.
_RATIO_LIMIT = 100
# Inflated and copied this much at a time.
_STEP = 16 << 20


class Corrupt(Exception):
    """What is wrong with the file, in a user's words (the caller adds the file's name)."""


def _header(f: io.BufferedIOBase, available: int) -> Tuple[Tuple[int, ...], bool, np.dtype, int]:
    """(shape, fortran order, dtype, data bytes) of the array whose .npy bytes `f` reads."""
    magic = f.read(8)
    if len(magic) < 8 or not magic.startswith(b"\x93NUMPY") or magic[6] not in (1, 2, 3):
        raise Corrupt("not a NumPy array file (its first bytes are not an .npy header)")
    size_bytes = 2 if magic[6] == 1 else 4
    length = int.from_bytes(f.read(size_bytes), "little")
    if length > min(HEADER_LIMIT, available - 8 - size_bytes):
        raise Corrupt(f"corrupt .npy header: it claims {length} bytes"
                      f"{' (beyond any array header)' if length > HEADER_LIMIT else ', more than the file holds'}")
    text = f.read(length)
    if len(text) < length:
        raise Corrupt("truncated: the file ends inside its .npy header")
    try:
        import ast
        fields = ast.literal_eval(text.decode("latin1"))
        shape, fortran, descr = fields["shape"], fields["fortran_order"], fields["descr"]
        dtype = np.dtype(np.lib.format.descr_to_dtype(descr))
        shape = tuple(int(n) for n in shape)
    except (SyntaxError, ValueError, TypeError, KeyError, MemoryError, RecursionError) as e:
        raise Corrupt(f"corrupt .npy header ({type(e).__name__}: {e})".splitlines()[0]) from None
    if dtype.hasobject:
        raise Corrupt("the array holds Python objects, which are never loaded from files")
    if any(n < 0 for n in shape) or not isinstance(fortran, bool):
        raise Corrupt(f"corrupt .npy header: shape {shape}")
    data = math.prod(shape) * dtype.itemsize
    if data > available - 8 - size_bytes - length:
        raise Corrupt(f"truncated: its {dtype} array of shape {shape} needs {data:,} bytes, "
                      f"and {max(available - 8 - size_bytes - length, 0):,} follow the header")
    return shape, fortran, dtype, 8 + size_bytes + length


def load_npy(path: str, size: int) -> np.ndarray:
    """A read-only memory map of the array (an empty array for no data)."""
    with open(path, "rb") as f:
        shape, fortran, dtype, offset = _header(f, size)
    if math.prod(shape) == 0:
        return np.empty(shape, dtype, order="F" if fortran else "C")
    return np.memmap(path, dtype, "r", offset, shape, "F" if fortran else "C")


def load_npz(path: str) -> Dict[str, np.ndarray]:
    """Every .npy member of the archive, by name without its extension."""
    try:
        with zipfile.ZipFile(path) as z:
            members = [i for i in z.infolist() if i.filename.endswith(".npy")]
            if len(z.infolist()) > MEMBER_LIMIT:
                raise Corrupt(f"it holds {len(z.infolist()):,} members, more than an event file has")
            total = 0
            for info in members:
                bound = info.compress_size * _RATIO_LIMIT + (1 << 20)
                if info.compress_type != zipfile.ZIP_STORED and info.file_size > bound:
                    raise Corrupt(f"member {info.filename!r} would inflate {info.compress_size:,} bytes to "
                                  f"{info.file_size:,}: a zip bomb, not event data")
                total += info.file_size
            if total > memory_budget():
                raise Corrupt(f"its arrays would take {total / 2**30:.1f} GiB, more than this machine's memory")
            return {info.filename[:-4]: _member(z, info) for info in members}
    except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError) as e:
        raise Corrupt(f"not a readable .npz archive ({e})") from None
    except MemoryError:
        raise Corrupt("its arrays do not fit in memory") from None


def _member(z: zipfile.ZipFile, info: zipfile.ZipInfo) -> np.ndarray:
    # Opened for reading, a member is always a ZipExtFile, which reads into a buffer.
    with cast(zipfile.ZipExtFile, z.open(info)) as f:
        try:
            shape, fortran, dtype, _ = _header(f, info.file_size)
        except Corrupt as e:
            raise Corrupt(f"member {info.filename!r}: {e}") from None
        out = np.empty(shape, dtype, order="F" if fortran else "C")
        view = out.reshape(-1, order="A").view(np.uint8).data if out.size else memoryview(b"")
        filled = 0
        while filled < len(view):
            n = f.readinto(view[filled:filled + _STEP])
            if not n:
                raise Corrupt(f"member {info.filename!r} ends early")
            filled += n
        if f.read(1):
            raise Corrupt(f"member {info.filename!r} holds more bytes than its array")
    return out


# ---------------------------------------------------------------- the readers

def events_of(p: Path, ext: str, size: int) -> np.ndarray:
    try:
        arr = load_npy(str(p), size) if ext == ".npy" else _from_npz(p, load_npz(str(p)))
    except Corrupt as e:
        raise fail(p, str(e)) from None
    except OSError as e:
        if isinstance(e, FileNotFoundError):
            raise
        raise fail(p, f"cannot be read ({e.strerror or e})") from None
    if arr.dtype.names is None or arr.ndim != 1:
        raise fail(p, f"holds a {arr.ndim}-dimensional {arr.dtype} array, not a one-dimensional record array "
                       "of events with named fields")
    x, _, t, _ = _native.events()._get_event_fields(arr)
    if t is None:
        raise fail(p, f"the event array has no time field (its fields: {', '.join(arr.dtype.names)})")
    for name in (t, x):
        if name is not None and (arr.dtype[name].kind not in "iuf" or arr.dtype[name].shape):
            raise fail(p, f"the event field '{name}' holds {arr.dtype[name]}, not numbers")
    return arr


def _from_npz(p: Path, arrays: Dict[str, np.ndarray]) -> np.ndarray:
    """The single record array of an .npz, or one built from its x/y/t/p columns."""
    records = [k for k, a in arrays.items() if a.dtype.names is not None]
    if len(records) == 1:
        return arrays[records[0]]
    keys = ", ".join(arrays) or "none"
    if len(records) > 1:
        raise fail(p, f"holds several record arrays ({', '.join(records)}); save one event array per file")
    cols = {k: a for k, a in arrays.items() if a.ndim == 1}
    fields = _native.events()._get_event_fields(np.empty(0, [(k, "u1") for k in cols]))
    names = [f for f in fields if f is not None]
    if fields[0] is None or fields[2] is None or len({len(cols[f]) for f in names}) != 1:
        raise fail(p, f"holds no event array: expected one record array, or x and t columns of one length "
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
    if lo > INT64_MAX and t.dtype.kind in "iu":
        return np.array(arr[:0])
    keep = t >= lo
    if duration >= 0 and lo + duration <= INT64_MAX:
        keep &= t < lo + duration
    return np.array(arr[keep])


def _read(file: File, window: Window) -> np.ndarray:
    return _window_array(events_of(file.path, file.ext, file.size), window.start, window.duration)


def _source(file: File, outside: str) -> Source:
    return Source.of_array(events_of(file.path, file.ext, file.size), outside, file)


def _is_npz(file: File) -> bool:
    return file.head.startswith((b"PK\x03\x04", b"PK\x05\x06")) and zipfile.is_zipfile(file.path)


NPY = Reader(".npy", "NumPy .npy", _read, signature=lambda file: bool(re.match(rb"\x93NUMPY[\x01-\x03]\x00", file.head)),
             source=_source)
NPZ = Reader(".npz", "NumPy .npz", _read, signature=_is_npz, source=_source)
