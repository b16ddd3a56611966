"""Inline display of the package's pages in notebooks (Jupyter, VS Code, Colab).

A page travels as the `srcdoc` of a sandboxed iframe: the notebook stores it
whole, so the cell stays self-contained offline, after a save and reopen and in
an HTML export. `data:` URLs would go blank above Chromium's 2 MiB URL cap, and
a file iframe is neither self-contained nor served by every notebook server.
"""
from __future__ import annotations

import os
import re
from typing import Any, Dict, Optional

from zelq.viz import _args, pagefiles

# Heights in CSS pixels that show a page's main view without scrolling the notebook:
# the graph page is one stage; the spike page stacks summary, images and plots and
# scrolls inside the frame.
DEFAULT_HEIGHTS = {"graph": 640, "spikes": 760, "recording": 860, "dataset": 800, "page": 640}

# allow-same-origin is never granted: with scripts it would run the page with the
# notebook server's origin, and the page could reach the server's API.
SANDBOX = "allow-scripts allow-downloads"

_PAGE_START = re.compile(r"\A[\ufeff\s]*(?:<!doctype\s+html|<html[\s>])", re.I)
_HTML_TAG = re.compile(r"<html\b[^>]*>", re.I)
_THEME_ATTR = re.compile(r"""\sdata-theme\s*=\s*(?:"[^"]*"|'[^']*'|[^\s>]*)""", re.I)
# Ids of the pages' own controls; quoted markup cannot come from a title (escaped) or
# from the JSON data (its quotes are backslash-escaped).
_KIND_MARKERS = (("graph", '<button id="btn-expand"'), ("recording", '<main id="recording"'),
                 ("spikes", '<section id="summary"'), ("dataset", '<section id="dataset-summary"'))

_HINT = ("This cell shows an interactive zelq.viz page, which the notebook hides "
         "because the notebook is not trusted. To see it, re-run the cell, or trust "
         "the notebook (JupyterLab: File \u25b8 Trust Notebook; a shell: jupyter trust NOTEBOOK.ipynb).")


class InlinePage:
    """A page shown inline by notebook frontends; its text repr never holds the page."""

    __slots__ = ("html", "kind", "height", "theme")

    def __init__(self, html: str, kind: str, height: int, theme: Optional[str]) -> None:
        self.html = html
        self.kind = kind
        self.height = height
        self.theme = theme

    def __repr__(self) -> str:
        size = len(self.html.encode("utf-8", "surrogatepass"))
        what = {"graph": "graph page", "spikes": "spike page", "recording": "recording page",
                "dataset": "dataset page"}.get(self.kind, "page")
        theme = f", {self.theme} theme" if self.theme else ""
        return f"<zelq.viz {what}, {size:,} bytes, shown {self.height} px high{theme}>"

    def _repr_html_(self) -> str:
        return self.frame_html()

    def _repr_mimebundle_(self, include: Any = None, exclude: Any = None) -> Dict[str, str]:
        return {"text/html": self.frame_html(), "text/plain": repr(self)}

    def frame_html(self) -> str:
        """The iframe markup, with a hint behind it for frontends that strip iframes."""
        doc = pagefiles.attribute(self.html)
        paper = "#16181d" if self.theme == "dark" else "#ffffff"
        return (
            f'<div class="zelq-viz-inline" style="position:relative;width:100%;height:{self.height}px">'
            f'<div style="position:absolute;inset:0;padding:12px 16px;box-sizing:border-box;'
            f'border:1px dashed #999;font:14px/1.5 sans-serif;color:#555">{_HINT}</div>'
            f'<iframe sandbox="{SANDBOX}" title="zelq.viz page" loading="eager" '
            f'style="position:absolute;inset:0;width:100%;height:100%;border:0;background:{paper}" '
            f'srcdoc="{doc}"></iframe></div>')


def _page_text(page: Any) -> str:
    if isinstance(page, str) and _PAGE_START.match(page[:512]):
        return page
    if not isinstance(page, (str, os.PathLike)):
        _args.refuse("page", "str, os.PathLike, dict or graph", page)
    path = os.fspath(page)
    if not isinstance(path, str):
        _args.refuse("page", "str, os.PathLike, dict or graph", page)
    if "\n" in path or "<" in path or not os.path.exists(path):
        raise FileNotFoundError(
            f"page is neither page text (starting with <!DOCTYPE html or <html) nor an existing file: {path[:200]!r}")
    with open(path, "rb") as f:
        # The head first, so a large file of another kind is refused without reading it all.
        head = f.read(512)
        if not _PAGE_START.match(head.decode("utf-8", "ignore")):
            raise ValueError(f"not an HTML page: {path!r}")
        data = head + f.read()
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ValueError(f"not an HTML page (not UTF-8 text): {path!r}") from e


def _kind_of(html: str) -> str:
    for kind, marker in _KIND_MARKERS:
        if marker in html:
            return kind
    return "page"


def _with_theme(html: str, theme: str) -> str:
    tag = _HTML_TAG.search(html, 0, 1 << 16)
    if tag is None:
        raise ValueError("the page has no <html> element to carry a theme")
    opened = _THEME_ATTR.sub("", tag.group(0)[:-1])
    return f'{html[:tag.start()]}{opened} data-theme="{theme}">{html[tag.end():]}'


def _graph_page(page: Any, activity: Any, dt: Any) -> Optional[str]:
    """The graph page of a viewer document or a graph; None for page text and paths."""
    is_graph = hasattr(page, "nodes") and hasattr(page, "edges") and not isinstance(page, (str, os.PathLike))
    if type(page) is not dict and not is_graph:
        if activity is not None or dt is not None:
            raise ValueError("activity and dt need a graph or a viewer document; page text is already rendered")
        return None
    if type(page) is dict and page.get("kind") == "recording":
        if activity is not None or dt is not None:
            raise ValueError("activity and dt need a graph or a viewer document, not a recording document")
        from zelq.viz.recording_page import render_recording_html
        name = (page.get("source") or {}).get("name") if isinstance(page.get("source"), dict) else None
        return render_recording_html(page, name if isinstance(name, str) else "Recording")
    from zelq.viz.render import render_html
    doc = page
    if is_graph:
        from zelq.viz.serialize import graph_to_dict
        doc = graph_to_dict(page)
    return render_html(doc, activity=activity, dt=dt)


def show(page: Any, *, height: Any = None, theme: Optional[str] = None, activity: Any = None,
         dt: Any = None) -> InlinePage:
    """Display a graph page, spike page or recording page inline in a notebook.

    `page` is page text (as render_html returns) or the path of a page file (as
    export_events_html, plot_events and plot_frames return); a recording
    document (a dict of kind "recording") is rendered as the recording page; a viewer document
    (a dict) or a zelq.ir graph is rendered first, with the recorded `activity`
    and time step `dt` of render_html drawn on it when given. Returns an object
    that notebooks show as a sandboxed frame `height` CSS pixels high (by default
    640 for a graph page, 760 for a spike page, 860 for a recording page, 800 for a dataset page); `theme` "light" or "dark" fixes
    the page's theme, None follows the system. Refuses a page that is neither str
    nor os.PathLike, a non-numeric height and a non-str theme (TypeError); raises
    FileNotFoundError for text that is no page and no file, ValueError for a file
    that is not a page, a height below 1, another theme, or activity with page
    text; render_html's errors pass through.
    """
    height = _args.integer("height", height, none=True)
    theme = _args.exact("theme", theme, str, none=True)
    if theme is not None and theme not in ("light", "dark"):
        raise ValueError(f'theme must be "light", "dark" or None, not {theme[:50]!r}')
    if height is not None and height < 1:
        raise ValueError("height must be at least 1")
    html = _graph_page(page, activity, dt)
    if html is None:
        html = _page_text(page)
    kind = _kind_of(html)
    if theme is not None:
        html = _with_theme(html, theme)
    return InlinePage(html, kind, DEFAULT_HEIGHTS[kind] if height is None else height, theme)
