#!/usr/bin/env python3
"""Assemble the page templates in src/zelq/viz/templates/ from their readable
sources in pages/<page>/ (HTML skeleton, CSS, JS).

    python tools/build_pages.py            # write every template
    python tools/build_pages.py --check    # exit 1 when a committed template is stale
    python tools/build_pages.py spikes     # only the named pages

Each page has its own assembly function, because the templates use
different placeholder syntaxes.
"""
import argparse
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PAGES_DIR = ROOT / "pages"
TEMPLATES_DIR = ROOT / "src" / "zelq" / "viz" / "templates"


def _read(path: Path) -> str:
    return path.read_text(encoding="utf-8")


def _inline(html: str, tag: str, content: str) -> str:
    """Replace the one `tag` that links a source file by the file's content."""
    if html.count(tag) != 1:
        raise SystemExit(f"expected exactly one {tag!r} in the skeleton")
    return html.replace(tag, content)


def inline_spikes(src: Path = PAGES_DIR / "spikes") -> str:
    """The spike skeleton with its CSS and JS inlined, still with the {{title}} and
    {{data_json}} markers and the sources' own "$" characters."""
    html = _read(src / "spikes.html")
    css = _read(src / "spikes.css")
    js = _read(src / "spikes.js")
    if "</script" in js.lower() or "</style" in css.lower():
        raise SystemExit("a source would close its own inline element early")
    html = _inline(html, '<link rel="stylesheet" href="spikes.css">', "<style>\n" + css + "</style>")
    html = _inline(html, '<script src="spikes.js"></script>', "<script>\n" + js + "</script>")
    if html.count("{{data_json}}") != 1 or "{{title}}" not in html:
        raise SystemExit("the spike skeleton needs one {{data_json}} and at least one {{title}}")
    return html


def build_spikes(src: Path = PAGES_DIR / "spikes") -> str:
    """spikes.html is a dollar template with the placeholders title and data_json.

    The skeleton marks them as {{title}} and {{data_json}}. Every literal "$" of
    the sources (JS template literals included) becomes "$$" first, then the
    markers become braced placeholders, so a following identifier character can
    never extend a placeholder name.
    """
    html = inline_spikes(src).replace("$", "$$")
    return html.replace("{{title}}", "${title}").replace("{{data_json}}", "${data_json}")


_MARKER = re.compile(r"^[ \t]*(?:/\*@([\w.-]+)@\*/|//@([\w.-]+)@)[ \t]*$", re.M)


def _include_markers(src: Path, skeleton: str) -> str:
    """Replace each marker line `/*@file.css@*/` or `//@file.js@` by that file's text."""

    def include(m: re.Match) -> str:
        name = m.group(1) or m.group(2)
        text = _read(src / name)
        low = text.lower()
        for bad in ("</script", "</style", "<!--"):
            if bad in low:
                raise SystemExit(f"{name} contains {bad!r}: it would close its inline element early")
        if re.search(r"\{\{[A-Z_]+\}\}", text):
            raise SystemExit(f"{name} contains a template placeholder")
        return text.rstrip("\n")

    return _MARKER.sub(include, skeleton)


def build_viewer(src: Path = PAGES_DIR / "viewer") -> str:
    """viewer.html: render_html fills {{TITLE}}, {{DATA_JSON}}, {{WIDTH}}, {{HEIGHT}} in turn.

    Only the skeleton may hold placeholders; the sources must not, because the
    replacement scans the whole page.
    """
    html = _include_markers(src, _read(src / "viewer.html"))
    for ph in ("{{TITLE}}", "{{WIDTH}}", "{{HEIGHT}}"):
        if ph not in html:
            raise SystemExit(f"the viewer skeleton lacks {ph}")
    if html.count("{{DATA_JSON}}") != 1:
        raise SystemExit("the viewer skeleton needs exactly one {{DATA_JSON}}")
    return html


_RECORDING_MARKS = ("{{title}}", "{{data_json}}", "{{palettes_json}}", "{{images}}")


def build_recording(src: Path = PAGES_DIR / "recording") -> str:
    """recording.html: recording_page.template_parts fills {{title}} and {{palettes_json}}
    and splits the page at its one {{data_json}}.

    The sources must hold none of the markers, so only the skeleton's are filled.
    """
    skeleton = _read(src / "recording.html")
    for name in ("recording.css", "recording.js"):
        if any(mark in _read(src / name) for mark in _RECORDING_MARKS):
            raise SystemExit(f"{name} contains a template placeholder")
    html = _include_markers(src, skeleton)
    if any(html.count(mark) != 1 for mark in _RECORDING_MARKS[1:]) or "{{title}}" not in html:
        raise SystemExit("the recording skeleton needs one {{data_json}}, {{palettes_json}} and {{images}}, "
                         "and a {{title}}")
    return html


def build_dataset(src: Path = PAGES_DIR / "dataset") -> str:
    """dataset.html: the dataset writer fills {{title}} and {{data_json}} in one pass."""
    html = _read(src / "dataset.html")
    css = _read(src / "dataset.css")
    js = _read(src / "dataset.js")
    for name, text in (("dataset.css", css), ("dataset.js", js)):
        low = text.lower()
        if "</script" in low or "</style" in low or "<!--" in low:
            raise SystemExit(f"{name} would close its own inline element early")
        if "{{" in text:
            raise SystemExit(f"{name} contains a template placeholder")
    html = _inline(html, '<link rel="stylesheet" href="dataset.css">', "<style>\n" + css + "</style>")
    html = _inline(html, '<script src="dataset.js"></script>', "<script>\n" + js + "</script>")
    if html.count("{{data_json}}") != 1 or "{{title}}" not in html:
        raise SystemExit("the dataset skeleton needs one {{data_json}} and at least one {{title}}")
    return html


# page name -> (assembly function, template file name)
PAGES = {
    "dataset": (build_dataset, "dataset.html"),
    "spikes": (build_spikes, "spikes.html"),
    "viewer": (build_viewer, "viewer.html"),
    "recording": (build_recording, "recording.html"),
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
