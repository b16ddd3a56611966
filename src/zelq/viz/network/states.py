"""Neuron states for the graph page: a few full traces per node, the rest as min, mean and max.

States are large (T x neurons of floats), so a node keeps full traces for at most
TRACE_NEURONS neurons: those the caller names, then its busiest (most spikes, or
the widest swing of the state where no spikes are recorded), then some of its
silent ones; fewer where the page's traces would pass TRACE_BUDGET samples. Each
neuron's min, mean and max go too, up to SUMMARY_NEURONS per node. What is left out
is said on the page.
"""
from __future__ import annotations

import base64
from typing import Any, Dict, List, Mapping, Optional, Sequence

import numpy as np

TRACE_NEURONS = 64
TRACE_BUDGET = 8 << 20     # trace samples (float32) of the whole page: fewer neurons a node past it
MIN_TRACES = 8
SILENT_TRACES = 8          # of the 64, at most this many silent neurons
SUMMARY_NEURONS = 1 << 16  # per-neuron min, mean, max
LISTED_NEURONS = 256       # silent and saturated neurons listed by index


def b64(a: np.ndarray) -> str:
    return base64.b64encode(np.ascontiguousarray(a, dtype="<f4").tobytes()).decode("ascii")


def per_step(node_id: Any, array: Any, expected: Optional[Sequence[int]], what: str) -> np.ndarray:
    """`array` as (T, neurons), checked against the node's output shape."""
    a = np.asarray(array)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{what} of node {node_id!r} must hold real numbers, not {a.dtype}")
    if a.ndim < 1 or a.shape[0] == 0:
        raise ValueError(f"{what} of node {node_id!r} has no time steps")
    if expected:
        shape = tuple(int(s) for s in expected)
        if a.shape[1:] != shape and a.shape[1:] != (int(np.prod(shape)),):
            raise ValueError(f"{what} of node {node_id!r} has shape {a.shape}, but the node's output is {shape}")
    return a.reshape(a.shape[0], -1)


def spike_totals(spikes: Optional[np.ndarray]) -> Optional[np.ndarray]:
    return None if spikes is None else spikes.sum(axis=0, dtype=np.float64)


def dead_lists(spikes: np.ndarray) -> Dict[str, Any]:
    """The silent (no spike) and saturated (non-zero at every step) neurons of a (T, N) count array."""
    silent = np.flatnonzero(spikes.sum(axis=0, dtype=np.float64) == 0)
    saturated = np.flatnonzero((spikes != 0).all(axis=0))
    return {"silent": silent[:LISTED_NEURONS].tolist(), "silent_count": int(len(silent)),
            "saturated": saturated[:LISTED_NEURONS].tolist(), "saturated_count": int(len(saturated)),
            "neurons": int(spikes.shape[1])}


def traces_per_node(nodes: int, steps: int) -> int:
    """Traced neurons a node, so that the page's traces stay within TRACE_BUDGET samples."""
    if not nodes or not steps:
        return TRACE_NEURONS
    return int(max(MIN_TRACES, min(TRACE_NEURONS, TRACE_BUDGET // (nodes * steps))))


def chosen_neurons(node_id: Any, n: int, named: Sequence[Any], totals: Optional[np.ndarray],
                   swing: np.ndarray, budget: int = TRACE_NEURONS) -> List[int]:
    """The traced neurons: the named ones, then the busiest, then a few silent ones."""
    out: List[int] = []
    for k in named:
        if isinstance(k, (bool, np.bool_)) or not isinstance(k, (int, np.integer)):
            raise TypeError(f"trace_neurons[{node_id!r}] must list neuron indices, not {type(k).__name__}")
        if not 0 <= int(k) < n:
            raise ValueError(f"trace_neurons[{node_id!r}] names neuron {int(k)}, but the node has {n}")
        if int(k) not in out:
            out.append(int(k))
    limit = max(budget, len(out))
    taken = set(out)
    silent = [int(k) for k in (np.flatnonzero(totals == 0) if totals is not None else []) if int(k) not in taken]
    silent = silent[:SILENT_TRACES]
    busy_room = limit - len(out) - len(silent)
    for k in np.argsort(-(totals if totals is not None else swing), kind="stable")[:busy_room + len(out) + len(silent)]:
        if len(out) >= limit - len(silent):
            break
        if int(k) not in taken and int(k) not in silent:
            out.append(int(k))
            taken.add(int(k))
    out += silent[:limit - len(out)]
    return out


def threshold_of(record: Mapping[str, Any], chosen: Sequence[int]) -> Optional[List[float]]:
    """The node's v_threshold (or threshold) at each traced neuron, where the page holds its values."""
    from ..encode import decode_array
    params = record.get("params") or {}
    for name in ("v_threshold", "threshold"):
        rec = params.get(name)
        if not isinstance(rec, dict) or not rec.get("data"):
            continue
        try:
            values = np.asarray(decode_array(rec), np.float64).reshape(-1)
        except (ValueError, TypeError, KeyError):
            continue
        if values.size == 1:
            return [float(values[0])] * len(chosen)
        if values.size > max(chosen, default=-1):
            return [float(values[k]) for k in chosen]
    return None


def state_record(node_id: Any, record: Mapping[str, Any], states: Any, spikes: Optional[np.ndarray],
                 named: Sequence[Any], budget: int = TRACE_NEURONS) -> Dict[str, Any]:
    a = per_step(node_id, states, record.get("output_shape"), "States")
    lo, hi = a.min(axis=0), a.max(axis=0)
    if a.dtype.kind == "f" and not (np.isfinite(lo).all() and np.isfinite(hi).all()):
        raise ValueError(f"States of node {node_id!r} hold NaN or infinite values")
    if spikes is not None and spikes.shape[1] != a.shape[1]:
        spikes = None
    n = a.shape[1]
    totals = spike_totals(spikes)
    chosen = chosen_neurons(node_id, n, named, totals, hi.astype(np.float64) - lo, budget)
    traces = a[:, chosen].T.astype(np.float32)
    out: Dict[str, Any] = {"id": node_id, "neurons": n, "steps": int(a.shape[0]), "traced": chosen,
                           "default": chosen[len(named)] if len(chosen) > len(named) else chosen[0],
                           "traces": b64(traces), "threshold": threshold_of(record, chosen),
                           "spikes": None, "summary": None, "left_out": []}
    if spikes is not None:
        picked = spikes[:, chosen]
        out["spikes"] = [np.flatnonzero(picked[:, j]).tolist() for j in range(len(chosen))]
    if len(chosen) < n:
        out["left_out"].append(f"full traces of {n - len(chosen):,} of {n:,} neurons "
                               f"(kept: {len(chosen)}, the named, the busiest and some silent ones)")
    if n <= SUMMARY_NEURONS:
        out["summary"] = b64(np.stack([lo.astype(np.float64), a.mean(axis=0, dtype=np.float64),
                                       hi.astype(np.float64)]))
    else:
        out["left_out"].append(f"min, mean and max of each of its {n:,} neurons (over {SUMMARY_NEURONS:,})")
    return out
