"""Recorded activity on the graph page: native summaries, their errors, and the page."""
import json
import re

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from zelq.viz import _native, render

from tests.support import viewer_docs as vd


def oracle(a):
    """The summaries, transcribed in NumPy: equal bins of steps, first 256 neurons in the raster."""
    a = np.asarray(a)
    steps = a.shape[0]
    x = a.reshape(steps, -1).astype(np.float64)
    bins = min(steps, 200)
    which = np.arange(steps) * bins // steps
    sums = np.zeros((bins, x.shape[1]))
    np.add.at(sums, which, x)
    per_step = sums / np.bincount(which, minlength=bins)[:, None]
    means = x.mean(0)
    counts = bool(np.all(x >= 0) and np.all(x == np.trunc(x)))
    lo, hi = (0.0 if counts else means.min()), means.max()
    f = np.zeros(len(means)) if hi == lo else (means - lo) / (hi - lo) * 32
    k = np.minimum(f.astype(int), 31)
    return {"population": per_step.mean(1), "peak": per_step.max(1), "silent": (sums == 0).mean(1),
            "raster": per_step[:, :256], "mean": x.mean(), "silent_all": (x.sum(0) == 0).mean(), "counts": counts,
            "histogram": np.bincount(k, minlength=32), "on_edge": int((np.abs(f - np.round(f)) < 1e-6).sum())}


DTYPES = [np.bool_, np.int8, np.uint8, np.int16, ">u2", np.int32, "<u4", np.int64, ">i8", np.uint64,
          np.float16, np.float32, ">f8"]


@st.composite
def recordings(draw):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    shape = draw(hnp.array_shapes(min_dims=1, max_dims=4, min_side=1, max_side=9))
    shape = (draw(st.integers(1, 450)),) + shape[1:]
    if dtype.kind == "f":
        elements = st.one_of(st.integers(0, 4).map(float), st.floats(-50, 50, width=16))
    elif dtype.kind == "b":
        elements = st.booleans()
    else:
        elements = st.integers(-3 if dtype.kind == "i" else 0, 5)
    a = draw(hnp.arrays(dtype, shape, elements=elements))
    # strided views: every other step, a reversed neuron axis
    if draw(st.booleans()) and a.shape[0] > 1:
        a = a[::2]
    if draw(st.booleans()) and a.ndim > 1:
        a = a[:, ::-1]
    return a


@settings(max_examples=120, deadline=None)
@given(recordings())
def test_summaries_match_the_numpy_transcription(a):
    got, want = _native.activity()._summarize_activity(a), oracle(a)
    assert got["counts"] == want["counts"]
    for key in ("population", "peak", "silent", "raster"):
        np.testing.assert_allclose(got[key], want[key], rtol=1e-6, atol=1e-9, err_msg=key)
    assert got["mean"] == pytest.approx(want["mean"], rel=1e-9, abs=1e-12)
    assert got["silent_all"] == want["silent_all"]
    # a neuron on a bin edge may fall either side of it by one rounding, no further
    drift = np.abs(np.cumsum(got["histogram"]) - np.cumsum(want["histogram"]))
    assert sum(got["histogram"]) == len(a.reshape(a.shape[0], -1)[0]) and drift.max() <= want["on_edge"]


# float32 values: counts (whole, >= 0), fractions, huge whole values whose bin
# sums pass 2**53, and fractions in the later neurons only.
FLOAT_VALUES = ["counts", "fractions", "huge", "fractions later"]


@pytest.mark.parametrize("dtype, values", [(np.uint8, None), (np.bool_, None)] + [(np.float32, v) for v in FLOAT_VALUES])
@pytest.mark.parametrize("shape", [(7, 70_001), (300, 7, 10_003)])
def test_contiguous_rows_on_every_core_match_the_strided_pass_bit_for_bit(dtype, values, shape):
    """Rows of many neurons are cut into one slice per thread; a Fortran-ordered copy of the
    same values takes the one-thread strided pass. Both give the same bits."""
    rng = np.random.default_rng(shape[0])
    a = rng.random(shape) < 0.03
    if values is not None:
        a = a * rng.integers(0, 4, shape).astype(np.float32)
        if values == "huge":
            a *= np.float32(3e14)
        elif values == "fractions":
            a *= np.float32(0.75)
        elif values == "fractions later":
            a.reshape(shape[0], -1)[:, 40_000:] *= np.float32(0.75)
    a = a.astype(dtype)
    fast, strided = _native.activity()._summarize_activity(a), _native.activity()._summarize_activity(np.asfortranarray(a))
    assert fast.keys() == strided.keys()
    for key, value in fast.items():
        assert np.array_equal(value, strided[key]), key
    assert fast["counts"] == (values in (None, "counts", "huge"))


class DLPackOnly:
    """A tensor that NumPy reaches only through DLPack."""

    def __init__(self, a):
        self._a = a

    def __dlpack__(self, **kw):
        return self._a.__dlpack__(**kw)

    def __dlpack_device__(self):
        return self._a.__dlpack_device__()


DOC = {"nodes": [{"id": "a"}, {"id": "b"}, {"id": vd.HOSTILE}]}


def test_document_reads_every_array_kind_and_scales_by_dt():
    spikes = np.zeros((100, 4), np.uint8)
    spikes[:, 0] = 1  # one neuron fires every step
    doc = _native.activity()._activity_document(DOC, {"a": memoryview(spikes), "b": DLPackOnly(np.full((10, 2), -0.5))}, 0.001)
    a, b = doc["nodes"]
    assert (doc["unit"], doc["dt"], doc["bins"]) == ("Hz", 0.001, 100)
    assert (a["kind"], a["mean"], a["peak"], a["silent"]) == ("counts", 250.0, 1000.0, 0.75)
    assert (b["kind"], b["mean"], b["silent"]) == ("values", -0.5, None)  # values are not rates
    assert sum(a["histogram"]["counts"]) == 4
    import base64
    raster = np.frombuffer(base64.b64decode(a["raster"]["data"]), np.uint8).reshape(100, 4)
    assert (raster[:, 0] == 255).all() and (raster[:, 1:] == 0).all() and a["raster"]["hi"] == 1000.0


@pytest.mark.parametrize("activity, dt, error, message", [
    ({"zz": np.ones(3)}, None, ValueError, "Activity names node 'zz', which is not in the document"),
    ({"a": np.float64(2)}, None, ValueError, "Activity of node 'a' has no time axis (a 0-d array)"),
    ({"b": np.zeros((0, 3))}, None, ValueError, "Activity of node 'b' has no time steps"),
    ({"a": np.zeros((3, 0))}, None, ValueError, "Activity of node 'a' has no neurons"),
    ({"a": np.array(["1", "2"])}, None, TypeError, "Activity of node 'a' must hold real numbers, not <U1"),
    ({"a": np.ones(2, complex)}, None, TypeError, "Activity of node 'a' must hold real numbers, not complex128"),
    ({"b": np.array([[0, 1], [np.inf, 0]])}, None, ValueError, "Activity of node 'b' holds non-finite values"),
    ({"a": np.array([1.0, np.nan], np.float16)}, None, ValueError, "Activity of node 'a' holds non-finite values"),
    ({"a": np.ones(2)}, 0, ValueError, "dt must be a positive number of seconds (got 0)"),
    ({"a": np.ones(2)}, "1ms", TypeError, "Argument 'dt' has incorrect type (expected float, got str)"),
])
def test_errors_name_the_node(activity, dt, error, message):
    with pytest.raises(error) as err:
        render.render_html(DOC, activity=activity, dt=dt)
    assert str(err.value) == message


def test_page_without_activity_is_unchanged_and_with_it_carries_escaped_json():
    doc = vd.graph_doc(vd.mlp(hostile=True), detect=False)
    plain = render.render_html(doc, "t")
    assert render.render_html(doc, "t", activity=None) == plain
    page = render.render_html(doc, "t", activity={vd.HOSTILE: np.ones((5, 32), bool)}, dt=0.5)
    m = re.search(r'<script id="zelq-activity" type="application/json">(.*?)</script>', page)
    assert "<" not in m.group(1) and json.loads(m.group(1))["nodes"][0]["id"] == vd.HOSTILE
    assert page.replace(m.group(1), "null", 1) == plain


# ---------------------------------------------------------------- the page

WAIT_READY = "() => new Promise(r => { const c = () => (window.zelqViewer && zelqViewer.ready ? r() : setTimeout(c, 5)); c(); })"
FILL = """k => { const g = [...document.querySelectorAll('#graph [data-key]')].find(e => e.getAttribute('data-key') === k);
  return getComputedStyle(g.querySelectorAll('path.shape')[1]).fill; }"""


def _luma(rgb):
    r, g, b = map(int, re.findall(r"\d+", rgb)[:3])
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def test_page_colours_follow_rates_and_the_scrubber(page_probe, tmp_path):
    doc = vd.graph_doc(vd.mlp(hostile=True), detect=False)
    rng = np.random.default_rng(0)
    late = np.zeros((400, 10), np.uint8)
    late[300:] = 1  # a wave that arrives at the end
    activity = {"lif0": rng.random((400, 64)) < 0.5, "lif1": rng.random((400, 32)) < 0.02, "lif2": late,
                vd.HOSTILE: rng.poisson(0.2, (400, 32)).astype(np.int32)}
    path = tmp_path / "act.html"
    path.write_text(render.render_html(doc, vd.HOSTILE, activity=activity, dt=1e-3), encoding="utf-8")
    page = page_probe.open(path)
    page.evaluate(WAIT_READY)
    page.evaluate("zelqViewer.idle()")
    busy, quiet = page.evaluate(FILL, "n:lif0"), page.evaluate(FILL, "n:lif1")
    assert _luma(busy) > _luma(quiet) + 40  # a busier node is drawn hotter
    assert page.evaluate(FILL, "n:in") == page.evaluate(FILL, "n:out")  # no recording: neutral
    whole = page.evaluate(FILL, "n:lif2")
    page.locator("#stage").focus()
    page.keyboard.press("ArrowRight")  # first time bin: the late wave has not arrived
    early = page.evaluate(FILL, "n:lif2")
    page.fill("#act-time", "199")
    assert _luma(early) < _luma(whole) < _luma(page.evaluate(FILL, "n:lif2"))
    page.evaluate("k => zelqViewer.selectNode(k)", vd.HOSTILE)
    assert "Activity" in page.text_content("#panel") and page.locator("#panel canvas.act-raster").count() == 1
    assert page.evaluate("window.__pwned") is None
    assert page_probe.errors == [] and page_probe.external_requests(path) == []


def test_a_refused_array_is_released():
    held = bytearray()  # resizing fails with BufferError while any view of it is held
    with pytest.raises(ValueError, match="has no time steps"):
        render.render_html(DOC, activity={"a": memoryview(held)})
    held.extend(b"ok")


def test_page_colours_by_node_measures(page_probe, tmp_path):
    from tests.support import graphs

    doc = vd.graph_doc(graphs.detector())
    values = {"sk5": 1.0, "sk9": 2.0, "sk13": float("nan"), "in": 3.0, "stem": 2.0, "fcat": None}
    path = tmp_path / "measures.html"
    node_data = {"energy (pJ)": values, "rel_l2": values}
    path.write_text(render.render_html(doc, "m", node_data=node_data), encoding="utf-8")
    page = page_probe.open(path)
    page.evaluate(WAIT_READY)
    page.evaluate("zelqViewer.idle()")
    options = page.eval_on_selector_all("#act-measure option", "os => os.map(o => o.textContent)")
    assert options == ["Colour: node types", "Measure: energy (pJ)", "Measure: rel_l2"]
    typed = page.evaluate(FILL, "n:in")
    page.select_option("#act-measure", label="Measure: energy (pJ)")
    page.evaluate("zelqViewer.idle()")
    fill = lambda key: page.evaluate(FILL, key)
    assert page.input_value("#measure-aggregate") == "sum"  # the name says energy
    assert fill("g:spp_0") == fill("n:in") != typed  # 1 + 2, the missing value left out
    assert fill("n:out") == fill("n:fcat") != fill("n:stem")  # no value: neutral
    assert page.locator("#legend .measure-range").inner_text().split() == ["1", "pJ", "3", "pJ"]
    page.select_option("#measure-aggregate", "max")
    page.evaluate("zelqViewer.idle()")
    assert fill("g:spp_0") == fill("n:stem")
    page.select_option("#act-measure", label="Measure: rel_l2")
    assert page.input_value("#measure-aggregate") == "max"
    page.evaluate("zelqViewer.selectNode('in')")
    rows = page.eval_on_selector_all("#panel tr[data-measure]", "rs => rs.map(r => r.lastChild.textContent)")
    assert rows == ["3 pJ", "3"]
    # A collapsed group's panel: each measure over its nodes, as its menu chooses, kept up to date.
    page.evaluate("location.hash = '#group=spp_0'")
    page.evaluate("zelqViewer.idle()")
    group_rows = lambda: page.eval_on_selector_all(  # noqa: E731
        "#panel[data-view=group] tr[data-measure]", "rs => rs.map(r => [r.dataset.aggregate, r.lastChild.textContent])")
    assert page.evaluate("zelqViewer.stats().groupsShown") > 0 and group_rows() == [["max", "2 pJ"], ["max", "2"]]
    page.select_option("#act-measure", label="Measure: energy (pJ)")
    page.select_option("#measure-aggregate", "sum")
    assert group_rows() == [["sum", "3 pJ"], ["max", "2"]]
    assert page_probe.errors == []


def _rgb(text):
    return [float(v) for v in re.findall(r"[\d.]+", text)[:3]]


def _contrast(a, b):
    def lum(rgb):
        c = [v / 255 / 12.92 if v / 255 <= 0.04045 else ((v / 255 + 0.055) / 1.055) ** 2.4 for v in rgb]
        return 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2]
    hi, lo = sorted((lum(a), lum(b)), reverse=True)
    return (hi + 0.05) / (lo + 0.05)


NODE_COLOURS = """() => [...document.querySelectorAll('#graph .node')].map(g => {
  const fill = g.querySelectorAll('path.shape')[1], cs = getComputedStyle(fill);
  return [g.getAttribute('data-key'), cs.fill, cs.fillOpacity, getComputedStyle(g.querySelector('.t1')).fill,
          getComputedStyle(g.querySelector('.t2')).fill,
          getComputedStyle(document.documentElement).getPropertyValue('--stage')]; })"""


@pytest.mark.parametrize("theme", ["light", "dark"])
def test_node_titles_and_subtitles_keep_their_contrast_on_activity_colours(page_probe, tmp_path, theme):
    doc = vd.graph_doc(vd.mlp(), detect=False)
    rng = np.random.default_rng(2)
    activity = {"lif0": rng.random((200, 64)) < 0.9, "lif1": rng.random((200, 32)) < 0.3,
                "lif2": rng.random((200, 10)) < 0.01}
    path = tmp_path / "act.html"
    path.write_text(render.render_html(doc, "contrast", activity=activity, dt=1e-3), encoding="utf-8")
    page = page_probe.open(path)
    page.emulate_media(color_scheme=theme)
    page.evaluate(WAIT_READY)
    page.evaluate("zelqViewer.idle()")
    nodes = page.evaluate(NODE_COLOURS)
    assert len({n[1] for n in nodes}) >= 3  # the rates give the nodes different colours
    for key, fill, opacity, title, subtitle, stage in nodes:
        stage_rgb = [int(stage.strip()[i:i + 2], 16) for i in (1, 3, 5)] if stage.strip().startswith("#") else _rgb(stage)
        a = float(opacity)
        bg = [s + (f - s) * a for s, f in zip(stage_rgb, _rgb(fill))]
        assert _contrast(_rgb(title), bg) >= 4.5 and _contrast(_rgb(subtitle), bg) >= 4.5, (key, fill, opacity)
    assert page_probe.errors == []


# The nodes whose part on the stage meets the element (the stage clips what lies past it).
OVERLAPS = """(sel) => { const st = document.getElementById('stage').getBoundingClientRect(), o = document.querySelector(sel).getBoundingClientRect();
  return [...document.querySelectorAll('#graph .node')].filter(g => { const r = g.getBoundingClientRect();
    const l = Math.max(r.left, st.left), t = Math.max(r.top, st.top), rr = Math.min(r.right, st.right), b = Math.min(r.bottom, st.bottom);
    return l < rr && t < b && l < o.right && rr > o.left && t < o.bottom && b > o.top; }).map(g => g.getAttribute('data-key')); }"""
STATUS_WHOLE = "() => { const s = document.getElementById('status'); return [s.scrollWidth <= s.clientWidth, s.textContent]; }"


# A notebook cell, a laptop and a desktop; the short ones cannot hold the whole graph readably,
# so their fitted view starts at its top and the rest passes under the stage's foot.
@pytest.mark.parametrize("viewport, whole", [((800, 640), False), ((1280, 500), False), ((1280, 800), True), ((1920, 1080), True)])
def test_the_scrubber_covers_no_node_and_the_status_line_is_whole(browser, tmp_path, viewport, whole):
    doc = vd.graph_doc(vd.mlp(), detect=False)
    activity = {"lif0": np.random.default_rng(4).random((100, 64)) < 0.3}
    path = tmp_path / "act.html"
    path.write_text(render.render_html(doc, "scrubber", activity=activity, dt=1e-3), encoding="utf-8")
    context = browser.new_context(viewport=dict(zip(("width", "height"), viewport)))
    page = context.new_page()
    try:
        page.goto(path.as_uri())
        page.evaluate(WAIT_READY)
        for fit in (False, True):
            if fit:
                page.locator("#stage").focus()
                page.keyboard.press("f")  # fit again, as the reader does
            page.evaluate("zelqViewer.idle()")
            assert page.locator("#act-bar").is_visible() and page.locator("#graph .node").count() == 8
            assert page.evaluate("document.getElementById('stage').getBoundingClientRect().width") > viewport[0] / 2
            assert page.evaluate(OVERLAPS, "#act-bar") == []
            complete, text = page.evaluate(STATUS_WHOLE)
            assert complete and text.startswith("8 nodes · ") and text.endswith(" ms"), text
            if whole:
                assert page.evaluate(OVERLAPS, "#status") == []
    finally:
        context.close()


HEADER = """() => { const h = document.getElementById('title'), r = (e) => e.getBoundingClientRect().width;
  return { cut: h.scrollWidth > h.clientWidth + 1, hover: h.title, h1: r(h), header: r(h.parentElement),
           search: r(document.querySelector('header .search')), spacer: r(document.querySelector('header .spacer')) }; }"""


@pytest.mark.parametrize("title, width", [("scrubber", 1100), ("a spiking network " * 12, 1280), ("short", 1280)])
def test_the_title_is_cut_only_where_the_room_ends_and_shows_whole_on_hover(browser, tmp_path, title, width):
    doc = vd.graph_doc(vd.mlp(), detect=False)
    activity = {"lif0": np.random.default_rng(4).random((100, 64)) < 0.3}
    path = tmp_path / "act.html"
    path.write_text(render.render_html(doc, title, activity=activity, dt=1e-3), encoding="utf-8")
    context = browser.new_context(viewport={"width": width, "height": 800})
    page = context.new_page()
    try:
        page.goto(path.as_uri())
        page.evaluate(WAIT_READY)
        m = page.evaluate(HEADER)
        assert m["hover"] == title
        if m["cut"]:  # only once its own share is used up, or nothing else gives way
            assert abs(m["h1"] - 0.32 * m["header"]) < 2 or (m["spacer"] < 1 and m["search"] <= 121), m
        assert m["cut"] == (len(title) > 100), m
    finally:
        context.close()
