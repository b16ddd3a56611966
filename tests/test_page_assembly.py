"""The spike, recording and dataset pages are assembled in one shared frame."""
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CSP = ("default-src 'none'; img-src data: blob:; style-src 'unsafe-inline'; script-src 'unsafe-inline'")


@pytest.mark.parametrize("page", ["spikes", "recording", "dataset"])
def test_each_page_holds_the_shared_frame_once(build_pages, page):
    html = getattr(build_pages, f"build_{page}")()
    common_css = (ROOT / "pages" / "common" / "common.css").read_text(encoding="utf-8").rstrip("\n")
    theme_code = "function buildTheme(redraw)"
    assert html.count(f'content="{CSP}"') == 1 and html.count(common_css) == 1 and html.count(theme_code) == 1
    assert html.count('<button id="theme"') == 1 and html.count("<!DOCTYPE html>") == 1
    assert "@common." not in html and "@PAGE." not in html  # every marker was replaced


def test_a_shared_script_that_would_close_its_element_is_refused(tmp_path, build_pages, monkeypatch):
    common = tmp_path / "common"
    common.mkdir()
    for f in (ROOT / "pages" / "common").iterdir():
        (common / f.name).write_text(f.read_text(encoding="utf-8"), encoding="utf-8")
    (common / "common.js").write_text('  const s = "</script>";\n', encoding="utf-8")
    monkeypatch.setattr(build_pages, "COMMON_DIR", common)
    with pytest.raises(SystemExit):
        build_pages.build_recording()
