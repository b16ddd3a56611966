"""The recording page: its template, filled with a recording document.

The page is `head + document JSON + tail`, so a writer that streams a large
document to a file needs only `template_parts` and `json_for_script`; the
document itself is described in docs/recording-document.md.
"""
from __future__ import annotations

import json
from functools import lru_cache
from importlib import resources
from typing import Any, Tuple

from zelq.viz._palettes import PALETTES

_DATA_MARK = "{{data_json}}"
_TITLE_MARK = "{{title}}"
_PALETTES_MARK = "{{palettes_json}}"
# "<" ">" "&" never appear raw: no string in the document can close the comment
# or script element that holds it, whatever the title or a file name holds.
_SCRIPT_SAFE = str.maketrans({"<": "\\u003c", ">": "\\u003e", "&": "\\u0026"})


def json_for_script(value: Any) -> str:
    """`value` as JSON text that is safe inside an inline <script> element.

    ASCII only (lone surrogates and line separators travel escaped); NaN and
    infinities are refused (ValueError), since JSON.parse would not read them.
    """
    return json.dumps(value, ensure_ascii=True, allow_nan=False, separators=(",", ":")).translate(_SCRIPT_SAFE)


def _escape_html(text: str) -> str:
    # a lone surrogate cannot be written as UTF-8: it becomes U+FFFD, as the browser shows it
    text = text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "replace")
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;").replace("'", "&#x27;"))


@lru_cache(maxsize=1)
def _template() -> str:
    return resources.files("zelq.viz").joinpath("templates", "recording.html").read_text(encoding="utf-8")


def template_parts(title: str = "Recording") -> Tuple[str, str]:
    """(head, tail) of the page: the page is head + json_for_script(doc) + tail."""
    if not isinstance(title, str):
        raise TypeError(f"title must be str, not {type(title).__name__}")
    head, tail = _template().split(_DATA_MARK)
    # the palettes first: the title is filled last, so its text is never scanned again
    head = head.replace(_PALETTES_MARK, json_for_script(PALETTES))
    safe = _escape_html(title)
    return head.replace(_TITLE_MARK, safe), tail.replace(_TITLE_MARK, safe)


def render_recording_html(doc: dict, title: str = "Recording") -> str:
    """The recording page of the recording document `doc`, titled `title`."""
    if not isinstance(doc, dict):
        raise TypeError(f"doc must be dict, not {type(doc).__name__}")
    head, tail = template_parts(title)
    return head + json_for_script(doc) + tail
