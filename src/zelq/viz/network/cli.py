"""`zelqviz stats MODEL --activity A.npz --dt 1ms [--input REC] [--json]`: the layer table of
recorded activity, or the JSON of layer_statistics, printed."""
from __future__ import annotations

import argparse
import json
from pathlib import Path
from typing import Any, Callable

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
