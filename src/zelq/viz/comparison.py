"""The difference of two models: which nodes, parameters, attributes and edges changed, and by how much.

Nodes are matched by identifier. Tensors are compared natively and in place
(the native comparison engine): NumPy arrays of a graph, and the base64 payloads of
a viewer document without decoding them into arrays.
"""
from __future__ import annotations

import math
import os
import sys
from dataclasses import fields, is_dataclass
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import numpy as np

from zelq.viz import _args, _native
from zelq.viz.encode import decode_array, encode_value

# Element types the native comparison reads; others (complex, long double,
# byte-swapped) go through NumPy.
_NATIVE = frozenset(("bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
                     "float16", "float32", "float64"))
_EXPECTED = "zelq.ir graph, path or viewer document"


class _Tensor(NamedTuple):
    shape: Tuple[int, ...]
    dtype: str
    data: Any  # a C-contiguous array, or the base64 payload of an encoded array
    size: int


class _Node(NamedTuple):
    type: Optional[str]  # a document's record may lack one
    params: Dict[str, _Tensor]
    attrs: Dict[str, Any]


class _Model(NamedTuple):
    name: Optional[str]
    nodes: Dict[str, _Node]
    edges: List[Tuple[Any, Any]]


# ---------------------------------------------------------------- reading either side

_DTYPE_NAMES: Dict[np.dtype, str] = {}  # str(dtype) costs more than measuring a small tensor


def _graph_tensor(value: np.ndarray) -> _Tensor:
    arr = value if value.flags.c_contiguous else np.ascontiguousarray(value)
    name = _DTYPE_NAMES.get(arr.dtype)
    if name is None:
        name = _DTYPE_NAMES[arr.dtype] = str(arr.dtype)
    return _Tensor(arr.shape, name, arr, arr.size)


def _graph_node(node: Any) -> _Node:
    params: Dict[str, _Tensor] = {}
    attrs: Dict[str, Any] = {}
    if is_dataclass(node) and not isinstance(node, type):
        for f in fields(node):
            if f.name in ("input_type", "output_type"):
                continue
            value = getattr(node, f.name, None)
            if value is None or (isinstance(value, dict) and not value):
                continue
            if isinstance(value, np.ndarray):
                params[f.name] = _graph_tensor(value)
            else:
                attrs[f.name] = encode_value(value)
    return _Node(type(node).__name__, params, attrs)


def _from_graph(graph: Any, name: Optional[str]) -> _Model:
    nodes = {node_id: _graph_node(node) for node_id, node in graph.nodes.items()}
    edges = [tuple(e) for e in graph.edges]
    meta = getattr(graph, "metadata", None)
    if isinstance(meta, dict) and isinstance(meta.get("name"), str):
        name = meta["name"]
    return _Model(name, nodes, edges)


def _doc_tensor(node_id: str, name: str, rec: Any) -> _Tensor:
    if not isinstance(rec, dict) or not isinstance(rec.get("shape"), list) or not isinstance(rec.get("dtype"), str):
        raise ValueError(f"parameter {name!r} of node {node_id!r} is not an encoded array")
    if "omitted" in rec or not isinstance(rec.get("data"), str):
        raise ValueError(f"parameter {name!r} of node {node_id!r} has no values in the document (it was "
                         f"summarised); compare the graphs or their files instead")
    shape = tuple(int(d) for d in rec["shape"])
    return _Tensor(shape, rec["dtype"], rec["data"], int(np.prod(shape, dtype=np.int64)))


def _from_document(doc: dict) -> _Model:
    records = doc.get("nodes")
    if not isinstance(records, list):
        raise ValueError('a viewer document needs a "nodes" list')
    nodes: Dict[str, _Node] = {}
    for i, rec in enumerate(records):
        if not isinstance(rec, dict) or "id" not in rec:
            raise ValueError(f'node #{i} of the viewer document has no "id"')
        node_id = rec["id"]
        params = rec.get("params") or {}
        nodes[node_id] = _Node(rec.get("type"), {k: _doc_tensor(node_id, k, v) for k, v in params.items()},
                               dict(rec.get("config") or {}))
    edges = [(e["source"], e["target"]) for e in doc.get("edges") or []]
    meta = doc.get("metadata")
    name = meta.get("name") if isinstance(meta, dict) and isinstance(meta.get("name"), str) else None
    return _Model(name, nodes, edges)


def _resolve(value: Any, param: str) -> Tuple[str, Any, Optional[str]]:
    """("doc", document, None) or ("graph", graph, file name); a path is read here, once."""
    if type(value) is dict:
        return "doc", value, None
    if isinstance(value, (str, bytes, os.PathLike)):
        import zelq.ir as ir  # a module import: installed, zelq.ir has no types and mypy takes it as Any
        path = os.fsdecode(value)
        # A name of bytes that are not UTF-8 is shown as the browser shows it: U+FFFD for each.
        shown = os.path.basename(path).encode("utf-16-le", "surrogatepass").decode("utf-16-le", "replace")
        return "graph", ir.read(path), shown
    if hasattr(value, "nodes") and hasattr(value, "edges"):
        return "graph", value, None
    _args.refuse(param, _EXPECTED, value)


def _model(resolved: Tuple[str, Any, Optional[str]]) -> _Model:
    kind, value, name = resolved
    return _from_document(value) if kind == "doc" else _from_graph(value, name)


# ---------------------------------------------------------------- numbers

def _values(t: _Tensor) -> np.ndarray:
    arr = t.data if isinstance(t.data, np.ndarray) else decode_array(
        {"data": t.data, "dtype": t.dtype, "shape": list(t.shape)})
    arr = arr.ravel()
    return arr.astype(np.complex128 if arr.dtype.kind == "c" else np.float64)


def _numpy_diff(a: _Tensor, b: _Tensor, rtol: float, atol: float) -> Tuple[float, float, float, float, int]:
    """What the native comparison measures, for element types it does not read."""
    x, y = _values(a), _values(b)
    nan_x, nan_y = np.isnan(x), np.isnan(y)
    ok = ~(nan_x | nan_y)
    x, y = x[ok], y[ok]
    d = np.where(x == y, 0, x - y)
    not_close = int(np.count_nonzero(nan_x != nan_y)) + int(np.count_nonzero(~np.isclose(x, y, rtol, atol)))
    ad = np.abs(d)
    return (float(ad.max()) if ad.size else 0.0, float(np.sqrt(np.sum(ad * ad))),
            float(np.sqrt(np.sum(np.abs(x) ** 2))), float(np.sqrt(np.sum(np.abs(y) ** 2))), not_close)


def _measure(pairs: List[Tuple[_Tensor, _Tensor]], rtol: float, atol: float) -> List[tuple]:
    native = [i for i, (a, b) in enumerate(pairs) if a.dtype in _NATIVE and b.dtype in _NATIVE]
    out: List[Optional[tuple]] = [None] * len(pairs)
    measured = _native.comparison()._diff_tensors([(pairs[i][0].data, pairs[i][0].dtype, pairs[i][1].data, pairs[i][1].dtype)
                              for i in native], rtol, atol)
    for i, m in zip(native, measured):
        out[i] = m
    return [m if m is not None else _numpy_diff(a, b, rtol, atol) for m, (a, b) in zip(out, pairs)]


def _rel_l2(diff_l2: float, a_l2: float, b_l2: float) -> float:
    """||a - b|| / ||a||, or / ||b|| when ||a|| is 0; 0 when both are."""
    base = a_l2 if a_l2 > 0 else b_l2
    return diff_l2 / base if base > 0 else 0.0


def _scaled_rel_l2(a: _Tensor, b: _Tensor) -> float:
    """rel_l2 on values divided by their largest magnitude first: the plain sums of squares
    overflow near 1.8e308 and vanish below 1e-154, where this one stays exact enough."""
    x, y = _values(a), _values(b)
    ok = ~(np.isnan(x) | np.isnan(y))
    x, y = x[ok], y[ok]
    if not x.size or not (np.all(np.isfinite(x)) and np.all(np.isfinite(y))):
        return math.nan
    scale = max(float(np.abs(x).max()), float(np.abs(y).max()))
    if scale == 0:
        return 0.0
    x, y = x / scale, y / scale
    return _rel_l2(float(np.linalg.norm(x - y)), float(np.linalg.norm(x)), float(np.linalg.norm(y)))


def _measured_rel_l2(a: _Tensor, b: _Tensor, max_abs: float, d_l2: float, a_l2: float, b_l2: float) -> float:
    rel = _rel_l2(d_l2, a_l2, b_l2)
    lost = max_abs > 0 and (d_l2 == 0 or max(a_l2, b_l2) == 0)  # squares that fell below the smallest float
    if lost or not math.isfinite(d_l2) or not math.isfinite(a_l2) or not math.isfinite(b_l2):
        scaled = _scaled_rel_l2(a, b)
        return scaled if math.isfinite(scaled) else rel
    return rel


def _overflowed(a: _Tensor, b: _Tensor, max_abs: float) -> bool:
    """Whether an infinite largest difference came from two finite values whose difference
    exceeds the largest float (it is then reported as that float, with a flag), rather than
    from an infinity on one side."""
    if not math.isinf(max_abs):
        return False
    x, y = _values(a), _values(b)
    ok = ~(np.isnan(x) | np.isnan(y))
    x, y = x[ok], y[ok]
    return not np.any((x != y) & (np.isinf(x) | np.isinf(y)))


# ---------------------------------------------------------------- the comparison

def _side(model: _Model) -> Dict[str, Any]:
    return {"name": model.name, "node_count": len(model.nodes), "edge_count": len(model.edges),
            "total_params": sum(t.size for n in model.nodes.values() for t in n.params.values())}


def _tensor_text(t: _Tensor) -> Dict[str, Any]:
    return {"shape": list(t.shape), "dtype": t.dtype}


def _node_change(a: _Node, b: _Node, pending: list, node_id: str) -> Dict[str, Any]:
    """The type, parameter and attribute differences of a node; tensors of equal shape go to `pending`."""
    change: Dict[str, Any] = {}
    if a.type != b.type:
        change["type"] = [a.type, b.type]
    params: Dict[str, Any] = {}
    for name in {**a.params, **b.params}:
        ta, tb = a.params.get(name), b.params.get(name)
        if tb is None:
            assert ta is not None  # the name came from one side or the other
            params[name] = {"removed": _tensor_text(ta)}
        elif ta is None:
            params[name] = {"added": _tensor_text(tb)}
        elif ta.shape != tb.shape:
            params[name] = {"shape": [list(ta.shape), list(tb.shape)]}
        else:
            pending.append((node_id, name, ta, tb))
    if params:
        change["params"] = params
    attrs = {k: [a.attrs.get(k), b.attrs.get(k)] for k in {**a.attrs, **b.attrs}
             if k not in a.attrs or k not in b.attrs or a.attrs[k] != b.attrs[k]}
    if attrs:
        change["attrs"] = attrs
    return change


def _compare_models(ma: _Model, mb: _Model, rtol: float, atol: float) -> Dict[str, Any]:
    changes: Dict[str, Dict[str, Any]] = {}
    pending: list = []
    common = [k for k in ma.nodes if k in mb.nodes]
    for node_id in common:
        changes[node_id] = _node_change(ma.nodes[node_id], mb.nodes[node_id], pending, node_id)
    measured = _measure([(ta, tb) for _, _, ta, tb in pending], rtol, atol)
    for (node_id, name, ta, tb), (max_abs, d_l2, a_l2, b_l2, not_close) in zip(pending, measured):
        if not not_close and ta.dtype == tb.dtype:
            continue
        overflow = _overflowed(ta, tb, max_abs)
        entry = {"max_abs_diff": sys.float_info.max if overflow else max_abs,
                 "rel_l2": _measured_rel_l2(ta, tb, max_abs, d_l2, a_l2, b_l2), "not_close": not_close}
        if overflow:
            entry["max_abs_diff_overflow"] = True
        if ta.dtype != tb.dtype:
            entry["dtype"] = [ta.dtype, tb.dtype]
        change = changes[node_id]
        params = change.setdefault("params", {})
        params[name] = entry
        # Parameters in the node's own order, whichever way each was found to differ.
        order = list({**ma.nodes[node_id].params, **mb.nodes[node_id].params})
        change["params"] = {k: params[k] for k in order if k in params}
    changed = {k: changes[k] for k in sorted(changes) if changes[k]}
    moved = _moved(ma, mb, rtol, atol)
    renamed = lambda k: moved.get(k, k)  # noqa: E731
    edges_a = {(renamed(s), renamed(t)) for s, t in ma.edges}
    edges_b = set(mb.edges)
    return {
        "added": sorted(k for k in mb.nodes if k not in ma.nodes and k not in moved.values()),
        "removed": sorted(k for k in ma.nodes if k not in mb.nodes and k not in moved),
        "changed": changed,
        "unchanged": len(common) - len(changed),
        "edges_added": [list(e) for e in sorted(edges_b - edges_a)],
        "edges_removed": [[k_a, t_a] for k_a, t_a in sorted(ma.edges) if (renamed(k_a), renamed(t_a)) not in edges_b],
        "a": _side(ma),
        "b": _side(mb),
        "moved": moved,
    }


def _signature(node: _Node) -> tuple:
    return (node.type, tuple((k, t.shape, t.dtype) for k, t in node.params.items()),
            repr(sorted(node.attrs.items())))


def _neighbours(model: _Model) -> Dict[Any, Tuple[set, set]]:
    out: Dict[Any, Tuple[set, set]] = {}
    for s, t in model.edges:
        out.setdefault(s, (set(), set()))[1].add(t)
        out.setdefault(t, (set(), set()))[0].add(s)
    return out


def _moved(ma: _Model, mb: _Model, rtol: float, atol: float) -> Dict[str, str]:
    """{old_id: new_id} for nodes only in a that reappear only in b under another id.

    A pair must be the only one of its kind on both sides (type, parameter
    shapes and dtypes, attributes and the neighbours that keep their ids), with
    close parameters and the same neighbours once every renaming is applied.
    """
    gone = {k: _signature(n) for k, n in ma.nodes.items() if k not in mb.nodes}
    new = {k: _signature(n) for k, n in mb.nodes.items() if k not in ma.nodes}
    if not gone or not new:
        return {}
    near_a, near_b = _neighbours(ma), _neighbours(mb)
    empty: Tuple[set, set] = (set(), set())
    both = ma.nodes.keys() & mb.nodes.keys()

    def kept(near, k):  # the neighbours that keep their identifier
        return tuple(frozenset(x & both) for x in near.get(k, empty))

    by_key_b: Dict[tuple, list] = {}
    for k, sig in new.items():
        by_key_b.setdefault((sig, kept(near_b, k)), []).append(k)
    by_key_a: Dict[tuple, list] = {}
    for k, sig in gone.items():
        by_key_a.setdefault((sig, kept(near_a, k)), []).append(k)
    pairs = {ids[0]: by_key_b[key][0] for key, ids in by_key_a.items()
             if len(ids) == 1 and len(by_key_b.get(key, ())) == 1}
    tensors = [(old, ta, mb.nodes[new_id].params[name]) for old, new_id in pairs.items()
               for name, ta in ma.nodes[old].params.items()]
    for (old, _, _), m in zip(tensors, _measure([(ta, tb) for _, ta, tb in tensors], rtol, atol)):
        if m[4]:
            pairs.pop(old, None)
    return {old: new_id for old, new_id in sorted(pairs.items())
            if all({pairs.get(x, x) for x in side_a} == side_b
                   for side_a, side_b in zip(near_a.get(old, empty), near_b.get(new_id, empty)))}


def _tolerance(param: str, value: Any) -> float:
    if isinstance(value, (str, bytes, bool)) or not isinstance(value, (int, float, np.integer, np.floating)):
        _args.refuse(param, "float", value)
    value = float(value)
    if not value >= 0:
        raise ValueError(f"{param} must be a number of at least 0, not {value!r}")
    return value


def compare(a: Any, b: Any, *, rtol: float = 1e-6, atol: float = 0.0) -> Dict[str, Any]:
    """The difference of two models, as a dict ready for JSON.

    `a` and `b` are each a zelq.ir graph, the path of a graph file or a viewer
    document (as graph_to_dict returns, with its tensor values). Nodes are
    matched by identifier. The result holds "added" and "removed" (sorted ids of
    nodes only in b, only in a), "changed" ({id: change} for nodes in both that
    differ), "unchanged" (how many nodes in both are equal), "edges_added" and
    "edges_removed" (sorted [source, target] pairs) and "a" and "b" (each side's
    name, node_count, edge_count and total_params).

    A change may hold "type": [type_a, type_b]; "params": {name: ...} with, for
    tensors of equal shape that are not close (NumPy's isclose(a, b, rtol, atol),
    NaN equal to NaN) or differ in dtype, {"max_abs_diff", "rel_l2", "not_close"
    (how many elements), and "dtype": [a, b] when it differs}, where rel_l2 is
    ||a - b||2 / ||a||2 (/ ||b||2 when ||a|| is 0), and a max_abs_diff of two finite values
    beyond the largest float is that float, with "max_abs_diff_overflow": True; {"shape": [shape_a, shape_b]};
    {"added": {shape, dtype}} or {"removed": {shape, dtype}}; and "attrs": {name:
    [value_a, value_b]} for other fields that differ (None on the side without one).

    TypeError for an argument of another kind or a non-numeric tolerance;
    ValueError for a negative tolerance and for a document whose tensors were
    summarised (their values are not in it); ir.read's errors pass through.
    """
    rtol = _tolerance("rtol", rtol)
    atol = _tolerance("atol", atol)
    return _compare_models(_model(_resolve(a, "a")), _model(_resolve(b, "b")), rtol, atol)


# ---------------------------------------------------------------- the comparison page

def _rows_cols(shape: Tuple[int, ...]) -> Tuple[int, int]:
    """A tensor as rows x cols, as the pages lay out heat maps: the first axis by the rest."""
    if len(shape) < 2:
        return 1, int(np.prod(shape, dtype=np.int64))
    return shape[0], int(np.prod(shape[1:], dtype=np.int64))


def _union_document(doc_a: dict, doc_b: dict) -> dict:
    """The viewer document of both graphs: b's nodes and edges, then what only a has."""
    ids_b = {rec["id"] for rec in doc_b["nodes"]}
    only_a = [rec for rec in doc_a["nodes"] if rec["id"] not in ids_b]
    nodes = [dict(rec) for rec in doc_b["nodes"]] + [dict(rec) for rec in only_a]
    edges_b = {(e["source"], e["target"]) for e in doc_b["edges"]}
    edges = list(doc_b["edges"]) + [e for e in doc_a["edges"] if (e["source"], e["target"]) not in edges_b]
    groups = list(doc_b.get("groups") or [])
    known_groups = {g.get("id") for g in groups if isinstance(g, dict)}
    node_to_group = dict(doc_b.get("node_to_group") or {})
    for rec in only_a:
        group = (doc_a.get("node_to_group") or {}).get(rec["id"])
        if group in known_groups:
            node_to_group[rec["id"]] = group
            rec["group"] = group
        else:
            rec.pop("group", None)
    counts: Dict[str, int] = {}
    for rec in nodes:
        counts[rec["type"]] = counts.get(rec["type"], 0) + 1
    summary = dict(doc_b.get("summary") or {})
    summary.update(node_count=len(nodes), edge_count=len(edges),
                   total_params=sum(int(rec.get("param_count") or 0) for rec in nodes), node_counts=counts)
    return {"version": doc_b.get("version"), "nodes": nodes, "edges": edges, "metadata": doc_b.get("metadata") or {},
            "summary": summary, "groups": groups, "node_to_group": node_to_group}


def comparison_document(a: Any, b: Any, *, rtol: float = 1e-6, atol: float = 0.0) -> Dict[str, Any]:
    """The viewer document of the union of `a` and `b`, with the comparison under "comparison".

    "comparison" holds compare()'s result and, for the page: "score" ({id:
    largest rel_l2 of the node's tensors}), "before" ({id: {param: a's encoded
    tensor}} for tensors that differ, so the panel can show both sides) and
    "diffs" ({id: {param: {"histogram", "heatmap"}}} of b - a), all computed
    from the full tensors, before any payload is summarised.
    """
    rtol = _tolerance("rtol", rtol)
    atol = _tolerance("atol", atol)
    from zelq.viz.serialize import graph_to_dict
    ra, rb = _resolve(a, "a"), _resolve(b, "b")
    ma, mb = _model(ra), _model(rb)
    result = _compare_models(ma, mb, rtol, atol)
    doc_a = ra[1] if ra[0] == "doc" else graph_to_dict(ra[1])
    doc_b = rb[1] if rb[0] == "doc" else graph_to_dict(rb[1])
    records_a = {rec["id"]: rec for rec in doc_a["nodes"]}
    score: Dict[str, float] = {}
    before: Dict[str, Dict[str, Any]] = {}
    diffs: Dict[str, Dict[str, Any]] = {}
    for node_id, change in result["changed"].items():
        for name, entry in (change.get("params") or {}).items():
            if "rel_l2" not in entry and "shape" not in entry:
                continue
            before.setdefault(node_id, {})[name] = records_a[node_id]["params"][name]
            if "rel_l2" not in entry:
                continue
            rel = entry["rel_l2"]
            score[node_id] = max(score.get(node_id, rel), rel)
            ta, tb = ma.nodes[node_id].params[name], mb.nodes[node_id].params[name]
            if ta.size:
                rows, cols = _rows_cols(ta.shape)
                pair = (ta.data, ta.dtype, tb.data, tb.dtype)
                if ta.dtype in _NATIVE and tb.dtype in _NATIVE:
                    diffs.setdefault(node_id, {})[name] = _native.comparison()._diff_summary(pair, rows, cols)
    doc = _union_document(doc_a, doc_b)
    doc["comparison"] = {**result, "rtol": rtol, "atol": atol, "score": score, "before": before, "diffs": diffs}
    return doc


def compare_html(a: Any, b: Any, *, title: Optional[str] = None, rtol: float = 1e-6, atol: float = 0.0) -> str:
    """The comparison page of two models (a str): one graph, the union of both.

    `a` and `b` are as for compare(). Nodes are marked added, removed, changed
    or unchanged and coloured by the size of their change (the largest rel_l2
    of their tensors); the page lists the changes largest first, and a node's
    panel shows both sides with the histograms of each changed tensor, of the
    difference, and a heat map of the difference. `title` defaults to "A vs B"
    from the models' names. Large payloads are summarised as render_html does,
    after the differences are computed. Errors as compare() and render_html.
    """
    title = _args.exact("title", title, str, none=True)
    from zelq.viz.render import render_html
    doc = comparison_document(a, b, rtol=rtol, atol=atol)
    cmp = doc["comparison"]
    if title is None:
        title = f'{cmp["a"]["name"] or "a"} vs {cmp["b"]["name"] or "b"}'
    # The size of change is also a colour mode of the page, as any node measure is.
    finite = {k: v for k, v in cmp["score"].items() if np.isfinite(v)}  # the page refuses infinite measures
    return render_html(doc, title, node_data={"rel_l2": finite})
