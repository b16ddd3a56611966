"""The graph page's network parts in Chromium: the layer table, the trace, the input frame,
the output's running decision, and the one scrubber that drives them and the graph; and a
page without them that stays what it was."""
import base64
import json
import re

import numpy as np
import pytest

from zelq import ir
from zelq.viz import layer_statistics
from zelq.viz.render import render_html
from zelq.viz.serialize import graph_to_dict
from tests.support.decoders import EVENT_DTYPE
from tests.support.browser import wait_until

T = 30


def network():
    g = ir.Graph()
    g.add("in", ir.Input((2, 4, 4)))
    g.add("conv", ir.Conv2d(np.ones((3, 2, 3, 3), np.float32), None, padding=(1, 1), input_shape=(2, 4, 4)))
    g.add("lif", ir.LIF(tau=np.ones((3, 4, 4), np.float32), v_threshold=np.full((3, 4, 4), 0.5, np.float32)))
    g.add("flat", ir.Flatten(input_shape=(3, 4, 4)))
    g.add("fc", ir.Affine(np.ones((3, 48), np.float32), np.zeros(3, np.float32)))
    g.add("out_lif", ir.LIF(tau=np.ones(3, np.float32)))
    g.add("out", ir.Output((3,)))
    g.connect("in", "conv", "lif", "flat", "fc", "out_lif", "out")
    return g


def recording():
    rng = np.random.default_rng(0)
    ev = np.zeros(400, dtype=EVENT_DTYPE)
    ev["x"], ev["y"] = rng.integers(0, 4, 400), rng.integers(0, 4, 400)
    ev["t"] = np.sort(rng.integers(5_000, 5_000 + T * 1000, 400))
    ev["p"] = rng.choice([-1, 1], 400)
    return ev


def inputs():
    rng = np.random.default_rng(1)
    out = np.zeros((T, 3), np.uint8)
    out[:10, 2] = 1          # class 2 leads early
    out[10:, 1] = 1          # class 1 overtakes at step 19 (10 against 10 at 19: the lower index wins)
    act = {"lif": (rng.random((T, 3, 4, 4)) < 0.3).astype(np.uint8), "out_lif": out}
    act["lif"][:, 0, 0, 0] = 0
    return act


@pytest.fixture
def page_file(tmp_path):
    g, act, ev = network(), inputs(), recording()
    v = np.cumsum(np.random.default_rng(2).random((T, 3, 4, 4)), 0).astype(np.float32) % 1
    stats = layer_statistics(g, act, dt=1e-3, inputs=ev)
    html = render_html(graph_to_dict(g), "net", activity=act, dt=1e-3, statistics=stats, states={"lif": v},
                       trace_neurons={"lif": [5]}, inputs=ev, classes=["a", "b", "c"], label=1)
    path = tmp_path / "net.html"
    path.write_text(html, encoding="utf-8")
    return path, stats, ev


def test_parts_follow_the_scrubber(browser, page_file):
    path, stats, ev = page_file
    page = browser.new_page()
    errors = []
    page.on("pageerror", lambda e: errors.append(str(e)))
    page.goto(path.as_uri())
    wait_until(page, "window.zelqViewer && window.zelqViewer.ready")
    rows = page.eval_on_selector_all("[data-part=layer-table] tbody tr", "rs => rs.map(r => r.dataset.node)")
    assert rows == list(stats["layers"])
    csv = page.evaluate("zelqNet.csv()").splitlines()
    assert csv[0].startswith("node,type,neurons") and csv[-1].split(",")[0] == "total"
    assert csv[-1].split(",")[8] == str(stats["total"]["synops"])
    page.click("[data-part=layer-table] th:nth-child(9)")   # SynOps, largest first
    first = page.eval_on_selector("[data-part=layer-table] tbody tr", "r => r.dataset.node")
    assert first == max((k for k, r in stats["layers"].items() if r["synops"]), key=lambda k: stats["layers"][k]["synops"])
    scrub = page.locator("[data-part=scrubber]")
    assert scrub.get_attribute("max") == str(T - 1)
    t0 = int(ev["t"].min())
    for k, decided in ((5, "c"), (18, "c"), (19, "b"), (T - 1, "b")):
        scrub.fill(str(k))
        assert page.evaluate("zelqNet.step()") == k
        assert page.text_content("[data-part=decision]") == decided
        expected = int(((ev["t"] >= t0 + k * 1000) & (ev["t"] < t0 + (k + 1) * 1000)).sum())
        assert page.evaluate("zelqNet.inputEvents()") == expected
        bins = int(page.get_attribute("#act-time", "max")) + 1
        assert page.input_value("#act-time") == str(k * bins // T)   # the graph's colours follow
    assert "right" in page.text_content("[data-part=label]")
    busiest = int(np.argmax(inputs()["lif"].reshape(T, -1).sum(0)))
    assert page.evaluate("zelqNet.trace()") == {"node": "lif", "neuron": busiest, "traced": True}
    page.evaluate("zelqNet.pickNeuron('lif', 5)")
    assert page.evaluate("zelqNet.trace()")["neuron"] == 5
    assert page.is_visible("[data-part=trace] canvas") and page.is_visible("[data-part=input]")
    assert "silent 1 of 48: 0" in page.text_content("[data-part=trace]")
    assert not errors


def test_a_page_without_the_parts_is_unchanged():
    g, act = network(), inputs()
    doc = graph_to_dict(g)
    plain = render_html(doc, "net", activity=act, dt=1e-3)
    assert "net-dock" not in plain and "ZNetData" not in plain
    assert render_html(doc, "net", activity=act, dt=1e-3, states=None, inputs=None) == plain


BAD = [
    ("nan", dict(states={"lif": np.full((T, 3, 4, 4), np.nan, np.float32)}), ValueError, "'lif' hold NaN"),
    ("state-shape", dict(states={"lif": np.zeros((T, 5))}), ValueError, r"States of node 'lif' has shape"),
    ("state-id", dict(states={"nope": np.zeros((T, 3))}), ValueError, "'nope', which is not in the document"),
    ("state-steps", dict(states={"lif": np.zeros((T + 1, 48))}), ValueError, f"'lif' have {T + 1} steps"),
    ("state-type", dict(states=[1]), TypeError, r"Argument 'states' has incorrect type \(expected dict, got list\)"),
    ("trace-range", dict(states={"lif": np.zeros((T, 48))}, trace_neurons={"lif": [48]}), ValueError, "names neuron 48"),
    ("classes", dict(classes=["a", "b"]), ValueError, "classes names 2 classes, but node 'out_lif' has 3"),
    ("label", dict(label=3), ValueError, "label must be a class index from 0 to 2"),
    ("output", dict(output="nope"), ValueError, "'nope', which is not in the document"),
]


@pytest.mark.parametrize("case,kw,error,match", BAD, ids=[b[0] for b in BAD])
def test_bad_page_input_is_refused_naming_the_node(case, kw, error, match):
    with pytest.raises(error, match=match):
        render_html(graph_to_dict(network()), activity=inputs(), dt=1e-3, **kw)


def test_graph_command_takes_states_input_classes_and_label(tmp_path):
    from zelq.viz.cli import main
    g, act, ev = network(), inputs(), recording()
    ir.write(tmp_path / "m.zelq", g)
    np.savez(tmp_path / "a.npz", **act, out=np.full((T, 3), 0.5))   # a node of values, left out of the counts
    np.savez(tmp_path / "s.npz", lif=np.zeros((T, 3, 4, 4), np.float32))
    np.save(tmp_path / "ev.npy", ev)
    out = tmp_path / "p.html"
    assert main(["graph", str(tmp_path / "m.zelq"), "--activity", str(tmp_path / "a.npz"), "--dt", "1ms",
                 "--states", str(tmp_path / "s.npz"), "--input", str(tmp_path / "ev.npy"),
                 "--classes", "a,b,c", "--label", "1", "-o", str(out), "-q"]) == 0
    html = out.read_text(encoding="utf-8")
    assert "ZNetData" in html and '"classes":["a","b","c"]' in html and "values, not spike counts" in html


def test_states_keep_64_traces_a_node_and_say_what_they_left_out():
    import json
    g = ir.Graph()
    g.add("lif", ir.LIF(tau=np.ones(200, np.float32), v_threshold=np.full(200, 0.7, np.float32)))
    rng = np.random.default_rng(4)
    spikes = (rng.random((T, 200)) < 0.2).astype(np.uint8)
    spikes[:, 150:] = 0                      # 50 silent neurons
    spikes[:, 7] = 1                         # the busiest
    html = render_html(graph_to_dict(g), activity={"lif": spikes}, dt=1e-3,
                       states={"lif": rng.random((T, 200)).astype(np.float32)}, trace_neurons={"lif": [199, 3]})
    doc = json.loads(html.split("const ZNetData = ", 1)[1].split(";\n", 1)[0])
    s = doc["states"][0]
    assert len(s["traced"]) == 64 and s["traced"][:2] == [199, 3] and s["default"] == 7
    assert sum(k >= 150 for k in s["traced"]) == 1 + 8      # the named silent one and eight more
    assert s["threshold"][:2] == [pytest.approx(0.7)] * 2
    assert s["spikes"][2] == list(range(T)) and "136 of 200" in s["left_out"][0]
    assert doc["dead"]["lif"]["silent_count"] == 50 and doc["dead"]["lif"]["saturated"] == [7]


WAIT_READY = "() => new Promise(r => { const c = () => (window.zelqViewer && zelqViewer.ready ? r() : setTimeout(c, 5)); c(); })"
# Neurons of a 300-neuron node that each fire at one step of their own, all others silent:
# in that step's raster column the one bright stripe is that neuron's row.
ROW_NEURONS = {0: 3, 1: 7, 137: 12, 255: 20}
# The bright device rows of a raster column, read back from the drawn canvas.
STRIPE = """(b) => { const cv = document.querySelector('#panel canvas.act-raster'), px = cv.getContext('2d').getImageData(b, 0, 1, cv.height).data;
  cv.scrollIntoView({ block: 'center' });
  const rows = []; for (let d = 0; d < cv.height; d++) if (px[4 * d] > 200) rows.push(d);
  const r = cv.getBoundingClientRect(); return { first: rows[0], last: rows[rows.length - 1], height: cv.height, top: r.top, css: r.height, left: r.left + (b + 0.5) * r.width / cv.width }; }"""


@pytest.mark.parametrize("dpr, scale", [(1, 1), (1.5, 1), (2, 1), (1.25, 1.3)])
def test_a_raster_row_click_picks_that_rows_neuron(browser, tmp_path, dpr, scale):
    g = ir.Graph()
    g.add("in", ir.Input((3, 10, 10)))
    g.add("lif", ir.LIF(tau=np.ones((3, 10, 10), np.float32)))
    g.add("out", ir.Output((3, 10, 10)))
    g.connect("in", "lif", "out")
    spikes = np.zeros((T, 300), np.uint8)
    for j, step in ROW_NEURONS.items():
        spikes[step, j] = 1
    v = np.random.default_rng(3).random((T, 3, 10, 10)).astype(np.float32)
    path = tmp_path / "rows.html"
    path.write_text(render_html(graph_to_dict(g), "rows", activity={"lif": spikes.reshape(T, 3, 10, 10)}, dt=1e-3,
                                states={"lif": v}), encoding="utf-8")
    context = browser.new_context(viewport={"width": 1280, "height": 900}, device_scale_factor=dpr)
    page = context.new_page()
    try:
        page.goto(path.as_uri())
        page.evaluate(WAIT_READY)  # a polled predicate would be a string eval, which the page's CSP refuses
        if scale != 1:  # a page shown scaled, as a notebook's frame may be
            page.evaluate(f"document.getElementById('panel').style.transform = 'scale({scale})'")
        page.evaluate("zelqViewer.selectNode('lif')")
        for neuron, step in ROW_NEURONS.items():
            s = page.evaluate(STRIPE, step)
            assert s["last"] - s["first"] + 1 == s["height"] // 256   # one whole stripe per row
            y = s["top"] + (s["first"] + s["last"] + 1) / 2 * s["css"] / s["height"]
            page.mouse.click(s["left"], y)
            assert page.evaluate("zelqNet.trace()")["neuron"] == neuron
    finally:
        context.close()


def test_output_counts_past_the_budget_keep_some_classes_and_an_exact_decision(browser, tmp_path):
    steps, k = 2000, 600   # 1.2 M samples, past the page's 1 M
    g = ir.Graph()
    g.add("in", ir.Input((k,)))
    g.add("lif", ir.LIF(tau=np.ones(k, np.float32)))
    g.add("out", ir.Output((k,)))
    g.connect("in", "lif", "out")
    rng = np.random.default_rng(5)
    counts = (rng.random((steps, k)) < rng.uniform(0, 0.05, k)).astype(np.uint8)
    html = render_html(graph_to_dict(g), "out", activity={"lif": counts}, dt=1e-3, label=3)
    doc = json.loads(re.search(r"const ZNetData = (\{.*?\});\n", html).group(1))["output"]
    oracle = np.cumsum(counts, axis=0, dtype=np.int64).argmax(axis=1)   # the lowest index wins a tie
    kept = doc["kept"]
    assert len(kept) * steps <= 1 << 20 and doc["k"] == k and 3 in kept and set(oracle.tolist()) <= set(kept)
    np.testing.assert_array_equal(np.frombuffer(base64.b64decode(doc["counts"]), "<f4").reshape(steps, -1), counts[:, kept])
    np.testing.assert_array_equal(np.frombuffer(base64.b64decode(doc["decision"]), "<i4"), oracle)
    path = tmp_path / "out.html"
    path.write_text(html, encoding="utf-8")
    page = browser.new_page()
    try:
        page.goto(path.as_uri())
        page.evaluate(WAIT_READY)
        for step in (0, 250, steps - 1):
            page.evaluate(f"zelqNet.setStep({step})")
            assert page.text_content("[data-part=decision]") == str(oracle[step])
            assert page.text_content("[data-part=output] .note").startswith(f"{int(counts[:step + 1].sum())} output spikes")
        assert f"left out: the counts of {k - len(kept)} of {k} classes" in page.text_content("[data-part=output] .note")
    finally:
        page.close()
