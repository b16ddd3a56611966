"""The rules every input file of the package's Python side is read under.

- `regular(path)`: a FIFO, a directory or a device is refused as "not a regular file" before
  it is opened (opening a FIFO for reading waits for a writer), a missing file as "no such file".
- `npy_header(path)` / `npz_arrays(path)`: arrays whose size is checked against what the file
  holds, and against the machine's memory, before a byte is allocated; the members of an .npz
  are judged by their headers and the archive's declared and compressed sizes (a zip bomb is
  refused naming the member); object arrays are never unpickled.
- `text(path)`: a small text file, decoded as UTF-8, a bad byte named by its line;
  `csv_rows` its CSV rows with the line each starts on.

Every refusal is a ValueError (FileNotFoundError for a missing file) whose one line names the
file and what is wrong in a user's words.
"""
from __future__ import annotations

import csv
import io
import math
import os
import stat
import struct
import zipfile
import zlib
from pathlib import Path
from typing import Any, Iterator, List, Optional, Tuple

import numpy as np

# Any: NumPy 1.26 takes max_header_size, but its type stubs do not name it.
_NPY: Any = np.lib.format

from ._machine import memory_budget

# A member that unpacks to more than this many times its packed size is taken for a zip bomb
# (above a floor: small arrays of zeros pack tighter than that and are harmless).
MAX_COMPRESSION_RATIO = 200
_RATIO_FLOOR = 1 << 20
_HEADER_LIMIT = 1 << 16
TEXT_LIMIT = 256 << 20
_NPY_MAGIC = b"\x93NUMPY"


def _gib(n: float) -> str:
    return f"{n / 2**30:.2f} GiB"


def regular(path: Any) -> Path:
    """`path` as a Path, when it names a regular file that can be opened for reading."""
    p = Path(os.fspath(path))
    try:
        mode = os.stat(p).st_mode
    except FileNotFoundError:
        raise FileNotFoundError(f"{p}: no such file") from None
    except OSError as e:
        raise ValueError(f"{p}: cannot be read ({e.strerror})") from None
    if not stat.S_ISREG(mode):
        raise ValueError(f"{p}: not a regular file")
    try:
        with open(p, "rb"):
            pass
    except OSError as e:
        raise ValueError(f"{p}: cannot be read ({e.strerror})") from None
    return p


def _header(f: Any, where: str, what: str = "array") -> Tuple[Tuple[int, ...], bool, np.dtype]:
    """(shape, fortran order, dtype) of the .npy header at `f`'s position."""
    fmt: Any = np.lib.format
    try:
        major, _ = fmt.read_magic(f)
        read = {1: fmt.read_array_header_1_0, 2: fmt.read_array_header_2_0}.get(major)
        if read is None:
            raise ValueError(f"unsupported .npy version {major}")
        shape, fortran, dtype = read(f, max_header_size=_HEADER_LIMIT)
    except (ValueError, OSError, EOFError, SyntaxError, TypeError, struct.error,
            zipfile.BadZipFile, zlib.error, NotImplementedError) as e:
        raise ValueError(f"{where}: not a readable .npy {what} (its header is damaged)") from None
    if dtype.hasobject:
        raise ValueError(f"{where}: not a readable .npy {what} (it holds Python objects, which are never read)")
    return tuple(int(s) for s in shape), bool(fortran), dtype


def _nbytes(shape: Tuple[int, ...], dtype: np.dtype) -> int:
    return math.prod(shape) * dtype.itemsize


def _within_budget(need: int, where: str) -> None:
    budget = memory_budget()
    if need > budget:
        raise ValueError(f"{where}: its arrays would take {_gib(need)}, more than this machine's "
                         f"memory allows ({_gib(budget)})")


def npy_header(path: Any, what: str = "array", working_bytes: int = 0) -> Tuple[Tuple[int, ...], np.dtype]:
    """(shape, dtype) of the .npy file at `path`, checked against the file's size and against
    the memory its elements take with `working_bytes` more for each."""
    p = regular(path)
    with open(p, "rb") as f:
        if f.read(len(_NPY_MAGIC)) != _NPY_MAGIC:
            raise ValueError(f"{p}: not a readable .npy {what} (not a NumPy file)")
        f.seek(0)
        shape, _, dtype = _header(f, str(p), what)
        start = f.tell()
    need, held = _nbytes(shape, dtype), os.stat(p).st_size - start
    if need > held:
        raise ValueError(f"{p}: its header claims {need:,} bytes of data, but the file holds {max(held, 0):,}")
    _within_budget(need + working_bytes * math.prod(shape), str(p))
    return shape, dtype


def _open_zip(p: Path, what: str) -> zipfile.ZipFile:
    try:
        with open(p, "rb") as f:
            start = f.read(len(_NPY_MAGIC))
        if start == _NPY_MAGIC:
            raise ValueError(f"{p}: {what} must be an .npz archive of arrays (this is a single .npy array)")
        return zipfile.ZipFile(p, "r")
    except (zipfile.BadZipFile, zipfile.LargeZipFile, EOFError, OSError, NotImplementedError):
        raise ValueError(f"{p}: not a readable .npz archive") from None


def _checked_member(info: zipfile.ZipInfo, where: str) -> None:
    if info.flag_bits & 0x1:
        raise ValueError(f"{where}: is encrypted")
    if info.file_size > _RATIO_FLOOR and info.file_size > MAX_COMPRESSION_RATIO * max(info.compress_size, 1):
        raise ValueError(f"{where}: unpacks to {_gib(info.file_size)} from {info.compress_size:,} bytes, "
                         f"more than {MAX_COMPRESSION_RATIO}:1 (a zip bomb?)")


def npz_arrays(path: Any, what: str = "the file") -> Iterator[Tuple[str, np.ndarray]]:
    """(name, array) for each member of the .npz at `path`, in the archive's order, each read
    only after every member's header was checked against the archive and the machine's memory.
    Names drop the ".npy" suffix, as NumPy's own reader does."""
    p = regular(path)
    with _open_zip(p, what) as zf:
        try:
            infos = [i for i in zf.infolist() if not i.is_dir()]
            total = 0
            for info in infos:
                where = f"{p}: member {info.filename!r}"
                _checked_member(info, where)
                with zf.open(info) as f:
                    shape, _, dtype = _header(f, where)
                    start = f.tell()
                need, held = _nbytes(shape, dtype), info.file_size - start
                if need != held:
                    raise ValueError(f"{where}: its header claims {need:,} bytes of data, "
                                     f"but the member holds {max(held, 0):,}")
                total += need
            _within_budget(total, str(p))
            for info in infos:
                where = f"{p}: member {info.filename!r}"
                with zf.open(info) as f:
                    array = _NPY.read_array(f, allow_pickle=False, max_header_size=_HEADER_LIMIT)
                name = info.filename[:-4] if info.filename.endswith(".npy") else info.filename
                yield name, array
        except (zipfile.BadZipFile, zlib.error, EOFError, OSError, NotImplementedError,
                RuntimeError) as e:
            raise ValueError(f"{p}: a damaged .npz archive (a member cannot be unpacked)") from None


def text(path: Any, limit: int = TEXT_LIMIT) -> str:
    """The UTF-8 text (a leading byte-order mark dropped) of the file at `path`."""
    p = regular(path)
    size = os.stat(p).st_size
    if size > limit:
        raise ValueError(f"{p}: {size:,} bytes, more than the {limit:,} a text file here may hold")
    with open(p, "rb") as f:
        data = f.read(limit + 1)
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        line = data.count(b"\n", 0, e.start) + 1
        raise ValueError(f"{p}: line {line} is not UTF-8 text") from None


def csv_rows(text_value: str, where: str) -> Iterator[Tuple[int, List[str]]]:
    """(line, row) of CSV text, the line the row starts on; a row the csv module cannot read
    is refused naming its line."""
    reader = csv.reader(io.StringIO(text_value, newline=""))
    line = 1
    while True:
        try:
            row = next(reader)
        except StopIteration:
            return
        except csv.Error as e:
            if "field larger" in str(e):
                raise ValueError(f"{where}: line {line}: field larger than {csv.field_size_limit():,} characters") from None
            raise ValueError(f"{where}: line {line}: not a readable CSV row") from None
        yield line, row
        line = reader.line_num + 1


def number(text_value: str, where: str) -> Optional[float]:
    """A finite float from text (empty text: no value, NaN); refused naming the value."""
    if not text_value:
        return float("nan")
    try:
        value = float(text_value)
    except ValueError:
        raise ValueError(f"{where}: {_short(text_value)!r} is not a number") from None
    if math.isinf(value) and text_value.strip().lower().lstrip("+-") not in ("inf", "infinity"):
        raise ValueError(f"{where}: {_short(text_value)!r} is out of range (at most about 1.8e308)")
    return value


def _short(text_value: str) -> str:
    return text_value if len(text_value) <= 40 else text_value[:20] + "…" + text_value[-8:]
