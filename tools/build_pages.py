#!/usr/bin/env python3
"""Assemble the page templates in src/zelq/viz/templates/ from their readable
sources in pages/<page>/ (HTML skeleton, CSS, JS).

    python tools/build_pages.py            # write every template
    python tools/build_pages.py --check    # exit 1 when a committed template is stale
    python tools/build_pages.py spikes     # only the named pages

Pages are assembled from marker lines (/*@x.css@*/, //@x.js@, <!--@x.html@-->) that
name files in the page's own folder or else in pages/common/. The spike, recording
and dataset pages are set in one shared frame (pages/common/page.html); one assembly
serves every page, and each page adds only its placeholder rules.
"""
import argparse
import re
import sys
from pathlib import Path
from typing import Tuple

ROOT = Path(__file__).resolve().parent.parent
PAGES_DIR = ROOT / "pages"
TEMPLATES_DIR = ROOT / "src" / "zelq" / "viz" / "templates"
COMMON_DIR = PAGES_DIR / "common"   # what the pages share: the page frame, base styles, helpers and theme code


def _read(path: Path) -> str:
    return path.read_text(encoding="utf-8")


# A line that is only a marker stands for a file: /*@x.css@*/, //@x.js@ or <!--@x.html@-->.
_MARKER = re.compile(r"^[ \t]*(?:/\*@([\w.-]+)@\*/|//@([\w.-]+)@|<!--@([\w.-]+)@-->)[ \t]*$", re.M)
_PLACEHOLDER = re.compile(r"\{\{\w+\}\}")
_MAX_DEPTH = 4


def _source(src: Path, name: str) -> Path:
    """The page's own file of that name, else the shared one in pages/common/."""
    own = src / name
    return own if own.exists() else COMMON_DIR / name


# Tables the native modules hold, written into the scripts that draw with them.
_CLASS_COLOURS_HPP = ROOT / "src" / "kernels" / "class_colours.hpp"
_CLASS_COLOURS_SLOT = "[/*@class colours@*/]"


def _class_colours() -> str:
    """kern::kClassColours as a script's list of "#rrggbb" texts."""
    table = _read(_CLASS_COLOURS_HPP).split("kClassColours[][3] = {", 1)[1].split("};", 1)[0]
    rgb = re.findall(r"\{\s*(\d+),\s*(\d+),\s*(\d+)\s*\}", table)
    return "[" + ", ".join('"#%02x%02x%02x"' % tuple(int(v) for v in c) for c in rgb) + "]"


def _include_markers(src: Path, text: str, depth: int = 0) -> str:
    """Replace each marker line by its file's text, markers in that text included.

    Styles and scripts stand inline, so none may hold what would end its element
    early or a template placeholder (only the skeleton's, its HTML parts', are filled).
    """
    if depth > _MAX_DEPTH:
        raise SystemExit("page sources include each other too deeply")

    def include(m: re.Match) -> str:
        name = m.group(1) or m.group(2) or m.group(3)
        text = _read(_source(src, name))
        if not name.endswith(".html"):
            low = text.lower()
            for bad in ("</script", "</style", "<!--"):
                if bad in low:
                    raise SystemExit(f"{name} contains {bad!r}: it would close its inline element early")
            if _PLACEHOLDER.search(text):
                raise SystemExit(f"{name} contains a template placeholder")
        if _CLASS_COLOURS_SLOT in text:
            text = text.replace(_CLASS_COLOURS_SLOT, _class_colours())
        return _include_markers(src, text.rstrip("\n"), depth + 1)

    return _MARKER.sub(include, text)


def assemble(src: Path, page: str, once: Tuple[str, ...], some: Tuple[str, ...] = ("{{title}}",),
             framed: bool = True) -> str:
    """The page `page` with every marker replaced: one function for every page.

    A framed page's own `page.html` is its body, set in the shared frame
    pages/common/page.html (head, CSP, base styles, header with the title and the
    theme toggle), which also inlines `page.css`; else `page.html` is the whole
    skeleton. Each of `once` must stand exactly once in the result, each of `some`
    at least once.
    """
    skeleton = page + ".html"
    frame = _read(COMMON_DIR / "page.html").replace("@PAGE.", "@" + page + ".") if framed else _read(src / skeleton)
    html = _include_markers(src, frame)
    for mark in once:
        if html.count(mark) != 1:
            raise SystemExit(f"the skeleton {skeleton} needs exactly one {mark}")
    for mark in some:
        if mark not in html:
            raise SystemExit(f"the skeleton {skeleton} lacks {mark}")
    if _MARKER.search(html):
        raise SystemExit(f"{skeleton} holds a marker that was not replaced")
    return html


def inline_spikes(src: Path = PAGES_DIR / "spikes") -> str:
    """The spike skeleton with its CSS and JS inlined, still with the {{title}} and
    {{data_json}} markers and the sources' own "$" characters."""
    return assemble(src, "spikes", once=("{{data_json}}",))


def build_spikes(src: Path = PAGES_DIR / "spikes") -> str:
    """spikes.html is a dollar template with the placeholders title and data_json.

    The skeleton marks them as {{title}} and {{data_json}}. Every literal "$" of
    the sources (JS template literals included) becomes "$$" first, then the
    markers become braced placeholders, so a following identifier character can
    never extend a placeholder name.
    """
    html = inline_spikes(src).replace("$", "$$")
    return html.replace("{{title}}", "${title}").replace("{{data_json}}", "${data_json}")


def build_viewer(src: Path = PAGES_DIR / "viewer") -> str:
    """viewer.html: render_html fills {{TITLE}}, {{DATA_JSON}}, {{WIDTH}}, {{HEIGHT}} in turn.

    Only the skeleton may hold placeholders; the sources must not, because the
    replacement scans the whole page.
    """
    return assemble(src, "viewer", once=("{{DATA_JSON}}",), some=("{{TITLE}}", "{{WIDTH}}", "{{HEIGHT}}"),
                    framed=False)


def build_recording(src: Path = PAGES_DIR / "recording") -> str:
    """recording.html: recording_page.template_sections fills {{title}} and {{palettes_json}}
    and splits the page at its {{data_json}} and {{images}}."""
    return assemble(src, "recording", once=("{{data_json}}", "{{palettes_json}}", "{{images}}"))


def build_dataset(src: Path = PAGES_DIR / "dataset") -> str:
    """dataset.html: the dataset writer fills {{title}} and {{data_json}} in one pass."""
    return assemble(src, "dataset", once=("{{data_json}}",))


def build_network(src: Path = PAGES_DIR / "viewer") -> str:
    """viewer-network.html: the graph page's network parts, which render_html puts into a viewer
    page only when they are asked for: a style element for the head, then a line <!--script-->,
    then the parts' script for the viewer's part list. Nothing in it is a placeholder."""
    return assemble(src, "network", once=("\n<!--script-->\n",), some=(), framed=False)


# page name -> (assembly function, template file name)
PAGES = {
    "dataset": (build_dataset, "dataset.html"),
    "spikes": (build_spikes, "spikes.html"),
    "viewer": (build_viewer, "viewer.html"),
    "recording": (build_recording, "recording.html"),
    "network": (build_network, "viewer-network.html"),
}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--check", action="store_true", help="only compare with the committed templates")
    ap.add_argument("pages", nargs="*", help="pages to build (default: all)")
    args = ap.parse_args(argv)
    names = args.pages or list(PAGES)
    stale = []
    for name in names:
        build, filename = PAGES[name]
        text = build()
        target = TEMPLATES_DIR / filename
        if args.check:
            if not target.exists() or target.read_text(encoding="utf-8") != text:
                stale.append(filename)
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text, encoding="utf-8", newline="\n")
        print(f"wrote {target.relative_to(ROOT)} ({len(text.encode('utf-8')):,} bytes)")
    if stale:
        print("stale templates (run tools/build_pages.py):", ", ".join(stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
