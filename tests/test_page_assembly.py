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


def test_one_theme_choice_holds_on_every_page_and_junk_in_storage_is_ignored(browser, tmp_path):
    """The reader's toggle on any page is the theme of every page opened after it."""
    import numpy as np

    import graphs
    import recording_reference as rr
    import viewer_docs as vd
    from test_dataset import synthetic_records
    from test_recording_page import SIZE, moving_dot
    from test_spikes_page import synthetic_doc, write_page
    from zelq.viz import dataset
    from zelq.viz.recording_page import render_recording_html

    spike = write_page(tmp_path, synthetic_doc(np.ones((3, 3))))
    recording = tmp_path / "recording.html"
    recording.write_text(render_recording_html(rr.build_document(moving_dot(), SIZE), "Recording"), encoding="utf-8")
    table = tmp_path / "dataset.html"
    dataset.export_dataset_html(synthetic_records(5, 2), str(table), title="Set")
    graph = vd.write_page(tmp_path / "graph.html", vd.graph_doc(graphs.detector()), "Graph")
    button = {graph: "#btn-theme"}

    context = browser.new_context(color_scheme="light")
    page = context.new_page()
    errors = []
    page.on("pageerror", lambda e: errors.append(str(e)))

    def open_(path):
        page.goto(path.resolve().as_uri())
        page.wait_for_selector("html[data-state=ready], body[data-state=ready]", state="attached")
        return page.evaluate("[document.documentElement.getAttribute('data-theme'), getComputedStyle(document.body).backgroundColor]")

    try:
        page.goto(spike.resolve().as_uri())
        page.evaluate("localStorage.setItem('zelq-theme', '<img src=x onerror=alert(1)>')")
        assert open_(spike)[0] is None  # junk is no choice: the page follows the system
        light = {p: open_(p)[1] for p in (spike, recording, table, graph)}
        for first, then in ((spike, graph), (graph, recording), (recording, table), (table, spike)):
            before = open_(first)
            page.click(button.get(first, "#theme"))
            chosen = "light" if before[0] == "dark" else "dark"
            theme, background = open_(then)
            assert theme == chosen and (background == light[then]) == (chosen == "light"), (first, then)
        assert errors == []
    finally:
        context.close()
