"""The graph viewer page: template assembly, and the page itself in headless Chromium."""
import copy
import math
import os
import re
import shutil
from pathlib import Path

import numpy as np
import pytest

from tests.support import graphs
from tests.support import viewer_docs as vd

ROOT = Path(__file__).resolve().parents[2]
TEMPLATE = ROOT / "src" / "zelq" / "viz" / "templates" / "viewer.html"
SCREENSHOTS = ROOT / "docs" / "screenshots"



# ---------------------------------------------------------------- the template file

def test_committed_template_is_assembled_from_sources(build_pages):
    assert TEMPLATE.read_text(encoding="utf-8") == build_pages.build_viewer()


def test_template_placeholders_stand_only_in_the_skeleton():
    text = TEMPLATE.read_text(encoding="utf-8")
    assert text.count("{{DATA_JSON}}") == 1
    assert {"{{TITLE}}", "{{WIDTH}}", "{{HEIGHT}}"} <= {p for p in ("{{TITLE}}", "{{WIDTH}}", "{{HEIGHT}}") if p in text}
    # nothing that can leave the page: no remote URL in any attribute or script
    for needle in ("http://", "https://", "src=\"", "@import", "fetch(", "XMLHttpRequest"):
        assert needle not in text.replace("http://www.w3.org/2000/svg", "")


@pytest.mark.parametrize("bad", ['const s = "</script>";\n', "/* <!-- */\n", "const p = '{{TITLE}}';\n"])
def test_assembly_refuses_a_source_that_breaks_the_page(tmp_path, bad, build_pages):
    for f in (ROOT / "pages" / "viewer").iterdir():
        shutil.copy(f, tmp_path / f.name)
    (tmp_path / "viewer.js").write_text(bad, encoding="utf-8")
    with pytest.raises(SystemExit):
        build_pages.build_viewer(tmp_path)


# ---------------------------------------------------------------- the page

# The page's CSP refuses string evaluation, which a polled wait_for_function needs.
WAIT_READY = "() => new Promise(r => { const c = () => (window.zelqViewer && zelqViewer.ready ? r() : setTimeout(c, 5)); c(); })"


def _open(probe, path, fragment=""):
    page = probe.page
    page.goto(path.resolve().as_uri() + fragment)
    page.evaluate(WAIT_READY)
    return page


def _settle(page):
    page.evaluate("zelqViewer.idle()")


@pytest.fixture(scope="module")
def detector_doc():
    return vd.graph_doc(graphs.detector())


@pytest.fixture
def detector_page(tmp_path, detector_doc):
    return vd.write_page(tmp_path / "detector.html", detector_doc, "Detector")


def _shown_keys(page):
    return page.eval_on_selector_all("#graph .node, #graph .group", "els => els.map(e => e.getAttribute('data-key'))")


def test_page_draws_every_node_offline_and_quietly(page_probe, detector_page, detector_doc, artifacts_dir):
    page = _open(page_probe, detector_page)
    ids = [n["id"] for n in detector_doc["nodes"]]
    grouped = set(detector_doc["node_to_group"])
    assert detector_doc["groups"] and grouped
    # collapsed: every ungrouped node and one box per outermost group
    keys = _shown_keys(page)
    assert len(keys) == len(set(keys))
    assert {k[2:] for k in keys if k.startswith("n:")} == set(ids) - grouped
    boxes = {k[2:] for k in keys if k.startswith("g:")}
    assert boxes and boxes <= {g["id"] for g in detector_doc["groups"]}
    # expanded: every node of the document is an element of the drawing
    page.click("#btn-expand")
    _settle(page)
    keys = _shown_keys(page)
    assert sorted(k[2:] for k in keys) == sorted(ids) and all(k.startswith("n:") for k in keys)
    assert page.locator("#graph path.edge").count() == len({(e["source"], e["target"]) for e in detector_doc["edges"]})
    assert re.fullmatch(rf"{len(ids)} nodes · .* {len(ids)} shown \(svg\) · layout \d+ ms", page.text_content("#status"))
    assert page_probe.errors == []
    assert page_probe.external_requests(detector_page) == []


def test_group_expands_and_collapses_in_place(page_probe, detector_page, detector_doc):
    page = _open(page_probe, detector_page)
    box = page.locator("#graph .group").first
    gid = box.get_attribute("data-key")[2:]
    members = {n for n, g in detector_doc["node_to_group"].items() if g == gid}
    box.dblclick()
    _settle(page)
    keys = set(_shown_keys(page))
    assert "g:" + gid not in keys
    assert {"n:" + m for m in members} <= keys or page.locator("#graph .group").count() > 0
    head = page.locator(f'#graph .frame-head[data-key="f:{gid}"]')
    assert head.count() == 1
    before = page.evaluate("zelqViewer.stats()")["items"]
    head.click()
    _settle(page)
    assert "g:" + gid in set(_shown_keys(page))
    assert page.locator(f'#graph .frame-head[data-key="f:{gid}"]').count() == 0
    assert page.evaluate("zelqViewer.stats()")["items"] < before
    assert page_probe.errors == []


def _num(text):
    return float("nan") if text == "NaN" else float(text)


def test_node_click_shows_the_documents_statistics(page_probe, tmp_path):
    doc = vd.graph_doc(vd.mlp())
    path = vd.write_page(tmp_path / "mlp.html", doc)
    page = _open(page_probe, path)
    node = next(n for n in doc["nodes"] if n["id"] == "fc1")
    page.evaluate("zelqViewer.selectNode('fc1')")  # bring it into view
    _settle(page)
    page.locator('#graph [data-key="n:fc1"]').click()
    _settle(page)
    assert page.text_content("#panel-title") == "fc1"
    assert page.get_attribute("#panel", "data-view") == "node"
    for name, rec in node["params"].items():
        card = page.locator(f'#panel .param[data-param="{name}"]')
        meta = card.locator(".pmeta").text_content()
        assert rec["dtype"] in meta and f"[{', '.join(map(str, rec['shape']))}]" in meta
        for key, want in rec["stats"].items():
            cell = card.locator(f'[data-stat="{key}"]')
            assert _num(cell.get_attribute("data-value")) == want  # exact, as in the document
            assert math.isclose(_num(cell.text_content()), want, rel_tol=1e-5, abs_tol=1e-9)
        counts = [int(c) for c in card.locator("svg.hist").get_attribute("data-counts").split(",")]
        assert sum(counts) == rec["size"]
    # a 2-D weight gets a heat map, a 1-D bias does not
    assert page.locator('#panel .param[data-param="weight"] canvas.hm').count() == 1
    assert page.locator('#panel .param[data-param="bias"] canvas.hm').count() == 0
    assert page.text_content('#panel td.v[data-field="output_shape"]') == "[32]"
    assert page_probe.errors == []


def _hist_oracle(values, bins):
    """Equal-width bins over [min, max] of the finite values, the max in the last bin."""
    v = values[np.isfinite(values)]
    if v.size == 0:
        return [0] * bins
    lo, hi = v.min(), v.max()
    k = np.floor((v - lo) / (hi - lo) * bins).astype(np.int64) if hi > lo else np.zeros(v.size, np.int64)
    return np.bincount(np.minimum(k, bins - 1), minlength=bins).tolist()


def test_histogram_decode_matches_numpy_for_every_dtype(page_probe, tmp_path):
    rng = np.random.default_rng(7)
    base = rng.standard_normal(257) * 300
    arrays = {
        "f16": base.astype(np.float16),
        "f16_be": base.astype(">f2"),
        "f32": base.astype(np.float32),
        "f32_be": base.astype(">f4"),
        "f64_le": base.astype("<f8"),
        "f64_be": base.astype(">f8"),
        "i4_be": base.astype(">i4"),
        "i2": base.astype(np.int16),
        "i8": base.astype(np.int64),
        "u8": (base % 256).astype(np.uint8),
        "u2_be": np.abs(base).astype(">u2"),
        "u64": np.abs(base).astype(np.uint64),
        "i1": (base % 100).astype(np.int8),
        "bool": base > 0,
        "w2d": base[:256].reshape(16, 16).astype(np.float32),
        "special16": np.array([0.0, -0.0, 6.1e-5, 1e-7, 65504, -65504, np.inf], np.float16),
        "nan32": np.array([1.0, np.nan, np.inf, -2.0], np.float32),  # NaN stats reach the page as bare NaN
    }
    doc, nid = vd.with_dtypes(vd.graph_doc(vd.mlp()), arrays)
    path = vd.write_page(tmp_path / "dtypes.html", doc)
    page = _open(page_probe, path)
    recs = next(n for n in doc["nodes"] if n["id"] == nid)["params"]
    for name, arr in arrays.items():
        rec = recs[name]
        got = np.array(page.evaluate("r => zelqViewer.decode(r)", rec), dtype=np.float64)
        want = np.ascontiguousarray(arr).astype(np.float64).ravel()
        assert got.shape == want.shape, name
        np.testing.assert_array_equal(got, want, err_msg=name)
        h = page.evaluate("r => zelqViewer.histogram(r, 40)", rec)
        assert h["counts"] == _hist_oracle(want, 40), name
    # and the panel draws them without a console error
    page.evaluate(f"zelqViewer.selectNode({nid!r})")
    _settle(page)
    assert page.locator("#panel svg.hist").count() == len(arrays)
    nan_card = page.locator('#panel .param[data-param="nan32"]')
    assert [nan_card.locator(f'[data-stat="{k}"]').text_content() for k in ("min", "max", "mean", "std")] == ["NaN"] * 4
    # only the two finite values are binned: -2 first, 1 last
    assert nan_card.locator("svg.hist").get_attribute("data-counts") == ",".join(["1"] + ["0"] * 38 + ["1"])
    assert page_probe.errors == []


@pytest.mark.parametrize("how", ["slash", "ctrl-f"])
def test_search_finds_and_selects_a_node(page_probe, detector_page, how):
    page = _open(page_probe, detector_page)
    page.click("#stage", position={"x": 5, "y": 400})
    page.keyboard.press("/" if how == "slash" else "Control+f")
    assert page.evaluate("document.activeElement.id") == "search"
    page.keyboard.type("sk9")  # a node hidden inside the collapsed SPP group
    first = page.locator("#results div").first
    assert first.get_attribute("data-node") == "sk9"
    page.keyboard.press("Enter")
    _settle(page)
    assert page.evaluate("zelqViewer.selected()") == {"kind": "node", "id": "sk9"}
    assert page.text_content("#panel-title") == "sk9"
    assert page.locator('#graph [data-key="n:sk9"]').count() == 1  # its group opened
    assert page.evaluate("location.hash") == "#node=sk9"
    # config keys and values are searched too: every conv and pool has a padding
    page.fill("#search", "padding")
    assert page.locator("#results div[data-node]").count() == 12
    # a legend entry searches its type
    page.locator("#legend .item", has_text="SumPool2d").click()
    assert page.input_value("#search") == "SumPool2d"
    assert page.locator("#results div[data-node]").count() == 6
    # groups are found by label and pattern type
    page.fill("#search", "sppf")
    page.locator('#results div[data-group="sppf_0"]').dispatch_event("mousedown")
    _settle(page)
    assert page.evaluate("zelqViewer.selected()") == {"kind": "group", "id": "sppf_0"}
    assert page_probe.errors == []


def test_url_hash_selects_a_node(page_probe, detector_page):
    page = _open(page_probe, detector_page, "#node=il")
    _settle(page)
    assert page.evaluate("zelqViewer.selected()") == {"kind": "node", "id": "il"}
    assert page.text_content("#panel-title") == "il"
    page.evaluate("location.hash = '#node=' + encodeURIComponent('fp1')")
    page.evaluate("() => new Promise(r => { const c = () => (zelqViewer.selected().id === 'fp1' ? r() : setTimeout(c, 5)); c(); })")
    page.evaluate("location.hash = '#node=no-such-node'")
    page.wait_for_timeout(100)
    assert page.evaluate("zelqViewer.selected()")["id"] == "fp1"
    assert page_probe.errors == []


IMG = '<img src=x onerror="window.__pwned=2">'


def test_hostile_names_are_text_and_run_nothing(page_probe, tmp_path):
    doc = vd.graph_doc(vd.mlp(hostile=True), detect=False)
    # a hostile group: label, icon, subtitle and metadata as text, style values that are not colours
    doc["groups"] = [{"id": IMG, "type": vd.HOSTILE, "label": vd.HOSTILE, "subtitle": IMG, "nodes": ["lif0", "fc0"],
                      "entry_nodes": ["fc0"], "exit_nodes": ["lif0"], "metadata": {IMG: vd.HOSTILE},
                      "color": "red;background:url(https://example.invalid/x.png)", "shape": IMG, "icon": IMG,
                      "display_params": [IMG]}]
    doc["node_to_group"] = {"lif0": IMG, "fc0": IMG}
    for n in doc["nodes"]:
        if n["id"] in doc["node_to_group"]:
            n["group"] = IMG
        n["config"][IMG] = vd.HOSTILE
    path = vd.write_page(tmp_path / "hostile.html", doc, title=vd.HOSTILE)
    page = _open(page_probe, path, "#node=" + __import__("urllib.parse").parse.quote(vd.HOSTILE, safe=""))
    _settle(page)
    assert page.evaluate("window.__pwned") is None
    assert page.title() == vd.HOSTILE
    assert page.text_content("#panel-title") == vd.HOSTILE
    assert page.locator("#graph [data-key]").evaluate_all(
        "(els, h) => els.some(e => e.getAttribute('data-key') === 'n:' + h)", vd.HOSTILE)
    page.click("#btn-summary")
    assert vd.HOSTILE in page.text_content("#panel")
    page.fill("#search", "<script>")
    assert page.locator("#results div[data-node]").first.get_attribute("data-node") == vd.HOSTILE
    page.evaluate("zelqViewer.collapseAll()")
    group = page.locator("#graph .group")
    assert group.get_attribute("data-key") == "g:" + IMG
    assert group.locator("text.t1").text_content().startswith(IMG[:10])
    group.click(position={"x": 12, "y": 10})
    _settle(page)
    assert page.text_content("#panel-title") == IMG + " " + vd.HOSTILE
    assert IMG in page.text_content("#panel") and page.locator("#panel img").count() == 0
    assert page.locator("script").count() == 4  # the page's own: document, activity and measure data, code; nothing injected
    assert page.locator("img").count() == 0
    assert page.evaluate("window.__pwned") is None
    assert page_probe.errors == []
    assert page_probe.external_requests(path) == []


def test_large_graph_uses_canvas_and_draws_every_visible_node(page_probe, tmp_path):
    doc = vd.synthetic(3000, groups=False)
    path = vd.write_page(tmp_path / "big.html", doc)
    page = _open(page_probe, path)
    st = page.evaluate("zelqViewer.stats()")
    assert st["mode"] == "canvas" and st["items"] == len(doc["nodes"])
    page.evaluate("zelqViewer.overview()")
    page.wait_for_timeout(100)
    assert page.evaluate("zelqViewer.stats()")["drawn"] == len(doc["nodes"])
    # a click on the canvas picks the node under the pointer
    box = page.evaluate("zelqViewer.selectNode('n1500').then(() => zelqViewer.itemBox('n:n1500'))")
    page.mouse.click(box["x"], box["y"])
    _settle(page)
    assert page.text_content("#panel-title") == "n1500"
    assert page_probe.errors == []


def test_svg_export_holds_the_current_view(page_probe, detector_page):
    page = _open(page_probe, detector_page)
    page.click("#btn-expand")
    _settle(page)
    page.evaluate("zelqViewer.overview()")
    with page.expect_download() as dl:
        page.click("#btn-svg")
    assert dl.value.suggested_filename.endswith(".svg")
    text = page.evaluate("zelqViewer.lastExport.text")
    assert text.startswith("<svg") and 'data-key="n:sk13"' in text and "<script" not in text
    with page.expect_download() as dl:
        page.click("#btn-png")
    assert dl.value.suggested_filename.endswith(".png")
    assert page.evaluate("zelqViewer.lastExport.kind") == "png"
    assert page_probe.errors == []


@pytest.mark.parametrize("theme", ["light", "dark"])
def test_screenshots(browser, tmp_path, artifacts_dir, theme):
    doc = vd.graph_doc(vd.randomize(graphs.detector()))
    path = vd.write_page(tmp_path / "shot.html", doc, "Spiking detector")
    context = browser.new_context(viewport={"width": 1400, "height": 860}, color_scheme=theme)
    page = context.new_page()
    errors = []
    page.on("pageerror", lambda e: errors.append(str(e)))
    page.goto(path.resolve().as_uri() + "#node=rc3")
    page.evaluate(WAIT_READY)
    page.evaluate("zelqViewer.idle()")
    assert page.evaluate("document.documentElement.getAttribute('data-theme')") == theme
    page.wait_for_timeout(3000)  # the highlight pulse fades
    shot = artifacts_dir / f"viewer-{theme}.png"
    page.screenshot(path=str(shot))
    if os.environ.get("ZELQVIZ_UPDATE_SCREENSHOTS") == "1":
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)
        shutil.copy(shot, SCREENSHOTS / shot.name)
    context.close()
    assert errors == []


def test_keyboard_and_wheel_move_the_view(page_probe, detector_page):
    page = _open(page_probe, detector_page)
    page.click("#stage", position={"x": 5, "y": 400})
    view = lambda: page.evaluate("zelqViewer.stats().view")  # noqa: E731
    v0 = view()
    page.keyboard.press("+")
    assert view()["k"] == pytest.approx(v0["k"] * 1.25)
    page.keyboard.press("ArrowLeft")
    assert view()["tx"] > v0["tx"]
    page.keyboard.press("f")
    assert view() == pytest.approx(v0) or view()["k"] <= 1.4
    page.mouse.move(400, 400)
    k = view()["k"]
    page.mouse.wheel(0, -300)
    page.wait_for_timeout(50)
    assert view()["k"] > k
    page.mouse.move(300, 300)
    page.mouse.down()
    page.mouse.move(360, 340, steps=4)
    page.mouse.up()
    assert page.evaluate("zelqViewer.selected()") is None  # a drag pans, it does not select
    assert page_probe.errors == []


def test_expand_keeps_the_group_in_place(page_probe, detector_page):
    page = _open(page_probe, detector_page)
    gid = page.locator("#graph .group").first.get_attribute("data-key")[2:]
    before = page.evaluate(f"zelqViewer.itemBox('g:{gid}')")
    page.evaluate(f"zelqViewer.toggleGroup('{gid}', true)")
    head = page.locator(f'#graph .frame-head[data-key="f:{gid}"] text').bounding_box()
    # the frame's header sits where the collapsed box's top edge was
    assert abs(head["y"] - (before["y"] - before["h"] / 2)) < 20
    page.evaluate(f"zelqViewer.toggleGroup('{gid}', false)")
    after = page.evaluate(f"zelqViewer.itemBox('g:{gid}')")
    assert abs(after["y"] - before["y"]) < 2 and abs(after["x"] - before["x"]) < 60


def test_theme_toggle_flips_and_redraws(page_probe, detector_page):
    page = _open(page_probe, detector_page)
    first = page.evaluate("document.documentElement.getAttribute('data-theme')")
    fill = page.locator("#graph .node path.shape").first.get_attribute("fill")
    page.click("#btn-theme")
    assert page.evaluate("document.documentElement.getAttribute('data-theme')") == {"light": "dark", "dark": "light"}[first]
    assert page.locator("#graph .node path.shape").first.get_attribute("fill") != fill  # the stage colour followed
    assert page_probe.errors == []


def _random_graph(rng, n, m, back):
    """A random DAG over n nodes (edges go from lower to higher index) plus `back` reversed edges."""
    a = rng.integers(0, n - 1, m)
    b = a + 1 + rng.integers(0, np.maximum(1, np.minimum(n - 1 - a, 12)))
    b = np.minimum(b, n - 1)
    keep = a != b
    es, et = list(a[keep]), list(b[keep])
    for _ in range(back):
        u, v = sorted(rng.choice(n, 2, replace=False))
        es.append(v), et.append(u)  # closes a cycle through the forward edges, if any
    pairs = sorted(set(zip(map(int, es), map(int, et))))
    return [p[0] for p in pairs], [p[1] for p in pairs]


@pytest.mark.parametrize("n,m,back,warm", [(40, 60, 0, False), (300, 500, 5, False), (300, 500, 5, True), (2, 2, 1, False)])
def test_layout_keeps_layers_apart_and_edges_downward(page_probe, detector_page, n, m, back, warm):
    rng = np.random.default_rng(n + m + back)
    es, et = _random_graph(rng, n, m, back)
    w = (rng.integers(60, 200, n)).tolist()
    prev = rng.uniform(0, 1000, n).tolist() if warm else None
    page = _open(page_probe, detector_page)
    r = page.evaluate("""([n, es, et, w, prev]) => {
        const r = zelqLayout({n, w: Float64Array.from(w), h: new Float64Array(n).fill(40), es: Int32Array.from(es),
                              et: Int32Array.from(et), prevX: prev ? Float64Array.from(prev) : null, sweeps: 4, nodeGap: 20});
        return {x: Array.from(r.x), y: Array.from(r.y), rev: Array.from(r.reversed), pts: Array.from(r.pts), off: Array.from(r.ptsOff)};
    }""", [n, es, et, w, prev])
    x, y, rev = np.array(r["x"]), np.array(r["y"]), np.array(r["rev"], bool)
    # no two boxes of one layer overlap, with the gap kept
    for level in np.unique(y):
        idx = np.flatnonzero(y == level)
        idx = idx[np.argsort(x[idx])]
        gaps = np.diff(x[idx]) - (np.array(w)[idx][:-1] + np.array(w)[idx][1:]) / 2
        assert (gaps >= 20 - 1e-6).all()
    # every edge points down the page unless it was reversed to break a cycle
    s, t = np.array(es), np.array(et)
    assert (y[t][~rev] > y[s][~rev]).all()
    assert (y[t][rev] < y[s][rev]).all()
    assert rev.sum() <= back
    # polylines run from the source's border to the target's border
    pts = np.array(r["pts"]).reshape(-1, 2)
    off = r["off"]
    for i in range(len(es)):
        p0, p1 = pts[off[i]], pts[off[i + 1] - 1]
        assert p0[0] == pytest.approx(x[s[i]]) and p1[0] == pytest.approx(x[t[i]])
        assert abs(p0[1] - y[s[i]]) == pytest.approx(20) and abs(p1[1] - y[t[i]]) == pytest.approx(20)


def test_cycles_self_loops_and_dangling_edges_still_draw(page_probe, tmp_path):
    g = vd.mlp()
    g.edges += [("lif2", "fc0"), ("lif0", "lif0"), ("lif0", "ghost")]  # recurrence, self-loop, unknown end
    doc = vd.graph_doc(g)
    path = vd.write_page(tmp_path / "cyclic.html", doc)
    page = _open(page_probe, path)
    keys = _shown_keys(page)
    assert sorted(k[2:] for k in keys) == sorted(n["id"] for n in doc["nodes"])
    assert page.locator("#graph path.edge.back").count() == 1
    assert page_probe.errors == []


def test_hover_card_names_the_node_under_the_pointer(page_probe, detector_page):
    page = _open(page_probe, detector_page)
    box = page.evaluate("zelqViewer.itemBox('n:stem')")
    page.mouse.move(box["x"], box["y"])
    page.wait_for_timeout(80)
    assert page.is_visible("#tip")
    assert page.text_content("#tip b") == "stem"
    assert "LIF" in page.text_content("#tip span")
    page.mouse.move(box["x"] + 3 * box["w"], box["y"])
    page.wait_for_timeout(80)
    assert not page.is_visible("#tip")


def _title(g):
    """A group's title in plain words: counts with singular or plural nouns, a skip by its depth."""
    md, n = g["metadata"], lambda k, one, many: f"{k} {one if k == 1 else many}"
    if g["type"] == "RepConv":
        return f"RepConv ({n(len(md['branches']), 'branch', 'branches')})"
    if g["type"] == "SPP":
        return f"SPP ({n(md['num_scales'], 'scale', 'scales')})"
    if g["type"] == "SkipConnection":
        return f"Skip (depth {md['processing_depth']})"
    return g["label"]


def test_group_panel_and_summary_show_the_document(page_probe, detector_page, detector_doc):
    page = _open(page_probe, detector_page)
    s = detector_doc["summary"]
    assert page.get_attribute("#panel", "data-view") == "summary"
    got = {k: page.text_content(f'#panel [data-summary="{k}"]') for k in ("node_count", "edge_count")}
    assert got == {"node_count": str(s["node_count"]), "edge_count": str(s["edge_count"])}
    panel = page.text_content("#panel")
    assert f"{s['total_params']:,} parameters" in panel and detector_doc["version"] in panel
    for t, c in s["node_counts"].items():
        assert page.locator(f'#panel tr[data-type="{t}"] td.v').text_content() == str(c)
    for io in s["inputs"] + s["outputs"]:
        assert page.locator(f'#panel a[href="#node={io["id"]}"]').count() >= 1
    # a single click on a group box opens its panel
    box = page.locator("#graph .group").first
    gid = box.get_attribute("data-key")[2:]
    g = next(x for x in detector_doc["groups"] if x["id"] == gid)
    b = page.evaluate(f"zelqViewer.itemBox('g:{gid}')")
    page.mouse.click(b["x"] - b["w"] / 4, b["y"])
    _settle(page)
    assert page.get_attribute("#panel", "data-view") == "group"
    assert page.text_content("#panel-title") == f"{g['icon']} {_title(g)}"
    text = page.text_content("#panel")
    assert g["subtitle"] in text and g["type"] in text
    links = page.locator("#panel .links a").evaluate_all("els => els.map(e => e.textContent)")
    assert set(g["nodes"]) <= set(links) and set(g["entry_nodes"]) | set(g["exit_nodes"]) <= set(links)
    for k in g["metadata"]:
        assert page.locator("#panel tr", has_text=k).count() >= 1
    assert page.evaluate("location.hash") == "#group=" + gid
    page.click("#group-toggle")
    _settle(page)
    assert page.locator(f'#graph .frame-head[data-key="f:{gid}"]').count() == 1
    assert page_probe.errors == []


def test_expand_reorders_only_the_layers_it_touches(page_probe, tmp_path):
    doc = vd.synthetic(600)
    path = vd.write_page(tmp_path / "blocks.html", doc)
    page = _open(page_probe, path)
    first = page.evaluate("zelqViewer.stats()")
    assert first["reordered"] == first["layers"]  # a first layout orders every layer
    far = ("n:n0", "g:g90")
    before = {k: page.evaluate(f"zelqViewer.itemBox('{k}')")["x"] for k in far}
    page.evaluate("zelqViewer.toggleGroup('g50', true)")
    st = page.evaluate("zelqViewer.stats()")
    assert st["items"] == first["items"] + 4  # one box became five nodes
    assert 0 < st["reordered"] <= 10 < st["layers"]
    # far away from the change nothing moved sideways relative to each other (the view may pan)
    after = {k: page.evaluate(f"zelqViewer.itemBox('{k}')")["x"] for k in far}
    assert after["g:g90"] - after["n:n0"] == pytest.approx(before["g:g90"] - before["n:n0"], abs=0.5)
    assert page_probe.errors == []


@pytest.mark.parametrize("breakage", ["window.Worker = undefined;",
                                      "window.Worker = function () { throw new Error('blocked'); };"])
def test_page_lays_out_without_a_worker(page_probe, detector_page, detector_doc, breakage):
    page_probe.page.add_init_script(breakage)
    page = _open(page_probe, detector_page)
    page.click("#btn-expand")
    _settle(page)
    assert len(_shown_keys(page)) == len(detector_doc["nodes"])
    assert page_probe.errors == []


def test_page_lays_out_when_the_worker_dies(page_probe, detector_page, detector_doc):
    # a worker that starts, then fails on its first message
    page_probe.page.add_init_script("""(() => { const W = window.Worker;
        window.Worker = function (url) { const w = new W(URL.createObjectURL(new Blob(
            ["onmessage = () => { throw new Error('worker crashed'); };"], {type: 'text/javascript'}))); return w; };
    })();""")
    page = _open(page_probe, detector_page)
    page.click("#btn-expand")
    _settle(page)
    assert len(_shown_keys(page)) == len(detector_doc["nodes"])


def test_odd_documents_show_what_they_have(page_probe, tmp_path):
    """Records with missing or unexpected values (the page reads what outside tables put there)."""
    good = vd.graph_doc(vd.mlp(), detect=False)
    nodes = [
        {"id": "bare"},
        {"id": "odd", "type": 7, "input_shape": {"x": 1}, "output_shape": 5, "params": {"w": None, "b": {"dtype": "float32"},
         "bad64": {"shape": [3], "dtype": "float32", "data": "%%%", "stats": {}, "size": 3},
         "obj": {"shape": [1], "dtype": "|O", "data": "", "stats": {"min": "x"}, "size": 1}},
         "config": {"nested": {"a": [1, float("inf")]}, "none": None}, "param_count": None, "color": "not a colour",
         "shape": "no-such-shape", "display_params": [None, 3, "nested"]},
        {"id": "long" * 100, "type": "Affine", "params": {}, "config": {}, "color": "hsl(200 60% 50%)", "shape": "DIAMOND",
         "display_params": []},
        *good["nodes"][:3],
    ]
    doc = {"version": None, "nodes": nodes, "edges": [{"source": "bare", "target": "odd"}, {"source": "odd", "target": "nowhere"},
           {"source": "odd", "target": "long" * 100}], "metadata": {"x": [1, 2]}, "summary": {},
           "groups": [{"id": 1, "type": None, "nodes": "not a list"}, {"id": "g2", "nodes": ["bare", "odd"]}],
           "node_to_group": {"odd": 1, "ghost": "g2"}}
    path = vd.write_page(tmp_path / "odd.html", doc)
    page = _open(page_probe, path)
    page.click("#btn-expand")
    _settle(page)
    assert sorted(k[2:] for k in _shown_keys(page)) == sorted(n["id"] for n in nodes)
    for nid in ("bare", "long" * 100, "odd"):
        page.evaluate("id => zelqViewer.selectNode(id)", nid)
        _settle(page)
        assert page.text_content("#panel-title") == nid
        assert "undefined" not in page.text_content("#panel")
    # the odd node: each broken parameter says what it lacks, the others still show
    assert page.locator("#panel .param").count() == 4
    assert "Could not decode" in page.locator('#panel [data-param="bad64"]').text_content()
    assert "No histogram for dtype |O" in page.locator('#panel [data-param="obj"]').text_content()
    assert page.text_content('#panel td.v[data-field="output_shape"]') == "5"
    page.click("#btn-summary")
    page.click("#btn-svg")
    assert page_probe.errors == []


def _state(page):
    page.evaluate("() => new Promise(r => { const c = () => (document.body.dataset.state !== 'loading' ? r() :"
                  " setTimeout(c, 5)); c(); })")
    return page.get_attribute("body", "data-state")


@pytest.mark.parametrize("case, message", [
    ("cut", "The document is not valid JSON: "),
    ("key", 'Not a viewer document: the key "summary" is missing.'),
    ("kind", 'Not a viewer document: "edges" is an object, not an array.'),
    ("blank", "No document: the page's data element is empty."),
    ("empty graph", None),
])
def test_a_broken_document_says_so_and_draws_nothing(page_probe, tmp_path, case, message):
    doc = vd.graph_doc(vd.mlp(), detect=False)
    if case == "key":
        del doc["summary"]
    elif case == "kind":
        doc["edges"] = {}
    elif case == "empty graph":
        doc.update(nodes=[], edges=[])
    html = vd.render.render_html(doc, "broken")
    start = html.index("<!--", html.index('id="zelq-doc"')) + len("<!--")
    if case == "cut":  # a page file cut short inside its document
        html = html[: start + len(html[start:]) // 2]
    elif case == "blank":
        html = html[:start] + html[html.index("--></div>", start):]
    path = tmp_path / "broken.html"
    path.write_text(html, encoding="utf-8")
    page = page_probe.open(path)
    if message is None:  # a valid document without nodes is an empty graph, not an error
        assert _state(page) == "ready" and page.text_content("#status").startswith("0 nodes")
        return
    assert _state(page) == "error"
    box = page.locator("#doc-error")
    assert box.is_visible() and message in box.text_content()
    assert page.locator("#graph, canvas.scene, #panel > *").count() == 0
    assert not page.locator("#legend").is_visible()


def test_summarised_tensors_open_with_every_node_and_say_what_was_left_out(page_probe, tmp_path):
    doc = vd.graph_doc(vd.mlp(), detect=False)
    w = np.random.default_rng(3).standard_normal((200, 3, 5)).astype(np.float32)
    w[:4] = np.nan  # the first heat-map row has no finite value: it stays empty
    fc = next(n for n in doc["nodes"] if n["id"] == "fc1")
    for n in doc["nodes"]:
        for k, v in list(n.get("params", {}).items()):
            n["params"][k] = vd.summarise(w if n is fc and k == "weight" else vd.encode.decode_array(v), "size limit")
    # non-finite numbers and look-alikes inside strings survive the page's parse
    doc["metadata"] = {"odd": ['"NaN" -Infinity \\"', float("-inf"), float("nan")]}
    path = vd.write_page(tmp_path / "summary.html", doc)
    page = _open(page_probe, path)
    assert sorted(k[2:] for k in _shown_keys(page)) == sorted(n["id"] for n in doc["nodes"])
    assert page.evaluate("String(DOC.metadata.odd)") == '"NaN" -Infinity \\",-Infinity,NaN'
    page.evaluate("zelqViewer.selectNode('fc1')")
    _settle(page)
    card = page.locator('#panel .param[data-param="weight"]')
    assert card.locator(".omitted").text_content().startswith(f"Raw values left out of this page ({w.nbytes / 1024:.1f} KB): size limit.")
    rec = fc["params"]["weight"]
    counts = [int(c) for c in card.locator("svg.hist").get_attribute("data-counts").split(",")]
    assert counts == rec["histogram"]["counts"] and sum(counts) == np.isfinite(w).sum()
    hm = card.locator("canvas.hm")
    assert hm.evaluate("c => [c.width, c.height]") == [rec["heatmap"]["cols"], rec["heatmap"]["rows"]] == [15, 50]
    assert hm.evaluate("c => Array.from(c.getContext('2d').getImageData(0, 0, 1, 1).data)") == [128, 128, 128, 255]
    assert "Heat map 200 \u00d7 15 (block means 50 \u00d7 15)" in card.text_content()


def _children(ids, module):
    """The child paths of a module, read off the identifiers ("a.b" and "a/b" alike)."""
    depth = len(module.replace("/", ".").split("."))
    return {".".join(i.replace("/", ".").split(".")[: depth + 1]) for i in ids if i.startswith(module + ".")}


def test_deep_model_reads_as_its_module_tree(page_probe, tmp_path, artifacts_dir):
    doc = vd.graph_doc(graphs.yolo_like())
    ids = [n["id"] for n in doc["nodes"]]
    assert 250 <= len(ids) <= 330
    path = vd.write_page(tmp_path / "deep.html", doc, "YOLO-like")
    page = _open(page_probe, path)
    # the default view: the model's top-level modules, a short list, still legible
    keys = set(_shown_keys(page))
    assert len(keys) <= 40
    tops = _children(ids, "model")
    assert {k[2:] for k in keys if k.startswith("g:")} <= tops
    assert {"g:model.2", "g:model.9", "g:model.22"} <= keys
    # identical groups are listed once, each by the module that holds it
    skips = [g for g in doc["groups"] if g["type"] == "SkipConnection"]
    places = sorted(".".join(os.path.commonprefix([m.split(".") for m in g["nodes"]])) for g in skips)
    entry = page.locator("#panel .gkind", has_text="Skip")
    assert entry.count() == 1 and f"\u00d7 {len(skips)}" in entry.locator(".gname").text_content()
    assert sorted(entry.locator(".links a").all_text_contents()) == places
    inside = [n for n in doc["nodes"] if n["id"].startswith("model.0.")]
    line2 = page.text_content('#graph [data-key="g:model.0"] .t2')
    assert line2 == f"{len(inside)} nodes \u00b7 {sum(n['param_count'] for n in inside)} params"
    page.wait_for_timeout(500)
    page.screenshot(path=str(artifacts_dir / "viewer-modules.png"))
    # one module opens one level: its children, each a module box of its own here
    page.evaluate("zelqViewer.toggleGroup('model.4', true)")
    _settle(page)
    keys = set(_shown_keys(page))
    assert "g:model.4" not in keys
    assert {k[2:] for k in keys if k.startswith(("g:model.4", "n:model.4"))} == _children(ids, "model.4")
    # a stacking join says so, a summing one does not
    page.evaluate("zelqViewer.toggleGroup('model.4.cv2', true)")
    page.evaluate("zelqViewer.toggleGroup('model.4.m.0', true)")
    _settle(page)
    fan_in = sum(e["target"] == "model.4.cv2.conv" for e in doc["edges"])
    mark = page.locator('#graph [data-key="n:model.4.cv2.conv"] .stack-mark').text_content()
    assert fan_in > 2 and mark.endswith(f"stacks {fan_in} on axis 0")
    assert page.locator('#graph [data-key="n:model.4.m.0.add"]').count() == 1
    assert page.locator('#graph [data-key="n:model.4.m.0.add"] .stack-mark').count() == 0
    # everything open: every node drawn, labels no smaller than 9 screen px
    page.click("#btn-expand")
    _settle(page)
    assert sorted(k[2:] for k in _shown_keys(page)) == sorted(ids)
    px = page.evaluate("""() => [...document.querySelectorAll('#graph .node text')].slice(0, 50)
        .map(t => parseFloat(t.getAttribute('font-size')) * t.getScreenCTM().a)""")
    assert px and min(px) >= 9
    page.wait_for_timeout(500)
    page.screenshot(path=str(artifacts_dir / "viewer-modules-expanded.png"))
    if os.environ.get("ZELQVIZ_UPDATE_SCREENSHOTS") == "1":
        for name in ("viewer-modules.png", "viewer-modules-expanded.png"):
            shutil.copy(artifacts_dir / name, SCREENSHOTS / name)
    # left to right, kept across a reload
    page.click("#btn-orient")
    _settle(page)
    a, b = (page.evaluate(f"zelqViewer.itemBox('n:{k}')") for k in ("model.0.conv", "model.0.act"))
    assert b["x"] - a["x"] > abs(b["y"] - a["y"])
    page.reload()
    page.evaluate(WAIT_READY)
    assert page.evaluate("zelqViewer.orient()") == "LR"
    assert page_probe.errors == []


@pytest.mark.parametrize("parents,shown", [
    ({}, {"spp_0", "sppf_0"}),
    ({"spp_0": "sppf_0"}, {"sppf_0"}),                      # nested as the document says, not by members
    ({"spp_0": "spp_0"}, {"spp_0", "sppf_0"}),              # itself: top level
    ({"spp_0": "no such group"}, {"spp_0", "sppf_0"}),
    ({"spp_0": "sppf_0", "sppf_0": "spp_0"}, {"spp_0"}),    # a loop is cut once
])
def test_group_nesting_comes_from_the_records(page_probe, tmp_path, detector_doc, parents, shown):
    doc = copy.deepcopy(detector_doc)
    for grp in doc["groups"]:
        grp["parent"] = parents.get(grp["id"], grp["parent"])
    page = _open(page_probe, vd.write_page(tmp_path / "nest.html", doc))
    boxes = {k[2:] for k in _shown_keys(page) if k.startswith("g:")}
    assert boxes & {"spp_0", "sppf_0"} == shown
    page.evaluate("zelqViewer.expandAll()")
    _settle(page)
    assert page_probe.errors == []


# ---------------------------------------------------------------- edge shape labels

# The browser's own geometry of what is drawn: every label's text box (getBBox) probed
# along its rim at 1 px steps with isPointInStroke of every edge path whose box meets it.
CROSSINGS = """() => {
  const paths = [...document.querySelectorAll('#graph path.edge')].map(p => [p, p.getBBox()]);
  const hits = [], labels = document.querySelectorAll('#graph text.edge-label');
  for (const t of labels) {
    const b = t.getBBox();
    for (const [p, e] of paths) {
      if (e.x > b.x + b.width + 2 || e.x + e.width < b.x - 2 || e.y > b.y + b.height + 2 || e.y + e.height < b.y - 2) continue;
      // An edge that enters the box crosses its rim (none ends inside a label).
      const x0 = b.x + 0.5, y0 = b.y + 0.5, x1 = b.x + b.width - 0.5, y1 = b.y + b.height - 0.5, rim = [];
      for (let x = x0; x <= x1; x += 1) rim.push([x, y0], [x, y1]);
      for (let y = y0; y <= y1; y += 1) rim.push([x0, y], [x1, y]);
      const hit = rim.some(([x, y]) => p.isPointInStroke(new DOMPoint(x, y)));
      if (hit) hits.push([t.textContent, Math.round(b.x), Math.round(b.y), p.getAttribute('d').slice(0, 80)]);
    }
  }
  return { labels: labels.length, hits };
}"""


# Each label's box lies inside a plate, and the plates are painted after the edges in the stage's colour.
PLATES = """() => {
  const plates = document.querySelector('#graph path.edge-plates');
  if (!plates) return null;
  const rects = plates.getAttribute('d').split('M').filter(Boolean).map(s => s.match(/-?[\\d.]+/g).map(Number));
  const inside = [...document.querySelectorAll('#graph text.edge-label')].every(t => { const b = t.getBBox();
    return rects.some(([x0, y0, x1, y1]) => x0 <= b.x && b.x + b.width <= x1 && y0 <= b.y + 1 && b.y + b.height - 1 <= y1); });
  const edges = document.querySelector('#graph g.edges');
  return { inside, above: !!(edges.compareDocumentPosition(plates) & Node.DOCUMENT_POSITION_FOLLOWING),
           fill: getComputedStyle(plates).fill, stage: getComputedStyle(document.getElementById('stage')).backgroundColor };
}"""


# Layouts and themes together: the theme changes the plates' colour, not where labels go.
@pytest.mark.parametrize("graph, orient, theme", [("detector", "TB", "light"), ("detector", "LR", "dark"),
                                                  ("yolo_like", "TB", "dark"), ("yolo_like", "LR", "light")])
def test_no_edge_runs_through_a_shape_label(browser, tmp_path, graph, orient, theme):
    path = vd.write_page(tmp_path / "g.html", vd.graph_doc(getattr(graphs, graph)()), graph)
    context = browser.new_context(viewport={"width": 1280, "height": 800}, color_scheme=theme)
    page = context.new_page()
    try:
        page.goto(path.as_uri())
        page.evaluate(WAIT_READY)
        for step in ("collapsed", "expanded"):
            if step == "expanded":
                page.evaluate("zelqViewer.expandAll()")
            page.evaluate(f"zelqViewer.setOrient('{orient}')")
            page.evaluate("zelqViewer.idle()")
            assert page.evaluate("zelqViewer.stats().mode") == "svg"
            got = page.evaluate(CROSSINGS)
            assert got["labels"] >= 3 and got["hits"] == [], (step, got)
            plates = page.evaluate(PLATES)
            assert plates["inside"] and plates["above"] and plates["fill"] == plates["stage"], (step, plates)
    finally:
        context.close()
