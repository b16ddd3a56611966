"""What every page (and every file beside one) that the package writes in Python shares.

- `template(name)` reads a page template of the package; `fill` puts values in its
  `{{name}}` placeholders, in one pass, so that nothing put in is scanned again. (The graph
  page and the spike page keep the placeholders the native modules fill.)
- `escape_html` is the one escape of text put into HTML: "&", "<", ">", the double quote and
  "'", in that order. `attribute` is the narrower escape of a whole page put into a
  double-quoted attribute (a notebook frame's `srcdoc`).
- `script_json` is JSON text for an inline script element; `comment_json` for an HTML
  comment that a script reads. Both are ASCII (lone surrogates and line separators travel
  escaped) and refuse NaN and infinities (ValueError), which JSON.parse would not read.
- `replacing(target)` writes a file atomically: through a new file beside the target,
  renamed over it once complete and removed on any failure, an interrupt included.
  `open_beside` opens such a file for writing without truncating it.
"""
from __future__ import annotations

import contextlib
import functools
import json
import os
import re
from importlib import resources
from pathlib import Path
from typing import Any, Iterator, Mapping, Union

PathLike = Union[str, "os.PathLike[str]"]

_PLACEHOLDER = re.compile(r"\{\{([a-z_]+)\}\}")
# Inside a script element only "<" can end it or open a comment; a comment also ends at ">",
# and "&" is escaped there too, so no string can form an entity or a tag in either.
_IN_SCRIPT = str.maketrans({"<": "\\u003c"})
_IN_COMMENT = str.maketrans({"<": "\\u003c", ">": "\\u003e", "&": "\\u0026"})


@functools.lru_cache(maxsize=None)
def template(name: str) -> str:
    """The text of the package's template `name` (in its templates folder)."""
    return resources.files("zelq.viz").joinpath("templates", name).read_text(encoding="utf-8")


def fill(text: str, values: Mapping[str, str]) -> str:
    """`text` with each `{{name}}` that `values` names replaced, in one pass from the left;
    placeholders it does not name stay as they are."""
    return _PLACEHOLDER.sub(lambda m: values.get(m.group(1), m.group(0)), text)


def escape_html(text: str) -> str:
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;").replace("'", "&#x27;"))


def attribute(text: str) -> str:
    """`text` as the value of a double-quoted attribute: only "&" and the quote need escaping,
    and a page of megabytes is not made larger for the rest."""
    return text.replace("&", "&amp;").replace('"', "&quot;")


def _json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=True, allow_nan=False, separators=(",", ":"))


def script_json(value: Any) -> str:
    """`value` as JSON text that is safe inside an inline <script> element."""
    return _json(value).translate(_IN_SCRIPT)


def comment_json(value: Any) -> str:
    """`value` as JSON text that is safe inside an HTML comment (and a script element)."""
    return _json(value).translate(_IN_COMMENT)


def beside(target: PathLike, suffix: str) -> str:
    """A new empty file beside `target`, named ".NAME.RANDOM" + suffix, made as an ordinary
    open makes one (0666 less the umask): a page renamed from it is as readable as any other."""
    target = Path(os.fspath(target))
    while True:
        path = target.with_name(f".{target.name}.{os.urandom(6).hex()}{suffix}")
        try:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return str(path)
        except FileExistsError:
            continue
        except OSError as e:  # said of the file asked for, not of a name the caller never saw
            raise type(e)(e.errno, e.strerror, str(target)) from None


def open_beside(path: PathLike, mode: str = "wb", **kwargs: Any) -> Any:
    """A file that beside() made, opened (as open(path, mode, **kwargs) for a write mode) to
    write from its start, emptied only if it holds something. On ext4 a file truncated and
    then written is written back to disk as it closes (the rule for programs that rewrite a
    file in place): 60 ms for a 100 MB page, which a page's new file need not pay."""
    fd = os.open(path, os.O_WRONLY | getattr(os, "O_CLOEXEC", 0))
    try:
        if os.fstat(fd).st_size:
            os.ftruncate(fd, 0)
        return open(fd, mode, **kwargs)
    except BaseException:
        os.close(fd)
        raise


def remove(path: PathLike) -> None:
    """Remove `path` if it is there."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


@contextlib.contextmanager
def replacing(target: PathLike) -> Iterator[str]:
    """The path of a new file beside `target` to write; on leaving, it replaces `target`, or,
    on any failure (an interrupt too), it is removed and `target` is left as it was."""
    partial = beside(target, ".part")
    try:
        yield partial
        os.replace(partial, target)
    except OSError as e:
        remove(partial)
        if e.filename and os.fspath(e.filename) != partial:
            raise
        # Said of the file asked for (a full disk's "File too large" too), not of the partial one.
        raise OSError(e.errno, e.strerror or str(e), os.fspath(target)) from None
    except BaseException:
        remove(partial)
        raise


def write_text(target: PathLike, text: str, errors: str = "strict") -> None:
    """Write `text` as UTF-8 to `target`, atomically."""
    with replacing(target) as partial:
        with open_beside(partial, "w", encoding="utf-8", errors=errors) as out:
            out.write(text)
