"""The graph page's network parts: the layer table, neuron states, the input frames and the
output's running decision, on one time axis of steps.

render_html calls `network_part` when one of its keywords for these parts is given. The
parts' style and script (templates/viewer-network.html, built from pages/viewer/) go into
the page only then, so a page without them is the page it always was. Their document is
`net_document`; the statistics also become node measures through node_data.
"""
from __future__ import annotations

import base64
from typing import Any, Dict, Mapping, Optional, Tuple

import numpy as np

from .. import _args, pagefiles
from . import states as _states
from .table import COLUMNS

# Input frames above this many bytes (T x 2 x H x W) are pooled 2 x 2 until they fit.
INPUT_BUDGET = 24 << 20
# Output counts above this many samples (T x classes) keep the columns of some classes only.
OUTPUT_BUDGET = 1 << 20
_SCRIPT_MARK = "\n<!--script-->\n"
# Where the viewer template takes further parts, and where the page's head ends.
PARTS_MARK = "// ---- further parts, in the order they are made:"
HEAD_END = "</head>"

# Measure name -> record key: colour modes of the graph (names ending in their unit).
MEASURES = [("SynOps (count)", "synops"), ("energy (J)", "energy_j"), ("rate (Hz)", "rate_hz"),
            ("sparsity", "sparsity"), ("silent share", None)]


def _records(data: Mapping[str, Any]) -> Dict[Any, Mapping[str, Any]]:
    return {r["id"]: r for r in data.get("nodes") or [] if isinstance(r, dict) and "id" in r}


def _known(records: Mapping[Any, Any], node_id: Any, what: str) -> None:
    try:
        known = node_id in records
    except TypeError:
        known = False
    if not known:
        raise ValueError(f"{what} names node {node_id!r}, which is not in the document")


def _b64(a: np.ndarray, dtype: str) -> str:
    return base64.b64encode(np.ascontiguousarray(a, dtype=dtype).tobytes()).decode("ascii")


def _steps(activity: Optional[Mapping[Any, Any]], states: Optional[Mapping[Any, Any]]) -> int:
    lengths = [int(np.shape(v)[0]) for src in (activity or {}, states or {}) for v in src.values() if np.ndim(v)]
    return max(lengths, default=0)


# ---------------------------------------------------------------- layer table and measures

def table_part(statistics: Mapping[str, Any], records: Mapping[Any, Mapping[str, Any]]) -> Dict[str, Any]:
    layers = statistics.get("layers")
    if not isinstance(layers, dict) or not isinstance(statistics.get("total"), dict):
        raise ValueError("statistics must be what layer_statistics returns: {'layers', 'total', 'energy_model'}")
    rows = []
    for node_id, r in layers.items():
        _known(records, node_id, "statistics")
        rows.append({"id": node_id, "type": records[node_id].get("type"), "values": [r.get(k) for k, _ in COLUMNS],
                     "why": r.get("why")})
    total = statistics["total"]
    return {"columns": [h for _, h in COLUMNS], "keys": [k for k, _ in COLUMNS], "rows": rows,
            "total": [total.get(k) for k, _ in COLUMNS], "energy_model": dict(statistics.get("energy_model") or {})}


def statistic_measures(statistics: Mapping[str, Any]) -> Dict[str, Dict[Any, Any]]:
    out: Dict[str, Dict[Any, Any]] = {}
    for name, key in MEASURES:
        values: Dict[Any, Any] = {}
        for node_id, r in statistics["layers"].items():
            if key is None:
                v = r["silent"] / r["neurons"] if r.get("silent") is not None and r.get("neurons") else None
            else:
                v = r.get(key)
            if v is not None:
                values[node_id] = float(v)
        if values:
            out[name] = values
    return out


# ---------------------------------------------------------------- input and output

def _input_node(records: Mapping[Any, Mapping[str, Any]]) -> Tuple[Any, Tuple[int, ...]]:
    for node_id, r in records.items():
        if r.get("type") == "Input":
            shape = r.get("output_shape") or r.get("input_shape")
            if not shape:
                raise ValueError(f"inputs=: the Input node {node_id!r} has no shape to bin the events into")
            return node_id, tuple(int(s) for s in np.asarray(shape).reshape(-1))
    raise ValueError("inputs= needs an Input node in the document, and it has none")


def input_part(inputs: Any, records: Mapping[Any, Mapping[str, Any]], steps: int, dt: float, t0: Any,
               sensor_size: Any) -> Dict[str, Any]:
    from .inputs import bin_recording
    node_id, shape = _input_node(records)
    binned = bin_recording(inputs, shape, steps, dt, t0=t0, sensor_size=sensor_size, node=str(node_id))
    frames = np.minimum(binned.frames, 255).astype(np.uint8)
    pooled = 1
    while frames.nbytes > INPUT_BUDGET and min(frames.shape[2:]) >= 2:
        t, c, h, w = frames.shape
        frames = frames[:, :, :h // 2 * 2, :w // 2 * 2].reshape(t, c, h // 2, 2, w // 2, 2).sum(
            axis=(3, 5), dtype=np.uint32).clip(0, 255).astype(np.uint8)
        pooled *= 2
    return {"node": node_id, "t0": binned.t0, "dt_us": binned.dt_us, "events": binned.events,
            "height": int(frames.shape[2]), "width": int(frames.shape[3]), "pooled": pooled,
            "frames": _b64(frames, "u1")}


def output_node(data: Mapping[str, Any], records: Mapping[Any, Mapping[str, Any]], output: Optional[str]) -> Any:
    if output is not None:
        _known(records, output, "output=")
        return output
    outputs = [i for i, r in records.items() if r.get("type") == "Output"]
    for out in outputs:
        preds = [e.get("source") for e in data.get("edges") or [] if isinstance(e, dict) and e.get("target") == out]
        if len(preds) == 1:
            return preds[0]
    return None


def _running_decision(counts: np.ndarray) -> np.ndarray:
    """The class with the largest cumulative count over steps 0..k, for every step k (the
    lowest index on a tie), summed in blocks of steps so that no T x K float64 copy is made."""
    steps, k = counts.shape
    out = np.empty(steps, np.int32)
    cum = np.zeros(k, np.float64)
    rows = max(1, (1 << 20) // max(k, 1))
    for a in range(0, steps, rows):
        block = np.cumsum(counts[a:a + rows], axis=0, dtype=np.float64) + cum
        out[a:a + rows] = block.argmax(axis=1)
        cum = block[-1]
    return out


def _within_budget(part: Dict[str, Any], counts: np.ndarray, label: Optional[int]) -> None:
    """Counts past OUTPUT_BUDGET keep the classes that lead at some step, the label and then
    the busiest, as many as fit; the running decision and the spikes of every step come for
    all classes, exact, and the page says what it left out."""
    steps, k = counts.shape
    decision = _running_decision(counts)
    room = max(1, OUTPUT_BUDGET // steps)
    totals = counts.sum(axis=0, dtype=np.float64)
    first = list(dict.fromkeys([*np.unique(decision).tolist(), *([] if label is None else [label])]))
    busiest = [int(c) for c in np.argsort(-totals, kind="stable") if int(c) not in set(first)]
    kept = sorted((first + busiest)[:max(room, 1)])
    part["counts"] = _b64(counts[:, kept], "<f4")
    part["kept"] = kept
    part["decision"] = _b64(decision, "<i4")
    part["spikes"] = _b64(counts.sum(axis=1, dtype=np.float64), "<f4")
    part["left_out"] = (f"the counts of {k - len(kept):,} of {k:,} classes over the {steps:,} steps (the page keeps"
                        f" {len(kept):,}: those that lead at some step, the label and the busiest; the decision"
                        f" counts every class)")


def output_part(node_id: Any, activity: Optional[Mapping[Any, Any]], classes: Any, label: Any) -> Dict[str, Any]:
    part: Dict[str, Any] = {"node": node_id, "classes": None, "label": None, "counts": None, "k": 0}
    counts = None
    if node_id is not None and activity and node_id in activity:
        counts = _states.per_step(node_id, activity[node_id], None, "Activity")
        part["k"] = int(counts.shape[1])
        if counts.size <= OUTPUT_BUDGET:
            part["counts"] = _b64(counts, "<f4")
    if classes is not None:
        if type(classes) not in (list, tuple) or not all(isinstance(c, str) for c in classes):
            _args.refuse("classes", "list", classes)
        if counts is not None and len(classes) != counts.shape[1]:
            raise ValueError(f"classes names {len(classes)} classes, but node {node_id!r} has "
                             f"{counts.shape[1]} neurons")
        part["classes"] = list(classes)
    if label is not None:
        k = _args.integer("label", label)
        n = part["k"] or (len(classes) if classes is not None else 0)
        if not 0 <= k < max(n, 1) or (n == 0):
            raise ValueError(f"label must be a class index from 0 to {n - 1} (got {k})")
        part["label"] = k
    if counts is not None and counts.size > OUTPUT_BUDGET:
        _within_budget(part, counts, part["label"])
    return part


# ---------------------------------------------------------------- the whole

def net_document(data: Dict[str, Any], activity: Optional[Mapping[Any, Any]], dt: Optional[float],
                 statistics: Optional[Mapping[str, Any]], states: Optional[Mapping[Any, Any]],
                 trace_neurons: Optional[Mapping[Any, Any]], inputs: Any, t0: Any, sensor_size: Any,
                 classes: Any, label: Any, output: Optional[str]) -> Dict[str, Any]:
    records = _records(data)
    dt = None if dt is None else float(dt)
    steps = _steps(activity, None) or _steps(None, states)
    doc: Dict[str, Any] = {"steps": steps, "dt": dt, "table": None, "states": [], "dead": {}, "input": None,
                           "output": None}
    if statistics is not None:
        doc["table"] = table_part(statistics, records)
    spikes: Dict[Any, np.ndarray] = {}
    for node_id, a in (activity or {}).items():
        rec = records.get(node_id)
        if rec is not None:
            counts = _states.per_step(node_id, a, None, "Activity")  # any layout the activity takes
            if counts.dtype.kind in "biu" or (counts.size and np.array_equal(counts, np.round(counts))):
                spikes[node_id] = counts
                doc["dead"][node_id] = _states.dead_lists(counts)
    for node_id in trace_neurons or {}:
        _known(records, node_id, "trace_neurons")
        if node_id not in (states or {}):
            raise ValueError(f"trace_neurons names node {node_id!r}, which has no states")
    for node_id, v in (states or {}).items():
        _known(records, node_id, "states")
        if activity and np.ndim(v) and int(np.shape(v)[0]) != steps:
            raise ValueError(f"States of node {node_id!r} have {int(np.shape(v)[0])} steps, but the activity "
                             f"has {steps}: states and activity share one time axis")
        named = (trace_neurons or {}).get(node_id, [])
        if type(named) not in (list, tuple):
            _args.refuse(f"trace_neurons[{node_id!r}]", "list", named)
        budget = _states.traces_per_node(len(states or {}), steps)
        doc["states"].append(_states.state_record(node_id, records[node_id], v, spikes.get(node_id), named, budget))
    if inputs is not None:
        if not steps or not dt:
            raise ValueError("inputs= needs activity (or states) and dt, for the steps to bin the events into")
        doc["input"] = input_part(inputs, records, steps, dt, t0, sensor_size)
    elif t0 is not None or sensor_size is not None:
        raise ValueError("t0= and sensor_size= place the events of inputs=, which is not given")
    if classes is not None or label is not None or output is not None or activity:
        if output is not None and not isinstance(output, str):
            _args.refuse("output", "str", output)
        doc["output"] = output_part(output_node(data, records, output), activity, classes, label)
    return doc


def network_part(data: Dict[str, Any], activity: Any, dt: Any, statistics: Any, states: Any, trace_neurons: Any,
                 inputs: Any, t0: Any, sensor_size: Any, classes: Any, label: Any, output: Any,
                 node_data: Any) -> Dict[str, Any]:
    """{"style", "script", "node_data"}: the parts' style for the head, their script for the part
    list (their document inline), and node_data with the statistics' measures added."""
    doc = net_document(data, activity, dt, statistics, states, trace_neurons, inputs, t0, sensor_size,
                       classes, label, output)
    style, script = pagefiles.template("viewer-network.html").split(_SCRIPT_MARK, 1)
    script = f"const ZNetData = {pagefiles.script_json(doc)};\n" + script
    merged = None
    if statistics is not None:
        merged = {**statistic_measures(statistics), **(node_data or {})}
    elif node_data is not None:
        merged = node_data
    return {"style": style, "script": script, "node_data": merged}

