"""What each layer of a network costs on recorded activity: spikes, rates, sparsity,
silent and saturated neurons, synaptic operations, the dense network's
multiply-accumulates and an energy estimate.

Every array is read once, in place, by the native totals (kernels/layer_stats.hpp);
counts are exact Python ints. A convolution's SynOps weight each input position's
spike total by the kernel taps that reach a valid output from there, which is a
product of one tap count per axis: the per-neuron totals are reduced against the
two axis counts, never convolved.
"""
from __future__ import annotations

import math
import numbers
import os
from typing import Any, Dict, Iterator, List, Mapping, Optional, Tuple

import numpy as np

from .. import _args, _native

# 32-bit floating point at 45 nm: an accumulate and a multiply-accumulate, in joules.
ENERGY_MODEL: Dict[str, float] = {"ac_j": 0.9e-12, "mac_j": 4.6e-12}

RECORD_KEYS = ("neurons", "steps", "spikes", "rate_hz", "sparsity", "silent", "saturated",
               "synops", "macs", "energy_j", "dense_energy_j", "why")
WEIGHTED = ("Affine", "Linear", "Conv1d", "Conv2d")
_TOTALLED = ("spikes", "synops", "macs", "energy_j", "dense_energy_j")


# ---------------------------------------------------------------- arguments

def time_step(dt: Any) -> float:
    """`dt` as positive finite seconds."""
    if isinstance(dt, (str, bytes, bool)) or not isinstance(dt, numbers.Real):
        _args.refuse("dt", "float", dt)
    value = float(dt)
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"dt must be a positive number of seconds (got {dt!r})")
    if math.isinf(1.0 / value):
        raise ValueError(f"dt of {dt!r} seconds is too small: one spike a step would be an infinite rate")
    return value


def energy_model(energy: Any) -> Dict[str, float]:
    if energy is None:
        return dict(ENERGY_MODEL)
    if type(energy) is not dict:
        _args.refuse("energy", "dict", energy)
    model = dict(ENERGY_MODEL)
    for key, value in energy.items():
        if key not in model:
            raise ValueError(f"energy takes the keys 'ac_j' and 'mac_j', not {key!r}")
        if isinstance(value, (str, bytes, bool)) or not isinstance(value, numbers.Real):
            raise TypeError(f"energy[{key!r}] must be a number of joules, not {_args.type_name(value)}")
        joules = float(value)
        if not (math.isfinite(joules) and joules >= 0):
            raise ValueError(f"energy[{key!r}] must be a finite number of joules >= 0 (got {value!r})")
        model[key] = joules
    return model


def read_graph(graph: Any) -> Any:
    if isinstance(graph, (str, bytes, os.PathLike)):
        from zelq import ir
        return ir.read(os.fsdecode(graph))
    return graph


def activity_arrays(activity: Any) -> Iterator[Tuple[Any, Any]]:
    """(node id, array) pairs of a mapping, or of an .npz archive read one array at a time."""
    if isinstance(activity, Mapping):
        yield from activity.items()
        return
    if not isinstance(activity, (str, bytes, os.PathLike)):
        _args.refuse("activity", "dict", activity)
    from ..inputfiles import npz_arrays
    yield from npz_arrays(os.fsdecode(activity), "activity")


# ---------------------------------------------------------------- the graph

def output_shape(node: Any) -> Optional[Tuple[int, ...]]:
    t = getattr(node, "output_type", None)
    shape = t.get("output") if isinstance(t, dict) else None
    return None if shape is None else tuple(int(s) for s in np.asarray(shape).reshape(-1))


def input_shape(node: Any) -> Optional[Tuple[int, ...]]:
    t = getattr(node, "input_type", None)
    shape = t.get("input") if isinstance(t, dict) else None
    if shape is None:
        shape = getattr(node, "input_shape", None)
    return None if shape is None else tuple(int(s) for s in np.asarray(shape).reshape(-1))


def predecessors(graph: Any) -> Dict[Any, List[Any]]:
    preds: Dict[Any, List[Any]] = {name: [] for name in graph.nodes}
    for src, dst in graph.edges:
        if dst in preds:
            preds[dst].append(src)
    return preds


def first_input(graph: Any) -> Optional[str]:
    return next((name for name, node in graph.nodes.items() if type(node).__name__ == "Input"), None)


# ---------------------------------------------------------------- per node

def checked_shape(node_id: Any, array: Any, expected: Optional[Tuple[int, ...]]) -> None:
    """The neuron axes of `array` must be the node's output shape, or that shape flattened."""
    shape = tuple(np.shape(array))
    if not expected or len(shape) < 1:
        return
    per_step = shape[1:]
    if per_step != expected and per_step != (math.prod(expected),):
        raise ValueError(f"Activity of node {node_id!r} has shape {shape}, but the node's output is "
                         f"{expected}: expected (T, {', '.join(map(str, expected))}{',' if len(expected) == 1 else ''})")


def totals(node_id: Any, array: Any) -> Dict[str, Any]:
    return _native.activity()._count_totals(array, node_id)


def activity_fields(t: Dict[str, Any], dt: float) -> Dict[str, Any]:
    neurons, steps, spikes = t["neurons"], t["steps"], t["spikes"]
    try:
        rate = spikes / (neurons * steps * dt)
    except OverflowError:
        rate = math.inf
    if not math.isfinite(rate):
        raise ValueError(f"the rate of {spikes:.6g} spikes over {neurons:,} neurons and {steps:,} steps "
                         f"of {dt!r} s overflows")
    return {"neurons": neurons, "steps": steps, "spikes": spikes,
            "rate_hz": rate, "sparsity": t["zeros"] / (neurons * steps),
            "silent": t["silent"], "saturated": t["saturated"]}


def axis_taps(size: int, kernel: int, stride: int, padding: int, dilation: int, out: int) -> np.ndarray:
    """Per input position along one axis: the kernel taps that reach a valid output position."""
    i = np.arange(size, dtype=np.int64)
    taps = np.zeros(size, np.uint64)
    for k in range(kernel):  # a loop over the kernel's taps, each vectorised over the axis
        at = i + padding - k * dilation
        o = at // stride
        taps += ((at >= 0) & (at % stride == 0) & (o < out)).astype(np.uint64)
    return taps


def _pair(v: Any) -> Tuple[int, int]:
    a = np.asarray(v).reshape(-1)
    return (int(a[0]), int(a[0])) if a.size == 1 else (int(a[0]), int(a[1]))


def conv_geometry(node: Any) -> Optional[Dict[str, Any]]:
    """Input (C, H, W), kernel, stride, padding, dilation and output of a Conv1d / Conv2d node."""
    kind = type(node).__name__
    w = getattr(node, "weight", None)
    shape_in = input_shape(node)
    shape_out = output_shape(node)
    if w is None or shape_in is None or shape_out is None:
        return None
    groups = int(getattr(node, "groups", 1) or 1)
    if kind == "Conv1d":
        (c, n), (o, m) = shape_in, shape_out
        return {"in": (c, 1, n), "out": (o, 1, m), "kernel": (1, int(w.shape[-1])), "groups": groups,
                "stride": (1, int(node.stride)), "padding": (0, int(node.padding)), "dilation": (1, int(node.dilation)),
                "in_per_group": int(w.shape[1])}
    (c, h, wd), (o, oh, ow) = shape_in, shape_out
    return {"in": (c, h, wd), "out": (o, oh, ow), "kernel": (int(w.shape[-2]), int(w.shape[-1])), "groups": groups,
            "stride": _pair(node.stride), "padding": _pair(node.padding), "dilation": _pair(node.dilation),
            "in_per_group": int(w.shape[1])}


def dense_macs(node: Any, steps: int) -> Optional[int]:
    kind = type(node).__name__
    if kind in ("Affine", "Linear"):
        w = getattr(node, "weight", None)
        return None if w is None else steps * int(w.shape[0]) * int(w.shape[1])
    g = conv_geometry(node)
    if g is None:
        return None
    o, oh, ow = g["out"]
    return steps * o * oh * ow * g["in_per_group"] * g["kernel"][0] * g["kernel"][1]


def synops_of(node_id: Any, node: Any, arriving: Any, t: Dict[str, Any]) -> Tuple[Optional[int], Optional[str]]:
    """The SynOps of `node` given the totals `t` of the spikes that arrive from node `arriving`."""
    kind = type(node).__name__
    if kind in ("Affine", "Linear"):
        w = getattr(node, "weight", None)
        if w is None:
            return None, "SynOps need the node's weight, and it has none."
        if t["neurons"] != int(w.shape[1]):
            raise ValueError(f"Activity of node {arriving!r} has {t['neurons']} neurons per step, but node "
                             f"{node_id!r} takes {int(w.shape[1])} inputs")
        return int(w.shape[0]) * t["spikes"], None
    g = conv_geometry(node)
    if g is None:
        return None, "SynOps need the node's weight and its input and output shapes."
    c, h, wd = g["in"]
    if t["neurons"] != c * h * wd:
        raise ValueError(f"Activity of node {arriving!r} has {t['neurons']} neurons per step, but node "
                         f"{node_id!r} takes {c * h * wd} ({'x'.join(map(str, g['in'] if h > 1 else (c, wd)))})")
    rows = axis_taps(h, g["kernel"][0], g["stride"][0], g["padding"][0], g["dilation"][0], g["out"][1])
    cols = axis_taps(wd, g["kernel"][1], g["stride"][1], g["padding"][1], g["dilation"][1], g["out"][2])
    native = _native.activity()
    weighted = native._tap_total(t["sums"], c, rows, cols)
    if t["carries"] is not None:  # sums past 64 bits
        weighted += native._tap_total(t["carries"], c, rows, cols) << 64
    return (g["out"][0] // g["groups"]) * weighted, None


def arriving_node(node_id: Any, preds: Dict[Any, List[Any]], nodes: Mapping, recorded: Mapping) -> Tuple[Optional[Any], Optional[str]]:
    """The node whose recorded spikes arrive at `node_id`: its single predecessor, seen through Flatten."""
    src = preds.get(node_id, [])
    if len(src) != 1:
        return None, (f"SynOps need one input, and this node has {len(src)}"
                      + (f" ({', '.join(map(repr, src))})." if src else "."))
    at = src[0]
    while at not in recorded and type(nodes[at]).__name__ == "Flatten" and len(preds.get(at, [])) == 1:
        at = preds[at][0]
    if at not in recorded:
        return None, f"SynOps need the spikes arriving here: record the activity of {at!r}."
    return at, None


def empty_record(steps: Optional[int]) -> Dict[str, Any]:
    r: Dict[str, Any] = dict.fromkeys(RECORD_KEYS)
    r["steps"] = steps
    return r


def total_record(layers: Mapping[Any, Dict[str, Any]]) -> Dict[str, Any]:
    total = dict.fromkeys(RECORD_KEYS)
    for key in _TOTALLED:
        values = [r[key] for r in layers.values() if r[key] is not None]
        if values:
            acc = values[0]
            for v in values[1:]:
                acc = acc + v
            total[key] = acc
    return total


# ---------------------------------------------------------------- the entry point

def layer_statistics(graph: Any, activity: Any, *, dt: Any, inputs: Any = None, t0: Any = None,
                     sensor_size: Any = None, energy: Any = None) -> Dict[str, Any]:
    """Per-layer statistics of recorded spike counts on a graph.

    graph: a zelq.ir.Graph or the path of a .zelq file. activity: {node id: array (T,
    *node output shape)} of spike counts per step (bool, integer, or float holding whole
    numbers), or the path of an .npz of such arrays. dt: seconds per step. inputs: an
    event recording (a path in any format read_events reads, or an event array) binned
    into steps of dt from t0 (µs; default its first event) as the Input node's activity;
    sensor_size=(width, height) gives a bare array's width for an (N,) input.
    energy: {"ac_j": J, "mac_j": J} overrides the 45 nm float32 defaults.

    Returns {"layers": {node id: record}, "total": record, "energy_model": {"ac_j", "mac_j"}},
    layers in node order. A record holds "neurons", "steps", "spikes", "rate_hz",
    "sparsity", "silent", "saturated" (None without activity), "synops", "macs",
    "energy_j", "dense_energy_j" (Affine, Linear, Conv1d, Conv2d) and "why" (None, or
    what is missing). Counts are exact ints. SynOps count, per spike of count c arriving
    from the single predecessor (seen through Flatten), c times every weight it meets.

    Raises ValueError naming the node for a shape that does not match it, negative or
    non-whole counts, arrays of different step counts, an id that is not a node, and for
    a dt that is not positive and finite; TypeError for values of the wrong type.
    """
    dt = time_step(dt)
    model = energy_model(energy)
    graph = read_graph(graph)
    nodes = graph.nodes
    preds = predecessors(graph)
    recorded: Dict[Any, Dict[str, Any]] = {}
    steps_seen: Optional[Tuple[Any, int]] = None

    def add(node_id: Any, array: Any) -> None:
        nonlocal steps_seen
        checked_shape(node_id, array, output_shape(nodes[node_id]))
        t = totals(node_id, array)
        if steps_seen is not None and t["steps"] != steps_seen[1]:
            raise ValueError(f"Activity of node {node_id!r} has {t['steps']} steps, but that of "
                             f"{steps_seen[0]!r} has {steps_seen[1]}: every array needs the same steps")
        steps_seen = steps_seen or (node_id, t["steps"])
        recorded[node_id] = t

    for node_id, array in activity_arrays(activity):
        if not isinstance(node_id, str) or node_id not in nodes:
            raise ValueError(f"Activity names node {node_id!r}, which is not in the graph")
        add(node_id, array)
    if inputs is not None:
        from .inputs import as_input, bin_recording
        entry = first_input(graph)
        if entry is None:
            raise ValueError("inputs= needs an Input node in the graph, and it has none")
        if entry in recorded:
            raise ValueError(f"Activity names the Input node {entry!r} and inputs= is given: give one of the two")
        if steps_seen is None:
            raise ValueError("inputs= needs the activity of at least one node, for its number of steps")
        shape = output_shape(nodes[entry]) or ()
        binned = bin_recording(inputs, shape, steps_seen[1], dt, t0=t0, sensor_size=sensor_size, node=entry)
        add(entry, as_input(binned, shape))
    elif t0 is not None or sensor_size is not None:
        raise ValueError("t0= and sensor_size= place the events of inputs=, which is not given")

    steps = steps_seen[1] if steps_seen else None
    layers: Dict[Any, Dict[str, Any]] = {}
    for node_id, node in nodes.items():
        r = empty_record(steps)
        why: List[str] = []
        if node_id in recorded:
            r.update(activity_fields(recorded[node_id], dt))
        elif type(node).__name__ not in WEIGHTED:
            why.append("No activity was recorded for this node.")
        if type(node).__name__ in WEIGHTED and steps is not None:
            r["macs"] = dense_macs(node, steps)
            src, missing = arriving_node(node_id, preds, nodes, recorded)
            if src is not None:
                r["synops"], missing = synops_of(node_id, node, src, recorded[src])
            if missing:
                why.append(missing)
            if r["synops"] is not None:
                r["energy_j"] = r["synops"] * model["ac_j"]
            if r["macs"] is not None:
                r["dense_energy_j"] = r["macs"] * model["mac_j"]
        elif type(node).__name__ in WEIGHTED:
            why.append("No activity was recorded, so the steps are not known.")
        r["why"] = " ".join(why) or None
        layers[node_id] = r
    return {"layers": layers, "total": total_record(layers), "energy_model": model}
