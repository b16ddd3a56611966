#!/usr/bin/env python3
"""Assemble the page templates from their readable sources in pages/.

    python tools/build_pages.py            # write every template
    python tools/build_pages.py --check    # exit 1 if a committed template is stale

Each page has its own small build function (skeleton + inlined CSS/JS plus
whatever its template engine needs); PAGES maps a page name to the function
and the template it writes. The skeleton names an included file with a
marker on a line of its own: `/*@file.css@*/` or `//@file.js@`.
"""
import argparse
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PAGES_DIR = ROOT / "pages"
TEMPLATES = ROOT / "src" / "zelq" / "viz" / "templates"

_MARKER = re.compile(r"^[ \t]*(?:/\*@([\w.-]+)@\*/|//@([\w.-]+)@)[ \t]*$", re.M)


def inline(page_dir: Path, skeleton: str) -> str:
    """Replace every include marker of the skeleton by the file's text."""

    def include(m: re.Match) -> str:
        name = m.group(1) or m.group(2)
        text = (page_dir / name).read_text(encoding="utf-8")
        low = text.lower()
        # An included source must not end its own <script> or <style> element early.
        for bad in ("</script", "</style", "<!--"):
            if bad in low:
                raise ValueError(f"{name} contains {bad!r}, which would break the page")
        if "{{" in text and name.endswith(".js") and re.search(r"\{\{[A-Z_]+\}\}", text):
            raise ValueError(f"{name} contains a template placeholder")
        return text.rstrip("\n")

    return _MARKER.sub(include, skeleton)


def build_viewer() -> str:
    """Graph viewer: the render step fills {{TITLE}}, {{DATA_JSON}}, {{WIDTH}}, {{HEIGHT}}."""
    page_dir = PAGES_DIR / "viewer"
    html = inline(page_dir, (page_dir / "viewer.html").read_text(encoding="utf-8"))
    for ph in ("{{TITLE}}", "{{DATA_JSON}}", "{{WIDTH}}", "{{HEIGHT}}"):
        if ph not in html:
            raise ValueError(f"viewer page lacks the placeholder {ph}")
    return html


PAGES = {
    "viewer": (build_viewer, "viewer.html"),
}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--check", action="store_true", help="compare instead of writing")
    ap.add_argument("pages", nargs="*", help="page names (default: all)")
    args = ap.parse_args(argv)
    stale = []
    for name in args.pages or list(PAGES):
        build, target = PAGES[name]
        text = build()
        path = TEMPLATES / target
        if args.check:
            if not path.exists() or path.read_text(encoding="utf-8") != text:
                stale.append(str(path.relative_to(ROOT)))
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            with open(path, "w", encoding="utf-8", newline="\n") as f:
                f.write(text)
            print(f"wrote {path.relative_to(ROOT)} ({len(text)} bytes)")
    if stale:
        print("stale: " + ", ".join(stale) + " (run tools/build_pages.py)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
