"""render_html, the graph page: template loading, title escaping, placeholder order, JSON safe inside a
script, node data, and the payloads option (summary records against a NumPy oracle, the page-size limit)."""
import base64
import json
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tests.support.tensor_oracle import summary_oracle
from zelq.viz import render as R
from zelq.viz.encode import encode_array

MARKED = "T[{{TITLE}}]D[{{DATA_JSON}}]W[{{WIDTH}}]H[{{HEIGHT}}]"


def escape_oracle(text):
    for a, b in (("&", "&amp;"), ("<", "&lt;"), (">", "&gt;"), ('"', "&quot;"), ("'", "&#x27;")):
        text = text.replace(a, b)
    return text


def render_oracle(template, data, title="ZELQ-Viz", width=1200, height=800):
    data_json = json.dumps(data, ensure_ascii=False)
    data_json = data_json.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
    html = template.replace("{{TITLE}}", escape_oracle(title))
    html = html.replace("{{DATA_JSON}}", data_json)
    html = html.replace("{{WIDTH}}", str(int(width)))
    return html.replace("{{HEIGHT}}", str(int(height)))


@pytest.fixture
def templates(tmp_path, monkeypatch):
    """A private template directory holding viewer.html; returns a writer for it."""
    monkeypatch.setattr(R, "TEMPLATES_DIR", tmp_path)

    def write(text, name="viewer.html"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text, encoding="utf-8")

    write(MARKED)
    return write


def test_templates_dir_is_beside_the_module():
    assert R.TEMPLATES_DIR == Path(R.__file__).parent / "templates"
    assert isinstance(R.TEMPLATES_DIR, Path)


# ---------------------------------------------------------------- load_template


def test_load_template_reads_the_current_directory(templates, tmp_path):
    templates("a\r\nb\rc\n", "sub/x.html")
    assert R.load_template("sub/x.html") == "a\nb\nc\n"
    absolute = tmp_path / "abs.html"
    absolute.write_text("abs", encoding="utf-8")
    assert R.load_template(str(absolute)) == "abs"


def test_missing_template_message(templates, tmp_path):
    with pytest.raises(FileNotFoundError) as err:
        R.load_template("nope/../absent.html")
    assert str(err.value) == f"Template not found: {tmp_path / 'nope/../absent.html'}"
    (tmp_path / "viewer.html").unlink()
    with pytest.raises(FileNotFoundError) as err:
        R.render_html({})
    assert str(err.value) == "Template not found: " + str(tmp_path / "viewer.html")


def test_undecodable_template_and_directory(templates, tmp_path):
    (tmp_path / "bad.html").write_bytes(b"\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        R.load_template("bad.html")
    (tmp_path / "dir.html").mkdir()
    with pytest.raises(IsADirectoryError):
        R.load_template("dir.html")


# ---------------------------------------------------------------- _escape_html


@pytest.mark.parametrize("text,expected", [
    ("", ""),
    ("plain \u00b5", "plain \u00b5"),
    ("<b>&\"'</b>", "&lt;b&gt;&amp;&quot;&#x27;&lt;/b&gt;"),
    ("&amp;", "&amp;amp;"),
    ("&lt;&&&", "&amp;lt;&amp;&amp;&amp;"),
    ("\ud800<", "\ud800&lt;"),  # a lone surrogate passes through
])
def test_escape_html(text, expected):
    assert R._escape_html(text) == expected


@given(st.text())
@settings(max_examples=200, deadline=None)
def test_escape_html_matches_sequential_replacement(text):
    assert R._escape_html(text) == escape_oracle(text)


# ---------------------------------------------------------------- render_html


def test_defaults_and_order(templates):
    assert R.render_html({"a": [1, 2.5, None, True]}) == 'T[ZELQ-Viz]D[{"a": [1, 2.5, null, true]}]W[1200]H[800]'


def test_placeholders_are_filled_in_sequence(templates):
    templates("{{TITLE}}|{{WIDTH}}{{WIDTH}}|{{HEIGHT}}")
    # The title is inserted first, so placeholders in it are filled by the later steps.
    assert R.render_html({"s": "{{WIDTH}}"}, "{{DATA_JSON}} {{HEIGHT}}", 7, 9) == (
        '{"s": "7"} 9|77|9')
    templates("no placeholders")
    assert R.render_html({"x": 1}) == "no placeholders"
    templates("{{DATA_JSON}}{{TITLE}}")
    # Text inserted for the title is not rescanned for the title placeholder.
    assert R.render_html({}, "{{TITLE}}") == "{}{{TITLE}}"


@given(data=st.dictionaries(st.text(), st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(), inner, max_size=4), max_leaves=12),
    max_size=5), title=st.text(), width=st.integers(-10**20, 10**20) | st.floats(-1e6, 1e6), height=st.integers())
@settings(max_examples=150, deadline=None)
def test_render_matches_the_oracle_and_the_json_parses_back(data, title, width, height):
    template = "<p>{{TITLE}}</p><script>const D = {{DATA_JSON}};</script>{{WIDTH}}x{{HEIGHT}}"
    import tempfile

    with tempfile.TemporaryDirectory() as d:
        Path(d, "viewer.html").write_text(template, encoding="utf-8")
        old, R.TEMPLATES_DIR = R.TEMPLATES_DIR, Path(d)
        try:
            page = R.render_html(data, title, width, height)
        finally:
            R.TEMPLATES_DIR = old
    assert page == render_oracle(template, data, title, width, height)


HOSTILE = [
    "</script><script>alert(1)</script>",
    "<!-- <script>",
    "</SCRIPT ><img src=x onerror=alert(1)>",
    "&lt;&amp;",
    "\u2028\u2029 \u00b5 \U0001f600",
    "\ud800 lone surrogate <",
]


@pytest.mark.parametrize("text", HOSTILE)
def test_hostile_strings_cannot_leave_the_json(templates, text):
    templates("<script>const D = {{DATA_JSON}};</script>")
    data = {"nodes": [{"id": text, "label": text}], text: text}
    page = R.render_html(data)
    body = page[len("<script>const D = "):-len(";</script>")]
    assert "<" not in body and ">" not in body and "&" not in body
    assert json.loads(body) == data
    assert page.count("</script>") == 1


def test_non_ascii_stays_as_is_and_non_finite_floats(templates):
    page = R.render_html({"unit": "\u00b5s", "v": [float("nan"), float("inf"), -float("inf")]})
    assert page == 'T[ZELQ-Viz]D[{"unit": "\u00b5s", "v": [NaN, Infinity, -Infinity]}]W[1200]H[800]'


@pytest.mark.parametrize("kwargs,message", [
    ({"data": None}, "Argument 'data' has incorrect type (expected dict, got NoneType)"),
    ({"data": type("D", (dict,), {})()}, "Argument 'data' has incorrect type (expected dict, got D)"),
    ({"data": {}, "title": None}, "Argument 'title' has incorrect type (expected str, got NoneType)"),
    ({"data": {}, "width": "3"}, "Argument 'width' has incorrect type (expected int, got str)"),
    ({"data": {}, "height": None}, "Argument 'height' has incorrect type (expected int, got NoneType)"),
    # Numbers are converted before the exact types are tested.
    ({"data": None, "width": "3"}, "Argument 'width' has incorrect type (expected int, got str)"),
])
def test_refused_arguments(templates, kwargs, message):
    with pytest.raises(TypeError) as err:
        R.render_html(**kwargs)
    assert str(err.value) == message


@pytest.mark.parametrize("call,message", [
    (lambda: R.load_template(3), "Argument 'name' has incorrect type (expected str, got int)"),
    (lambda: R._escape_html(b"x"), "Argument 'text' has incorrect type (expected str, got bytes)"),
    (lambda: R.render_html(), "render_html() takes at least 1 positional argument (0 given)"),
    (lambda: R.render_html({}, "t", 1, 2, 3), "render_html() takes at most 4 positional arguments (5 given)"),
    (lambda: R.render_html({}, size=3), "render_html() got an unexpected keyword argument 'size'"),
    # Keyword-only parameters are never taken by position nor counted as positional.
    (lambda: R.render_html({}, "t", 1, 2, "full"), "render_html() takes at most 4 positional arguments (5 given)"),
    (lambda: R.render_html({}, payloads=None), "Argument 'payloads' has incorrect type (expected str, got NoneType)"),
    (lambda: R.render_html({}, "t", payloads="full", title="u"), "render_html() got multiple values for keyword argument 'title'"),
])
def test_call_errors(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


def test_keyword_only_parameter_in_the_signature():
    import inspect

    sig = inspect.signature(R.render_html)
    assert str(sig) == ("(data, title='ZELQ-Viz', width=1200, height=800, *, payloads='auto', activity=None, dt=None, "
                        "node_data=None, statistics=None, states=None, trace_neurons=None, inputs=None, t0=None, "
                        "sensor_size=None, classes=None, label=None, output=None)")
    assert sig.parameters["payloads"].kind is inspect.Parameter.KEYWORD_ONLY
    with pytest.raises(ValueError, match="'auto', 'full' or 'summary', not 'Full'"):
        R.render_html({}, payloads="Full")


@pytest.mark.parametrize("width,height,text", [(1200.7, -3.9, "W[1200]H[-3]"), (True, 10**30, f"W[1]H[{10**30}]")])
def test_sizes_are_truncated(templates, width, height, text):
    assert R.render_html({}, width=width, height=height).endswith(text)


@pytest.mark.parametrize("data,error", [({"s": {1, 2}}, TypeError), ({"c": 1j}, TypeError),
                                        ({(1, 2): 3}, TypeError)])
def test_values_json_cannot_express(templates, data, error):
    with pytest.raises(error):
        R.render_html(data)


def test_circular_data(templates):
    data = {}
    data["me"] = data
    with pytest.raises(ValueError, match="Circular reference"):
        R.render_html(data)


def test_helpers_are_looked_up_at_call_time(templates, monkeypatch):
    monkeypatch.setattr(R, "load_template", lambda name: f"<{name}>{{{{TITLE}}}}")
    monkeypatch.setattr(R, "_escape_html", lambda t: t.upper())
    assert R.render_html({}, "abc") == "<viewer.html>ABC"


def test_hostile_name_runs_nothing_in_a_browser(templates, tmp_path, page_probe):
    templates("<!doctype html><html><head><meta charset='utf-8'><title>{{TITLE}}</title></head><body>"
              "<h1 id='t'>{{TITLE}}</h1><div id='out'></div>"
              "<script>window.pwned = 0; const D = {{DATA_JSON}};"
              "document.getElementById('out').textContent = D.nodes[0].id;</script></body></html>")
    evil = "</script><script>window.pwned = 1</script><img src=x onerror='window.pwned=2'>"
    page_file = tmp_path / "evil.html"
    page_file.write_text(R.render_html({"nodes": [{"id": evil}]}, evil), encoding="utf-8")
    page = page_probe.open(page_file)
    assert page.evaluate("window.pwned") == 0
    assert page.text_content("#out") == evil
    assert page.text_content("#t") == evil and page.title() == evil
    assert page_probe.errors == [] and page_probe.external_requests(page_file) == []


MEASURES_SLOT = '<script id="zelq-measures" type="application/json">null</script>'


def test_node_data_fills_its_slot_once_and_nothing_else(templates):
    import numpy as np

    ids = ["a", "</script><b>", "{{WIDTH}}", "\u00e9t\u00e9"]
    templates(MARKED + MEASURES_SLOT + MEASURES_SLOT)
    data = {"nodes": [{"id": i} for i in ids]}
    node_data = {"energy (pJ)": {ids[0]: 3, ids[1]: np.float32(0.5), ids[2]: float("nan"), ids[3]: None},
                 "{{HEIGHT}} & <x>": {ids[3]: np.int64(-2)}}
    expected = {"energy (pJ)": {ids[0]: 3.0, ids[1]: 0.5, ids[2]: None, ids[3]: None},
                "{{HEIGHT}} & <x>": {ids[3]: -2.0}}
    text = json.dumps(expected, ensure_ascii=False).replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
    filled = MEASURES_SLOT.replace("null", text)
    plain = render_oracle(MARKED, data)
    assert R.render_html(data, node_data=node_data) == plain + filled + MEASURES_SLOT
    assert R.render_html(data, node_data=None) == R.render_html(data) == plain + MEASURES_SLOT * 2


@pytest.mark.parametrize("node_data,error,message", [
    ({"m": {"ghost": 1.0}}, ValueError, "Node data 'm' names node 'ghost', which is not in the document"),
    ({"m": {"a": float("inf")}}, ValueError, "Node data 'm' of node 'a' is not finite (inf)"),
    ({"m": {"a": "1"}}, TypeError, "Node data 'm' of node 'a' must be a number, not str"),
    ({"m": {"a": True}}, TypeError, "Node data 'm' of node 'a' must be a number, not bool"),
    ({"m": [1.0]}, TypeError, "Node data 'm' must be a dict of node identifier to number, not list"),
    ({3: {"a": 1.0}}, TypeError, "Node data names its measures with str, not int"),
])
def test_node_data_refusals(templates, node_data, error, message):
    with pytest.raises(error) as err:
        R.render_html({"nodes": [{"id": "a"}]}, node_data=node_data)
    assert str(err.value) == message


# ---------------------------------------------------------------- payloads: summaries and the page-size limit

PAYLOAD_TEMPLATE = "<script>const D = {{DATA_JSON}};</script>"


@pytest.fixture
def viewer(tmp_path, monkeypatch):
    monkeypatch.setattr(R, "TEMPLATES_DIR", tmp_path)
    (tmp_path / "viewer.html").write_text(PAYLOAD_TEMPLATE, encoding="utf-8")
    return monkeypatch


def document(page):
    return json.loads(page[len("<script>const D = "):-len(";</script>")])


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
