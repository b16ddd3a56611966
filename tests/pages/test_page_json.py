"""The pages' JSON writer against json.dumps plus the placeholder steps, on hostile documents."""
import enum
import json
import random
import string

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zelq.viz import render as R
from zelq.viz import spikes as S

TEMPLATE = "<p>{{TITLE}}</p><script>const D = {{DATA_JSON}};</script>{{WIDTH}}x{{HEIGHT}}|{{DATA_JSON}}"


def script_safe(text):
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def page_oracle(template, data, title, width, height):
    html = template.replace("{{TITLE}}", R._escape_html(title))
    html = html.replace("{{DATA_JSON}}", script_safe(json.dumps(data, ensure_ascii=False)))
    html = html.replace("{{WIDTH}}", str(int(width)))
    return html.replace("{{HEIGHT}}", str(int(height)))


@pytest.fixture(scope="module")
def viewer(tmp_path_factory):
    """A private template directory holding TEMPLATE as viewer.html."""
    d = tmp_path_factory.mktemp("viewer")
    (d / "viewer.html").write_text(TEMPLATE, encoding="utf-8")
    old, R.TEMPLATES_DIR = R.TEMPLATES_DIR, d
    yield d
    R.TEMPLATES_DIR = old


class Str(str):
    pass


class Int(int):
    def __repr__(self):
        return "not used"


class Float(float):
    def __repr__(self):
        return "not used"


class Colour(enum.IntEnum):
    RED = 7


class List(list):
    def __iter__(self):
        return iter(())


class Dict(dict):
    def items(self):
        return [("swapped", 1)] + list(super().items())


HOSTILE = st.sampled_from(["\ud800", "\udfff", "<", ">", "&", '"', "\\", "\x00", "\x1f", "\x7f", "{", "}",
                           "\u2028", "\U0001f600", "\xff", "\u0100", "{{WIDTH}}", "{{HEIGHT}}", "{{DATA_JSON}}",
                           "{{TITLE}}", "</script>", "{{WID", "TH}}"])
TEXT = st.lists(st.text(max_size=4) | HOSTILE, max_size=5).map("".join)
# Long strings (payload-sized runs, some with one hostile character) take the writer's bulk paths.
LONG = st.tuples(st.integers(64, 300), TEXT).map(lambda nt: "QUJD+/" * (nt[0] // 6) + nt[1])
FLOATS = st.floats() | st.sampled_from([1e300, 5e-324, -0.0, 1e16, 1.0, 0.1, 2.0**63])
SCALARS = (st.none() | st.booleans() | st.integers() | st.integers(-2**200, 2**200) | FLOATS | TEXT | LONG
           | TEXT.map(Str) | st.integers().map(Int) | FLOATS.map(Float) | st.just(Colour.RED))
KEYS = TEXT | st.integers() | FLOATS | st.booleans() | st.none() | TEXT.map(Str)
DOCS = st.recursive(SCALARS, lambda inner: (
    st.lists(inner, max_size=4) | st.lists(inner, max_size=3).map(tuple) | st.lists(inner, max_size=3).map(List)
    | st.dictionaries(KEYS, inner, max_size=4) | st.dictionaries(TEXT, inner, max_size=2).map(Dict)),
    max_leaves=16)


def outcome(fn):
    try:
        return fn()
    except (TypeError, ValueError, RecursionError) as e:
        return type(e), str(e)


@given(data=st.dictionaries(KEYS, DOCS, max_size=5), title=TEXT,
       width=st.integers(-10**20, 10**20), height=st.integers())
@settings(max_examples=300, deadline=None)
def test_graph_page_matches_the_four_step_oracle(viewer, data, title, width, height):
    expected = outcome(lambda: page_oracle(TEMPLATE, data, title, width, height))
    assert outcome(lambda: R.render_html(data, title, width, height)) == expected


@pytest.mark.parametrize("tail", ["", "<", "{{WIDTH}}", "\xff", "\u2028"])
def test_shared_long_strings_and_signed_zeros(viewer, tail):
    # The same objects met several times, with floats equal but not identical in text.
    s = "QUJD+/" * 20 + tail
    data = {"a": s, "b": [s, -0.0, 0.0, s, 0.1, -0.0], s: {"x": [s] * 3, "y": 1e-300}}
    assert R.render_html(data, "t", 3, 4) == page_oracle(TEMPLATE, data, "t", 3, 4)


@given(data=st.dictionaries(KEYS, DOCS, max_size=5), title=TEXT)
@settings(max_examples=150, deadline=None)
def test_spike_page_matches_ascii_json(data, title):
    def oracle():
        body = script_safe(json.dumps(data))
        return string.Template(S._load_template("spikes.html")).substitute(
            title=S._html_escape(title), data_json=body)

    assert outcome(lambda: S._render_spike_html(data, title)) == outcome(oracle)


def circular():
    d = {"a": [1]}
    d["a"].append(d)
    return d


def deep(n):
    d = []
    for _ in range(n):
        d = [d]
    return {"x": d}


@pytest.mark.parametrize("data,error", [
    ({"k": {1, 2}}, "Object of type set is not JSON serializable"),
    ({"k": [1, b"x"]}, "Object of type bytes is not JSON serializable"),
    ({(1, 2): 0}, "keys must be str, int, float, bool or None, not tuple"),
    ({"k": {frozenset(): 0}}, "keys must be str, int, float, bool or None, not frozenset"),
    (circular(), "Circular reference detected"),
    # Deeper than any interpreter's limit: 3.12 and later guard C recursion with a fixed limit of their own.
    ({"k": deep(100_000)}, "maximum recursion depth exceeded while encoding a JSON object"),
])
def test_refusals_are_those_of_json(viewer, data, error):
    for render in (R.render_html, S._render_spike_html):
        with pytest.raises((TypeError, ValueError, RecursionError)) as err:
            render(data)
        assert str(err.value) == error
        with pytest.raises(type(err.value)):
            json.dumps(data)


def test_real_template_page_is_the_four_step_page():
    from tests.support import viewer_docs

    doc = viewer_docs.graph_doc(viewer_docs.mlp(hostile=True))
    template = R.load_template("viewer.html")
    assert R.render_html(doc, "t<{{WIDTH}}>", 640, 480) == page_oracle(template, doc, "t<{{WIDTH}}>", 640, 480)


@pytest.mark.parametrize("bad", ['"', "\\", "<", ">", "&", "\x00", "\x1f", "{", "\x7f", "\xff", "\u2028"])
def test_one_escape_at_every_place_of_every_length(viewer, bad):
    # Every length up to past two 64-byte steps, the character at each place:
    # the scan's block sizes, overlapping tails and short-string lanes.
    alphabet = "QUJD+/=az09 }!#~'?@[]^_`|"
    texts = [(alphabet * 8)[:n][:k] + bad + (alphabet * 8)[:n][k + 1:] for n in range(1, 140) for k in range(n)]
    data = {"t": texts, "plain": [alphabet[:n] for n in range(len(alphabet))]}
    assert R.render_html(data, "t", 1, 2) == page_oracle(TEMPLATE, data, "t", 1, 2)
    assert S._render_spike_html(data, "t") == string.Template(S._load_template("spikes.html")).substitute(
        title="t", data_json=script_safe(json.dumps(data)))


def test_many_floats_repeated_and_not(viewer):
    # More distinct values than the writer keeps texts for, mixed with repeats and signed zeros.
    rng = random.Random(1)
    floats = [rng.choice([0.0, -0.0, 1.0, 20.0, 0.1, rng.random() * 10.0 ** rng.randint(-320, 300),
                          -rng.uniform(0, 1e17), float(rng.randint(-2**60, 2**60))]) for _ in range(20_000)]
    data = {"stats": [{"min": x, "max": -x} for x in floats], 1.5: floats[::-1]}
    assert R.render_html(data, "t", 1, 2) == page_oracle(TEMPLATE, data, "t", 1, 2)


@pytest.mark.parametrize("wide", ["\u2028", "\U0001f600"])
def test_long_plain_strings_on_wide_pages(viewer, wide):
    # Payload-sized strings and long runs between them, widened into 2- and 4-byte pages.
    texts = [("QUJD+/" * 200)[:n] for n in (31, 32, 33, 255, 256, 257, 300, 1000)]
    data = {"wide": wide, "t": texts, "keys": {f"k{i}": i * 0.5 for i in range(300)}}
    assert R.render_html(data, "t", 1, 2) == page_oracle(TEMPLATE, data, "t", 1, 2)
