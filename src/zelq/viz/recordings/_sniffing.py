"""Opening a recording: the file must be a regular file whose first bytes are what its
extension says (each reader's signature), read far enough to hold a '%' header whole."""
from __future__ import annotations

import os
import re
import stat
from pathlib import Path
from typing import Any, Dict, Optional, Tuple, Union

from .. import _native
from ._problems import RecordingError, fail
from ._registry import FORMATS, READERS, File

HEADER_LIMIT = 1 << 20

# Signatures of formats that are known but not read: (kind, first bytes, what the file looks like).
UNSUPPORTED: Tuple[Tuple[str, "re.Pattern[bytes]", str], ...] = (
    ("older AEDAT", re.compile(rb"#!AER-DAT[1-3]\.\d\r?\n"),
     "an AEDAT 1.0 or 3.0 file, which is not read (AEDAT 2.0, 3.1 and 4.0 are)"),
)


def header_end(head: bytes) -> int:
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


def _is_text(header: bytes) -> bool:
    try:
        text = header.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return all(c.isprintable() or c in "\r\n\t" for c in text)


def sniff(file: File) -> Optional[str]:
    """The extension whose format the first bytes are, or None.

    Only whole signatures count (a full magic line, a complete '%' header naming its format,
    and for a format whose records can be any bytes, one of text lines), so that the first
    records of a headerless format are not taken for another format's magic.
    """
    head = file.head
    if READERS[file.ext].any_bytes and head.startswith(b"%"):
        header = head[:file.header]
        if not (header.endswith(b"\n") and _is_text(header)):
            return None
    for reader in READERS.values():
        if reader.signature is not None and reader.signature(file):
            return reader.extension
    for kind, magic, _ in UNSUPPORTED:
        if magic.match(head):
            return kind
    if head.startswith(b"%"):
        return "%-header"
    return None


def _looks(kind: Optional[str]) -> str:
    if kind in FORMATS:
        name = FORMATS[kind]
        return f"{'an' if name[0] in 'AEIOUH' else 'a'} {name} file"
    for unsupported, _, looks in UNSUPPORTED:
        if kind == unsupported:
            return looks
    return "something else"


def open_regular(p: Path) -> Any:
    """The file opened for reading, refused unless it is a regular file.

    The type is checked before the file is opened for reading (a FIFO would block), and
    again on the opened descriptor, in case the name was replaced meanwhile.
    """
    return os.fdopen(_regular_fd(p)[0], "rb")


def _regular_fd(p: Path, found: Optional[os.stat_result] = None) -> Tuple[int, int]:
    """(descriptor opened for reading, size) of a regular file, checked as open_regular checks;
    `found`: the path's stat when it was just taken."""
    try:
        if not stat.S_ISREG((found or os.stat(p)).st_mode):
            raise fail(p, "not a regular file")
        fd = os.open(p, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except (FileNotFoundError, RecordingError):
        raise
    except OSError as e:
        raise fail(p, f"cannot be read ({e.strerror or e})") from None
    st = os.fstat(fd)
    if not stat.S_ISREG(st.st_mode):
        os.close(fd)
        raise fail(p, "not a regular file")
    return fd, st.st_size


def _read_up_to(fd: int, n: int) -> bytes:
    """The next `n` bytes of the file, fewer at its end."""
    parts, left = [], n
    while left > 0:
        more = os.read(fd, left)
        if not more:
            break
        parts.append(more)
        left -= len(more)
    return parts[0] if len(parts) == 1 else b"".join(parts)


def bag_storage(p: Path) -> Path:
    """A ROS 2 bag is a folder (metadata.yaml beside its storage files): it is read through
    its first storage file, which names the bag to its reader. Any other path is itself."""
    try:
        if not (p.is_dir() and (p / "metadata.yaml").is_file()):
            return p
        stored = sorted(f for f in p.iterdir() if f.suffix.lower() in (".db3", ".mcap") and f.is_file())
    except OSError:
        return p
    return stored[0] if stored else p


def open_checked(path: Union[str, "os.PathLike[str]"], head_limit: int = HEADER_LIMIT,
                 options: Optional[Dict[str, Any]] = None) -> File:
    """A readable file whose content matches its extension.

    The first `head_limit` bytes are read, and more (up to the header limit) when a '%'
    header reaches their end, so that a header is always seen whole."""
    place = _place(path)
    known = READERS.get(place[1]) if place is not None else None
    opened = None
    if place is not None and known is not None:
        # One native call opens a regular file and reads its head; anything else is told below.
        opened = _native.events()._open_head(place[2], min(head_limit, known.head), known.whole, HEADER_LIMIT)
    if place is None or opened is None:
        p, ext, head, size, header = _open_slowly(path, head_limit)
    else:
        p, ext = place[0], place[1]
        head, size, header = opened
    reader = READERS[ext]
    size = max(size, len(head))
    file = File(p, ext, head, size, options, header)
    kind = sniff(file)
    for name in options or {}:
        if name not in reader.options:
            takes = " and ".join(sorted({r.name for r in READERS.values() if name in r.options}))
            raise ValueError(f"{name}= applies to {takes} files only, not to {p.name} ({reader.name})")
    if kind != ext and kind not in reader.accepts:
        if reader.mismatch is not None:
            reader.mismatch(file, kind)
        if kind is None or kind == "%-header":
            raise fail(p, f"not a {FORMATS[ext]} file (its first bytes match no known recording format)")
        raise fail(p, f"named {ext} but looks like {_looks(kind)}")
    return file


def _place(path: Any) -> Optional[Tuple[Path, str, bytes]]:
    """(path, lower-case extension, file-system name) of a path given as text, kept for the
    next time the same text is given; None for any other path."""
    text = os.fspath(path)
    if type(text) is not str:
        return None
    found = _PLACES.get(text)
    if found is None:
        p = Path(text)
        found = (p, p.suffix.lower(), os.fsencode(p))
        if len(_PLACES) >= 1024:
            _PLACES.clear()
        _PLACES[text] = found
    return found


_PLACES: Dict[str, Tuple[Path, str, bytes]] = {}


def _open_slowly(path: Any, head_limit: int) -> Tuple[Path, str, bytes, int, int]:
    """(path, extension, head, size, '%' header length) as opening finds them, saying why not
    where the name is no recording: a folder's bag storage, an unknown extension, a missing,
    unreadable or irregular file."""
    p = Path(os.fspath(path))
    try:
        found: Optional[os.stat_result] = os.stat(p)
    except OSError:  # told when the file is opened
        found = None
    if found is not None and stat.S_ISDIR(found.st_mode):
        p, found = bag_storage(p), None
    ext = p.suffix.lower()
    if ext not in FORMATS:
        known = ", ".join(FORMATS)
        raise fail(p, f"unknown recording format '{p.suffix or '(no extension)'}'; known: {known}")
    fd, size = _regular_fd(p, found)
    reader = READERS[ext]
    head_limit = min(head_limit, reader.head)
    if size <= reader.whole:
        head_limit = max(head_limit, size + 1)
    try:
        try:
            # No more than the file holds: a small file must not pay for a MB buffer.
            head = _read_up_to(fd, min(head_limit, size + 1))
            header = header_end(head)
            # A header and the two bytes after it (a DAT file's event type and size) are read whole.
            cut = len(head) == head_limit < HEADER_LIMIT
            if cut and head.startswith(b"%") and header + 2 >= len(head):
                head += _read_up_to(fd, min(HEADER_LIMIT, size + 1) - len(head))
                header = header_end(head)
        except OSError as e:
            raise fail(p, f"cannot be read ({e.strerror or e})") from None
    finally:
        os.close(fd)
    return p, ext, head, size, header
