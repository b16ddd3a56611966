"""`zelqviz stats MODEL --activity A.npz --dt 1ms [--input REC] [--json]`: the layer table of
recorded activity, or the JSON of layer_statistics, printed."""
from __future__ import annotations

import argparse
import json
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np

from ..cli_inspect import Report


def _stats(args: argparse.Namespace, status: Any) -> Report:
    from zelq import ir

    from .statistics import layer_statistics
    from .table import statistics_json, statistics_text
    status(f"reading {Path(args.input).name}")
    graph = ir.read(args.input)
    status(f"counting {Path(args.activity).name}")
    stats = layer_statistics(graph, args.activity, dt=args.dt, inputs=args.input_recording, t0=args.t0,
                             sensor_size=args.sensor_size)
    if args.json:
        return Report(json.dumps(statistics_json(stats), indent=1))
    return Report(statistics_text(stats, {k: type(n).__name__ for k, n in graph.nodes.items()}))


def add_command(sub: Any, step: Callable[[str], float], time_us: Callable[[str], int],
                sensor_size: Callable[[str], tuple]) -> None:
    s = sub.add_parser("stats", help="what each layer costs on recorded activity: spikes, rate, sparsity, silent "
                                     "and saturated neurons, SynOps, dense MACs and energy",
                       description="per-layer statistics of recorded activity on a ZELQ-IR model")
    s.add_argument("input", metavar="MODEL.zelq")
    s.add_argument("--activity", required=True, metavar="ACTIVITY.npz",
                   help="spike counts per step (time first), keyed by node identifier")
    s.add_argument("--dt", required=True, type=step, metavar="TIME", help="time step: 1ms, 500us, or seconds (0.001)")
    s.add_argument("--input", dest="input_recording", metavar="RECORDING",
                   help="an event recording binned into the steps as the Input node's activity")
    s.add_argument("--t0", type=time_us, metavar="TIME", help="start of step 0 in the recording's own time "
                                                              "(default: its first event)")
    s.add_argument("--sensor-size", type=sensor_size, metavar="WxH",
                   help="the sensor, for an (N,) input of a recording whose header names none")
    s.add_argument("--json", action="store_true", help="print the JSON of layer_statistics")
    s.add_argument("-q", "--quiet", action="store_true", help="no progress line on stderr")
    s.set_defaults(run=_stats, open=False)


def add_graph_options(g: Any, time_us: Callable[[str], int], names: Callable[[str], Any]) -> None:
    """The network parts' options of `zelqviz graph`."""
    g.add_argument("--states", metavar="STATES.npz",
                   help="membrane potential or another state per step (time first), keyed by node identifier")
    g.add_argument("--input", dest="input_recording", metavar="RECORDING",
                   help="the input's event recording, shown step by step beside the activity (needs --dt)")
    g.add_argument("--t0", type=time_us, metavar="TIME", help="start of step 0 in the recording (default: its first event)")
    g.add_argument("--classes", type=names, metavar="A,B,C", help="names of the output's classes, in neuron order")
    g.add_argument("--label", type=int, metavar="K", help="the true class index, marked right or wrong beside the decision")


def _counts_only(activity: Dict[str, Any], graph: Any) -> Tuple[Dict[str, Any], Dict[str, str]]:
    """The arrays that hold spike counts (whole numbers >= 0) in their node's shape, and why
    the others are left out of the statistics (the page still shows their activity)."""
    from .statistics import checked_shape, output_shape
    counts: Dict[str, Any] = {}
    left: Dict[str, str] = {}
    for key, a in activity.items():
        if key not in graph.nodes:
            continue  # render_html names it
        try:
            checked_shape(key, a, output_shape(graph.nodes[key]))
        except ValueError:
            left[key] = "Its recorded activity is not in the node's output shape."
            continue
        whole = a.dtype.kind in "bu" or (a.dtype.kind == "i" and (a.size == 0 or a.min() >= 0)) or (
            a.dtype.kind == "f" and np.isfinite(a).all() and (a >= 0).all() and (a == np.round(a)).all())
        if whole:
            counts[key] = a
        else:
            left[key] = "Its recorded activity holds values, not spike counts."
    return counts, left


def graph_extras(args: argparse.Namespace, model: Path, activity: Optional[Dict[str, Any]], status: Any) -> Dict[str, Any]:
    """render_html's keywords for the network parts from `zelqviz graph`'s options; the layer
    statistics come with --activity and --dt, over the arrays that hold spike counts."""
    from ..cli_files import UsageError, readable as _readable, arrays_by_node as _activity
    out: Dict[str, Any] = {}
    if args.states is not None:
        status(f"reading {Path(args.states).name}")
        out["states"] = _activity(_readable(args.states))
    for name in ("classes", "label"):
        if getattr(args, name) is not None:
            out[name] = getattr(args, name)
    if (args.input_recording is not None or args.t0 is not None) and (activity is None or args.dt is None):
        raise UsageError("--input needs --activity and --dt")
    if args.input_recording is not None:
        out["inputs"] = str(_readable(args.input_recording))
        if args.t0 is not None:
            out["t0"] = args.t0
    if activity is not None and args.dt is not None:
        from zelq import ir

        from .statistics import layer_statistics
        graph = ir.read(str(model))
        counts, left = _counts_only(activity, graph)
        status("counting spikes and synaptic operations")
        stats = layer_statistics(graph, counts, dt=args.dt, inputs=out.get("inputs"), t0=out.get("t0"))
        for key, why in left.items():
            stats["layers"][key]["why"] = why
        out["statistics"] = stats
    return out
