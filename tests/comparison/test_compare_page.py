"""The comparison page in headless Chromium: marks, the list of changes, filters and both sides in the panel."""
import os
import shutil
from pathlib import Path

import numpy as np
import pytest

from tests.support import viewer_docs as vd
from zelq import ir
from zelq.viz import compare, compare_html, show
from zelq.viz import render as R
from zelq.viz.cli import main as cli

ROOT = Path(__file__).resolve().parents[2]
SCREENSHOTS = ROOT / "docs" / "screenshots"
WAIT_READY = "() => new Promise(r => { const c = () => (window.zelqViewer && zelqViewer.ready ? r() : setTimeout(c, 5)); c(); })"
HOSTILE = '<img src=x onerror="window.__pwned=1">"\'&'


def models():
    """An MLP and its edit: fc0 retrained a little, fc1 a lot, lif1 retyped, lif2 removed, a hostile node added."""
    a = vd.randomize(vd.mlp())
    rng = np.random.default_rng(5)
    nodes = dict(a.nodes)
    w0, w1 = a.nodes["fc0"].weight, a.nodes["fc1"].weight
    nodes["fc0"] = ir.Affine(w0 + rng.standard_normal(w0.shape).astype(np.float32) * 1e-4, a.nodes["fc0"].bias)
    nodes["fc1"] = ir.Affine(w1 + rng.standard_normal(w1.shape).astype(np.float32) * 0.2, a.nodes["fc1"].bias)
    nodes["lif1"] = ir.IF(a.nodes["lif1"].r, a.nodes["lif1"].v_threshold)
    del nodes["lif2"]
    nodes[HOSTILE] = ir.LI(np.ones(10, np.float32))
    edges = [e for e in a.edges if "lif2" not in e] + [("fc2", HOSTILE), (HOSTILE, "out")]
    return a, ir.Graph(nodes=nodes, edges=edges, metadata={"name": "after"})


def open_page(browser, path, theme="light"):
    context = browser.new_context(viewport={"width": 1400, "height": 860}, color_scheme=theme)
    page = context.new_page()
    errors, requests = [], []
    page.on("pageerror", lambda e: errors.append(str(e)))
    page.on("console", lambda m: m.type == "error" and errors.append(m.text))
    page.on("request", lambda r: requests.append(r.url))
    page.goto(path.resolve().as_uri())
    page.evaluate(WAIT_READY)
    page.evaluate("zelqViewer.idle()")
    return context, page, errors, requests


def test_page_marks_lists_and_steps_through_changes(browser, tmp_path):
    a, b = models()
    expected = compare(a, b)
    path = tmp_path / "diff.html"
    path.write_text(compare_html(a, b), encoding="utf-8")
    context, page, errors, requests = open_page(browser, path)
    status = page.evaluate("ids => ids.map(zelqCompare.status)", [*a.nodes, HOSTILE])
    want = {k: "removed" if k in expected["removed"] else "added" if k in expected["added"]
            else "changed" if k in expected["changed"] else "unchanged" for k in [*a.nodes, HOSTILE]}
    assert dict(zip([*a.nodes, HOSTILE], status)) == want
    # Largest first: the retyped node, then by rel_l2, then the added and removed ones.
    listed = page.evaluate("zelqCompare.list()")
    rel = {k: max(p["rel_l2"] for p in c["params"].values() if "rel_l2" in p)
           for k, c in expected["changed"].items() if "type" not in c}
    assert listed[0] == "lif1" and listed[1:1 + len(rel)] == sorted(rel, key=rel.get, reverse=True)
    assert set(listed[1 + len(rel):]) == {"lif2", HOSTILE}
    colours = page.evaluate("ids => ids.map(zelqCompare.colour)", ["fc0", "fc1", "in"])
    assert len(set(colours)) == 3
    # The size of change is also one of the page's measures.
    options = page.eval_on_selector_all("#act-measure option", "os => os.map(o => o.textContent)")
    assert options[0] == "Colour: changes" and "Measure: rel_l2" in options
    # Stepping moves the selection and the panel shows both sides of each changed tensor.
    page.evaluate("zelqCompare.step(1)")
    page.evaluate("zelqCompare.step(1)")
    page.evaluate("zelqViewer.idle()")
    assert page.evaluate("zelqViewer.selected()") == {"kind": "node", "id": listed[1]}
    card = "#panel section.cmp .cparam[data-param='weight']"
    assert page.eval_on_selector_all(card + " svg.hist", "els => els.length") == 3  # a, b, b - a
    assert page.eval_on_selector_all(card + " canvas.hm", "els => els.length") == 1
    # Filters narrow the list and dim what they leave out.
    page.evaluate("zelqCompare.setFilter({type: 'Affine'})")
    assert page.evaluate("zelqCompare.list()") == [k for k in listed if k.startswith("fc")]
    page.evaluate("zelqCompare.setFilter({type: '', changedOnly: true})")
    assert page.evaluate("zelqCompare.list()") == listed
    page.evaluate(f"zelqViewer.selectNode({HOSTILE!r})")
    assert page.evaluate("document.querySelectorAll('img').length") == 0
    assert page.evaluate("window.__pwned") is None
    assert errors == [] and all(u.startswith(("file:", "data:", "blob:")) for u in requests)
    context.close()


def test_page_keeps_differences_when_payloads_are_summarised(browser, tmp_path, monkeypatch):
    a, b = models()
    full = len(compare_html(a, b))
    monkeypatch.setattr(R, "_MAX_PAGE_CHARS", full - 1000)  # the largest tensors are summarised
    page_text = compare_html(a, b)
    assert '"omitted"' in page_text
    path = tmp_path / "summarised.html"
    path.write_text(page_text, encoding="utf-8")
    context, page, errors, _ = open_page(browser, path)
    page.evaluate("zelqViewer.selectNode('fc1')")
    page.evaluate("zelqViewer.idle()")
    card = "#panel section.cmp .cparam[data-param='weight']"
    assert page.eval_on_selector_all(card + " svg.hist", "els => els.length") == 3
    assert page.eval_on_selector_all(card + " canvas.hm", "els => els.length") == 1
    assert errors == []
    context.close()


@pytest.mark.parametrize("theme", ["light"])
def test_cli_writes_the_page_and_its_screenshot(browser, tmp_path, artifacts_dir, theme, capsys):
    a, b = models()
    ir.write(tmp_path / "before.zelq", a)
    ir.write(tmp_path / "after.zelq", b)
    out = tmp_path / "diff.html"
    assert cli(["diff", str(tmp_path / "before.zelq"), str(tmp_path / "after.zelq"), "-o", str(out), "-q"]) == 0
    assert capsys.readouterr().out.strip() == str(out)
    assert show(out).kind == "graph"  # notebooks show it as the graph page it is
    context, page, errors, _ = open_page(browser, out, theme)
    page.evaluate("zelqCompare.step(1); zelqCompare.step(1)")
    page.evaluate("zelqViewer.idle()")
    page.wait_for_timeout(2500)  # the highlight pulse fades
    shot = artifacts_dir / "compare.png"
    page.screenshot(path=str(shot))
    if os.environ.get("ZELQVIZ_UPDATE_SCREENSHOTS") == "1":
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)
        shutil.copy(shot, SCREENSHOTS / shot.name)
    assert errors == []
    context.close()



def test_collapsed_groups_show_the_largest_change_inside(browser, tmp_path):
    from tests.support import graphs
    a = graphs.detector()
    b = ir.Graph(nodes=dict(a.nodes), edges=list(a.edges))
    b.nodes["rc1"] = ir.Conv2d(np.ones((4, 4, 1, 1), np.float32))       # from zeros: rel_l2 1
    b.nodes["pre"] = ir.LIF(*(v * np.float32(1.001) for v in (a.nodes["pre"].tau, a.nodes["pre"].r,
                                                              a.nodes["pre"].v_leak, a.nodes["pre"].v_threshold)))
    path = tmp_path / "groups.html"
    path.write_text(compare_html(a, b), encoding="utf-8")
    context, page, errors, _ = open_page(browser, path)
    big, small, drawn_big, drawn_small = page.evaluate(
        "[zelqCompare.colour('rc1'), zelqCompare.colour('pre'), zelqCompare.drawnColour('rc1'), zelqCompare.drawnColour('pre')]")
    assert big != small
    assert drawn_big == drawn_small == big  # one collapsed group holds both
    page.evaluate("zelqViewer.expandAll()")
    page.evaluate("zelqViewer.idle()")
    assert page.evaluate("[zelqCompare.drawnColour('rc1'), zelqCompare.drawnColour('pre')]") == [big, small]
    assert errors == []
    context.close()
