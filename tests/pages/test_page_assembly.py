"""The spike, recording and dataset pages are assembled in one shared frame."""
from pathlib import Path

import pytest

from tests.support.browser import wait_until

ROOT = Path(__file__).resolve().parents[2]
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

    from tests.support import graphs
    from tests.support import recording_oracle as rr
    from tests.support import viewer_docs as vd
    from tests.dataset.test_dataset import synthetic_records
    from tests.recording_page.test_recording_page import SIZE, moving_dot
    from tests.spikes.test_spike_viewer_page import synthetic_doc, write_page
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


def test_box_colours_of_the_pages_are_the_video_writers():
    import re

    from zelq.viz import video
    text = (ROOT / "src" / "zelq" / "viz" / "templates" / "recording.html").read_text(encoding="utf-8")
    listed = re.search(r"LIST = \[([^\]]*)\]", text).group(1)
    assert [tuple(int(h[i:i + 2], 16) for i in (1, 3, 5)) for h in re.findall(r'"(#[0-9a-f]{6})"', listed)] == \
        [tuple(c) for c in video.CLASS_COLOURS]


PROBES = {  # a part that notes which of its page's hooks were called
    "recording": ('//@raster.js@', 'ZParts.add("probe", () => { const calls = window.zelqProbe = []; return {'
                  ' draw: () => calls.push("draw"), show: (s) => calls.push("show " + s.length),'
                  ' overlay: (ctx, sx, sy, s) => calls.push("overlay " + s.length), recolour: () => calls.push("recolour"),'
                  ' start: () => { calls.push("start"); }, key: (k) => k === "p" && calls.push("key") > 0 }; });\n'),
    "viewer": ('//@viewer.js@', 'ZParts.add("probe", (page) => { const calls = window.zelqProbe = [];'
               ' return { select: (k) => calls.push("select " + k), theme: (t) => calls.push("theme " + t),'
               ' ready: () => calls.push("ready " + page.scene.items.length) }; });\n'),
}


@pytest.mark.parametrize("page", ["recording", "viewer"])
def test_a_new_part_is_one_file_and_one_marker_line(tmp_path, build_pages, monkeypatch, page_probe, page):
    import shutil

    from tests.support import graphs
    from tests.support import viewer_docs as vd
    from zelq.viz import pagefiles
    from zelq.viz import render as R

    src = tmp_path / "src"
    shutil.copytree(ROOT / "pages" / page, src)
    anchor, code = PROBES[page]
    (src / "probe.js").write_text(code, encoding="utf-8")
    listing = src / ("recording.js" if page == "recording" else "viewer.html")
    text = listing.read_text(encoding="utf-8")
    assert text.count(anchor + "\n") == 1
    # after the recording's last part; before the viewer's wiring, which makes the parts
    mark = anchor + "\n//@probe.js@\n" if page == "recording" else "//@probe.js@\n" + anchor + "\n"
    listing.write_text(text.replace(anchor + "\n", mark), encoding="utf-8")
    html = getattr(build_pages, "build_" + page)(src)
    out = tmp_path / "page.html"
    if page == "recording":
        from tests.support import recording_oracle as rr
        from tests.recording_page.test_recording_page import SIZE, dot_boxes, moving_dot
        from zelq.viz.recording_page import render_recording_html
        real = pagefiles.template
        monkeypatch.setattr(pagefiles, "template", lambda name: html if name == "recording.html" else real(name))
        out.write_text(render_recording_html(rr.build_document(moving_dot(), SIZE, boxes=dot_boxes(), classes=["car", "ped"]),
                                             "Probe"), encoding="utf-8")
    else:
        (tmp_path / "templates").mkdir()
        (tmp_path / "templates" / "viewer.html").write_text(html, encoding="utf-8")
        monkeypatch.setattr(R, "TEMPLATES_DIR", tmp_path / "templates")
        vd.write_page(out, vd.graph_doc(graphs.detector()), "Probe")
    p = page_probe.open(out)
    p.wait_for_selector("html[data-state=ready], body[data-state=ready]", state="attached", timeout=15_000)
    if page == "recording":
        p.keyboard.press("ArrowRight")
        p.keyboard.press("p")
        p.select_option("#palette", index=1)
        wait_until(p, "() => document.getElementById('frame').dataset.step === '1'")
        want = {"start", "draw", "show 2", "overlay 2", "key", "recolour"}
    else:
        shown = p.evaluate("zelqViewer.stats().items")
        node = p.eval_on_selector("#graph .node", "e => e.getAttribute('data-key').slice(2)")
        p.evaluate("id => zelqViewer.selectNode(id)", node)
        p.evaluate("zelqViewer.idle()")
        p.click("#btn-theme")
        p.keyboard.press("Escape")
        theme = p.evaluate("document.documentElement.dataset.theme")
        want = {f"ready {shown}", "select n", "theme " + theme, "select null"}
    calls = p.evaluate("window.zelqProbe")
    assert want <= set(calls), calls
    assert page_probe.errors == []
