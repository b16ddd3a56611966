"""render_html's payloads option: summary records against a NumPy oracle, and the page-size limit."""
import base64
import json

import numpy as np
import pytest

from zelq.viz import render as R
from zelq.viz.encode import encode_array

TEMPLATE = "<script>const D = {{DATA_JSON}};</script>"


@pytest.fixture
def viewer(tmp_path, monkeypatch):
    monkeypatch.setattr(R, "TEMPLATES_DIR", tmp_path)
    (tmp_path / "viewer.html").write_text(TEMPLATE, encoding="utf-8")
    return monkeypatch


def document(page):
    return json.loads(page[len("<script>const D = "):-len(";</script>")])


def summary_oracle(arr):
    """Histogram of the finite values and row-major block means, in float64."""
    a = np.ascontiguousarray(arr)
    v = (np.hypot(a.real.astype(np.float64), a.imag) if a.dtype.kind == "c" else a).astype(np.float64).reshape(-1)
    rows = a.shape[0] if a.ndim > 1 else 1
    cols = v.size // rows if rows else 0
    r, c = min(rows, 64), min(cols, 64)
    finite = np.isfinite(v)
    sums, counts = np.zeros((r, c)), np.zeros((r, c))
    if v.size:
        ri = (np.arange(rows) * r // rows)[:, None].repeat(cols, 1).reshape(-1)
        ci = (np.arange(cols) * c // cols)[None, :].repeat(rows, 0).reshape(-1)
        np.add.at(sums, (ri[finite], ci[finite]), v[finite])
        np.add.at(counts, (ri[finite], ci[finite]), 1)
    with np.errstate(invalid="ignore"):
        heat = (sums / counts).astype(np.float32)
    if finite.any():
        hist, _ = np.histogram(v[finite], bins=64)
        lo, hi = v[finite].min(), v[finite].max()
    else:
        hist, lo, hi = np.zeros(64, int), np.nan, np.nan
    return hist.tolist(), lo, hi, heat


ARRAYS = [
    np.random.default_rng(1).standard_normal((130, 7, 3)).astype(np.float32),
    np.random.default_rng(2).standard_normal((70, 150)),  # blocks both ways; value spans end mid-row
    np.array([1.5, np.nan, -np.inf, 3.0, 1.5, np.inf], dtype=">f8"),
    np.arange(200, dtype=np.int16).reshape(10, 20),
    np.array([[True, False], [True, True]]),
    (np.arange(90) - 40j).astype(np.complex64).reshape(3, 30),
    np.full((5,), 2.5, np.float16),
    np.array([np.nan, np.nan], np.float32),
]


@pytest.mark.parametrize("arr", ARRAYS, ids=lambda a: f"{a.dtype}{a.shape}")
@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
def test_summary_record_matches_numpy(viewer, arr):
    rec = encode_array(arr)
    data = {"nodes": [{"params": {"w": rec}}], "again": rec}
    page = R.render_html(data, payloads="summary")
    got = document(page)["nodes"][0]["params"]["w"]
    assert document(page)["again"] == got
    assert list(got) == ["shape", "dtype", "data", "stats", "size", "omitted", "histogram", "heatmap"]
    assert [got[k] for k in ("shape", "dtype", "size")] == [rec[k] for k in ("shape", "dtype", "size")]
    assert got["data"] == "" and data["nodes"][0]["params"]["w"]["data"] == rec["data"]  # document untouched
    assert got["omitted"] == {"reason": 'left out on request (payloads="summary")', "bytes": arr.nbytes}
    hist, lo, hi, heat = summary_oracle(arr)
    assert got["histogram"]["counts"] == hist
    np.testing.assert_equal([got["histogram"]["min"], got["histogram"]["max"]], [lo, hi])
    h = got["heatmap"]
    assert (h["rows"], h["cols"], h["dtype"]) == (*heat.shape, "float32")
    shown = np.frombuffer(base64.b64decode(h["data"]), "<f4").reshape(heat.shape)
    np.testing.assert_array_equal(shown, heat)
    # Statistics that do not describe the data change nothing.
    lied = dict(rec, stats=dict(rec["stats"], min=-1e9, max=1e9))
    assert document(R.render_html({"w": lied}, payloads="summary"))["w"]["histogram"] == got["histogram"]


def test_auto_keeps_full_pages_and_summarises_largest_first(viewer):
    big, mid, small = (encode_array(np.ones(n, np.float32)) for n in (3000, 2000, 10))
    data = {"a": small, "b": big, "c": mid, "d": [big]}
    full = R.render_html(data, payloads="full")
    viewer.setattr(R, "_MAX_PAGE_CHARS", len(full))
    assert R.render_html(data) == full
    viewer.setattr(R, "_MAX_PAGE_CHARS", len(full) - 1)
    for goal, summarised in [(len(full) - 1, "b"), (len(full) - 35_000, "bc"), (0, "bc")]:
        # Once over the limit, tensors are summarised until the page is at most the goal
        # (or every one that a summary shortens is); the smallest one never is.
        viewer.setattr(R, "_SUMMARISED_PAGE_CHARS", goal)
        page = R.render_html(data)
        assert len(page) <= len(full) - 1
        doc = document(page)
        assert doc["d"][0] == doc["b"] and doc["a"] == small
        assert [k for k in "bc" if doc[k]["data"] == ""] == list(summarised)
        assert doc["b"]["omitted"]["reason"].startswith("left out: the page would exceed")
        assert ("c" in summarised) != (doc["c"] == mid)


@pytest.mark.parametrize("payloads,message", [
    ("full", "over the 100 that a browser can load"),
    ("auto", "even with every tensor summarised, over the 100"),
    ("summary", "even with every tensor summarised, over the 100"),
])
def test_pages_over_the_limit_are_refused(viewer, payloads, message):
    viewer.setattr(R, "_MAX_PAGE_CHARS", 100)
    with pytest.raises(ValueError, match=message):
        R.render_html({"w": encode_array(np.zeros(400, np.float32))}, payloads=payloads)


def test_summarised_page_opens_with_every_node(tmp_path, monkeypatch, page_probe):
    """The real viewer, with a limit that forces summaries: every node is drawn, nothing fails."""
    from zelq import ir
    from zelq.viz.serialize import graph_to_dict

    rng = np.random.default_rng(0)
    g = ir.Graph(metadata={"name": "limit"})
    g.add("in", ir.Input((256,)))
    prev = "in"
    for i in range(6):
        g.add(f"fc{i}", ir.Affine(rng.standard_normal((64, 256)).astype(np.float32), np.zeros(64, np.float32)))
        g.connect(prev, f"fc{i}")
        prev = f"fc{i}"
    doc = graph_to_dict(g)
    full = R.render_html(doc, payloads="full")
    monkeypatch.setattr(R, "_MAX_PAGE_CHARS", len(full) - 100_000)
    page_text = R.render_html(doc)
    assert 0 < page_text.count('"omitted": {"reason": "left out: the page would exceed') < 6
    path = tmp_path / "limit.html"
    path.write_text(page_text, encoding="utf-8")
    page = page_probe.open(path)
    page.wait_for_selector("body[data-state=ready]", timeout=30_000)
    assert page.evaluate("zelqViewer.stats().nodesShown") == len(doc["nodes"])
    assert page_probe.errors == [] and page_probe.external_requests(path) == []
