"""compare: the difference of two models, against NumPy and against graphs built with known edits."""
import base64
import copy
import math
import sys
from fractions import Fraction

import numpy as np
import pytest

import zelq.viz as zv
from zelq import ir
from zelq.viz import _native
from zelq.viz.encode import encode_array
from zelq.viz.serialize import graph_to_dict

from tests.support.graphs import detector
from tests.support import viewer_docs as vd
from tests.support.tensor_oracle import summary_oracle


def oracle(a, b, rtol, atol):
    """max |a - b|, ||a - b|| / ||a|| and the count not close, over the pairs without NaN."""
    wide = np.complex128 if np.iscomplexobj(a) or np.iscomplexobj(b) else np.float64
    x, y = np.asarray(a).ravel().astype(wide), np.asarray(b).ravel().astype(wide)
    not_close = int(np.count_nonzero(~np.isclose(x, y, rtol, atol, equal_nan=True)))
    ok = ~(np.isnan(x) | np.isnan(y))
    x, y = x[ok], y[ok]
    with np.errstate(invalid="ignore"):
        d = np.abs(np.where(x == y, 0, x - y))
        base = np.linalg.norm(x) or np.linalg.norm(y)
        return (d.max() if d.size else 0.0), (np.linalg.norm(d) / base if base else 0.0), not_close


def pairs():
    rng = np.random.default_rng(7)
    w = rng.standard_normal((300, 70)).astype(np.float32)
    noisy = w + rng.standard_normal(w.shape).astype(np.float32) * 1e-3
    special = np.array([1.0, np.nan, np.nan, np.inf, np.inf, -np.inf, 0.0, 5.0, 2.0])
    other = np.array([1.0, np.nan, 3.0, np.inf, 7.0, np.inf, 1e-9, np.inf, 2.0 + 1e-7])
    big = rng.standard_normal(3 << 20).astype(np.float32)  # several pieces on several threads
    big_b = big.copy()
    big_b[::100_003] += 0.5
    return {
        "float32 noise": (w, noisy),
        "float32 vs float16": (w, w.astype(np.float16)),
        "int8 vs float32": (np.arange(-128, 128, dtype=np.int8), np.arange(-128, 128).astype(np.float32) * 1.01),
        "nan, inf, tolerance edges": (special, other),
        "bool": (np.array([True, False, True, True]), np.array([True, True, False, True])),
        "uint64 vs int16": (np.arange(1000, dtype=np.uint64), np.arange(1000, dtype=np.int16) - 1),
        "a all zero": (np.zeros(5, np.float32), np.arange(5, dtype=np.float32)),
        "big": (big, big_b),
        "complex (NumPy path)": (np.array([1 + 1j, 2j], np.complex64), np.array([1 + 1j, 2.5j], np.complex64)),
        "byte-swapped (NumPy path)": (w.astype(">f4"), noisy.astype(">f4")),
    }


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")  # the complex payload's statistics
@pytest.mark.parametrize("rtol, atol", [(1e-6, 0.0), (1e-2, 1e-8), (0.0, 0.0)])
@pytest.mark.parametrize("kind", ["arrays", "payloads", "mixed"])
@pytest.mark.parametrize("case", list(pairs()))
def test_tensor_measures_match_numpy(case, kind, rtol, atol):
    a, b = pairs()[case]
    g_a, g_b = ir.Graph(), ir.Graph()
    g_a.add("n", ir.LI(a))
    g_b.add("n", ir.LI(b))
    left = g_a if kind == "arrays" else graph_to_dict(g_a, False)
    right = graph_to_dict(g_b, False) if kind == "payloads" else g_b
    result = zv.compare(left, right, rtol=rtol, atol=atol)
    max_abs, rel, not_close = oracle(a, b, rtol, atol)
    if not_close == 0 and a.dtype == b.dtype:
        assert result["changed"] == {} and result["unchanged"] == 1
        return
    entry = result["changed"]["n"]["params"]["tau"]
    assert entry["not_close"] == not_close
    assert entry["max_abs_diff"] == pytest.approx(max_abs, rel=1e-12)
    assert entry["rel_l2"] == pytest.approx(rel, rel=1e-9, nan_ok=True)
    assert ("dtype" in entry) == (a.dtype != b.dtype)


def test_payload_with_line_breaks_is_read_like_decode_array():
    a = np.linspace(-1, 1, 1000, dtype=np.float64)
    b = a + 1e-3
    rec = encode_array(b)
    wrapped = "\n".join(rec["data"][i:i + 76] for i in range(0, len(rec["data"]), 76))
    clean, broken = _native.comparison()._diff_tensors([(a, "float64", rec["data"], "float64"), (a, "float64", wrapped, "float64")], 0.0, 0.0)
    assert clean == broken and clean[0] == pytest.approx(1e-3)


@pytest.mark.parametrize("pair, message", [
    ((np.zeros(3, np.float32), "float32", np.zeros(4, np.float32), "float32"), "different numbers of elements"),
    ((np.zeros(3, np.complex64), "complex64", np.zeros(3, np.float32), "float32"), "cannot read elements"),
])
def test_diff_tensors_refuses_what_it_cannot_compare(pair, message):
    with pytest.raises((ValueError, TypeError), match=message):
        _native.comparison()._diff_tensors([pair], 0.0, 0.0)


@pytest.mark.parametrize("a, b", [
    (np.random.default_rng(3).standard_normal((70, 150)).astype(np.float32),
     np.random.default_rng(4).standard_normal((70, 150)).astype(np.float32)),
    (np.arange(-50, 50, dtype=np.int8), np.linspace(-50, 50, 100).astype(np.float16)),
], ids=["float32 matrix", "int8 vs float16"])
def test_difference_summary_matches_numpy(a, b):
    rows = a.shape[0] if a.ndim > 1 else 1
    got = _native.comparison()._diff_summary((a, str(a.dtype), encode_array(b)["data"], str(b.dtype)), rows, a.size // rows)
    d = (b.astype(np.float64) - a.astype(np.float64)).reshape(a.shape)
    hist, lo, hi, _ = summary_oracle(d)
    _, _, _, heat = summary_oracle(np.abs(d))
    assert got["histogram"] == {"min": lo, "max": hi, "counts": hist}
    shown = np.frombuffer(base64.b64decode(got["heatmap"]["data"]), "<f4").reshape(heat.shape)
    np.testing.assert_allclose(shown, heat, rtol=1e-6)


# ---------------------------------------------------------------- structure

def edited():
    """detector() with known edits: one node added, one removed, one retyped, values, shapes, attrs and edges."""
    g = detector()
    nodes = dict(g.nodes)
    nodes["stem"] = ir.LIF(*(np.asarray(v) * 1.5 for v in (nodes["stem"].tau, nodes["stem"].r,
                                                           nodes["stem"].v_leak, nodes["stem"].v_threshold)))
    old = nodes["pre"]
    nodes["pre"] = ir.IF(old.r, old.v_threshold)  # LIF -> IF: type, and tau / v_leak removed
    conv = nodes["rc3"]
    nodes["rc3"] = ir.Conv2d(np.zeros((4, 4, 5, 5), np.float32), padding=(2, 2))  # shape and attr
    del nodes["ic"]
    nodes["extra"] = ir.LI(np.ones(4, np.float32))
    h = ir.Graph(nodes=nodes, metadata=dict(g.metadata))
    h.edges = [e for e in g.edges if "ic" not in e] + [("stem", "extra")]
    return g, h, conv


def test_known_edits_give_exact_sets():
    g, h, conv = edited()
    r = zv.compare(g, h)
    assert r["added"] == ["extra"] and r["removed"] == ["ic"]
    assert set(r["changed"]) == {"stem", "pre", "rc3"}
    assert r["unchanged"] == len(g.nodes) - 1 - 3
    assert set(r["changed"]["stem"]["params"]) == {"tau", "r", "v_leak", "v_threshold"}
    pre = r["changed"]["pre"]
    assert pre["type"] == ["LIF", "IF"]
    assert {k for k, v in pre["params"].items() if "removed" in v} == {"tau", "v_leak"}
    rc3 = r["changed"]["rc3"]
    assert rc3["params"]["weight"] == {"shape": [[4, 4, 3, 3], [4, 4, 5, 5]]}
    assert rc3["attrs"] == {"padding": [list(conv.padding), [2, 2]]}
    edges_g, edges_h = set(g.edges), set(h.edges)
    assert r["edges_added"] == [["stem", "extra"]]
    assert r["edges_removed"] == sorted([list(e) for e in edges_g - edges_h])
    assert r["a"] == {"name": None, "node_count": len(g.nodes), "edge_count": len(g.edges),
                      "total_params": graph_to_dict(g)["summary"]["total_params"]}


def test_every_input_form_gives_the_same_comparison(tmp_path):
    g, h, _ = edited()
    ir.write(tmp_path / "a.zelq", g)
    ir.write(tmp_path / "b.zelq", h)
    by_graph = zv.compare(g, h)
    by_path = zv.compare(str(tmp_path / "a.zelq"), tmp_path / "b.zelq")
    by_doc = zv.compare(graph_to_dict(g), graph_to_dict(h, False))
    for r in (by_path, by_doc):
        assert {k: r[k] for k in r if k not in ("a", "b")} == {k: by_graph[k] for k in by_graph if k not in ("a", "b")}
    assert by_path["a"]["name"] == "a.zelq"
    same = zv.compare(g, copy.deepcopy(g))
    assert same["changed"] == {} and same["added"] == same["removed"] == [] and same["unchanged"] == len(g.nodes)


def test_refusals_and_summarised_documents():
    g = detector()
    with pytest.raises(TypeError, match=r"Argument 'b' has incorrect type \(expected zelq.ir graph, path or viewer "
                                        r"document, got int\)"):
        zv.compare(g, 3)
    with pytest.raises(TypeError, match="Argument 'rtol'"):
        zv.compare(g, g, rtol="0.1")
    with pytest.raises(ValueError, match="atol must be"):
        zv.compare(g, g, atol=-1)
    doc = graph_to_dict(g)
    rec = doc["nodes"][1]["params"]["tau"]
    doc["nodes"][1]["params"]["tau"] = dict(rec, data="", omitted={"reason": "x", "bytes": 16})
    with pytest.raises(ValueError, match="was summarised"):
        zv.compare(doc, g)


def renamed(g, old, new, node=None):
    h = ir.Graph(nodes={new if k == old else k: (node if k == old and node is not None else n)
                        for k, n in g.nodes.items()},
                 edges=[tuple(new if x == old else x for x in e) for e in g.edges])
    return h


@pytest.mark.parametrize("edit, moved", [
    (lambda g: renamed(g, "stem", "stem_v2"), {"stem": "stem_v2"}),
    (lambda g: renamed(renamed(g, "stem", "s2"), "pre", "p2"), {"pre": "p2", "stem": "s2"}),  # neighbours too
    (lambda g: renamed(g, "stem", "s2", ir.LIF(*(np.ones(4, np.float32),) * 4)), {}),  # new values: not the same node
])
def test_renamed_nodes_are_reported_as_moved(edit, moved):
    g = detector()
    h = edit(g)
    r = zv.compare(g, h)
    assert r["moved"] == moved
    if moved:
        assert r["added"] == r["removed"] == r["edges_added"] == r["edges_removed"] == []
    else:
        assert r["added"] == ["s2"] and r["removed"] == ["stem"] and r["edges_added"] and r["edges_removed"]


# ---------------------------------------------------------------- the largest difference at the ends of the float range

def _exact_max_abs(a, b):
    """max |a - b| over pairs without NaN, in exact rationals (None: an infinity is involved)."""
    pairs = [(x, y) for x, y in zip(a, b) if not (math.isnan(x) or math.isnan(y))]
    if any(x != y and (math.isinf(x) or math.isinf(y)) for x, y in pairs):
        return None
    return max(abs(Fraction(x) - Fraction(y)) for x, y in pairs)


@pytest.mark.parametrize("a, b", [([1.7e308, -1.7e308], [-1.7e308, 1.7e308]), ([1.7e308, 3.0], [-1e308, 1.0]),
                                  ([9e307, 2.0], [-9e307, 2.0]), ([math.inf, 1.0], [1e308, 1.0]),
                                  ([1.7e308, math.nan], [-1.7e308, math.nan])])
def test_max_abs_diff_is_finite_with_a_flag_where_finite_values_overflow(a, b):
    ga, gb = vd.mlp(), vd.mlp()
    pad = [0.0] * (len(ga.nodes["fc0"].bias) - 2)
    ga.nodes["fc0"].bias = np.array(a + pad, np.float64)
    gb.nodes["fc0"].bias = np.array(b + pad, np.float64)
    entry = zv.compare(ga, gb)["changed"]["fc0"]["params"]["bias"]
    exact = _exact_max_abs(list(ga.nodes["fc0"].bias), list(gb.nodes["fc0"].bias))
    if exact is None:
        assert entry["max_abs_diff"] == math.inf and "max_abs_diff_overflow" not in entry
    elif exact > Fraction(sys.float_info.max):
        assert entry["max_abs_diff"] == sys.float_info.max and entry["max_abs_diff_overflow"] is True
    else:
        assert entry["max_abs_diff"] == float(exact) and "max_abs_diff_overflow" not in entry
    assert math.isfinite(entry["rel_l2"]) or exact is None
