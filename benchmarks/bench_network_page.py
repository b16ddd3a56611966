#!/usr/bin/env python3
"""A 40-layer spiking network's page with activity, states and an input recording: its size,
the time to write it, and the time until it is ready in headless Chromium.

    PYTHONPATH=src python benchmarks/bench_network_page.py [--steps 300] [--channels 8] [--side 32]

The network: an Input (2, side, side), 19 Conv2d -> LIF stages (3x3, padding 1) and an
Affine -> LIF readout of 10 classes: 41 nodes plus the Output. Every LIF layer's spikes
(uint8) and membrane potential (float32) are recorded over --steps steps; the input is a
recording of 300,000 events over the same span. The page holds layer_statistics, the
states (64 traced neurons a layer, min/mean/max of all), the input frames and the
output. Target: ready within 3 s (the viewer's ready flag, from the start of navigation),
against the page of the same activity without the network parts, in the same run.
"""
import argparse
import sys
import tempfile
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "src"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import report, timed, viewer_ready_seconds  # noqa: E402
from zelq import ir  # noqa: E402
from zelq.viz import layer_statistics  # noqa: E402
from zelq.viz.render import render_html  # noqa: E402
from zelq.viz.serialize import graph_to_dict  # noqa: E402



def network(side, channels, stages=19):
    g = ir.Graph()
    g.add("input", ir.Input((2, side, side)))
    prev, c = "input", 2
    for k in range(stages):
        g.add(f"conv{k}", ir.Conv2d(np.zeros((channels, c, 3, 3), np.float32), None, padding=(1, 1),
                                    input_shape=(c, side, side)))
        shape = (channels, side, side)
        g.add(f"lif{k}", ir.LIF(tau=np.ones(shape, np.float32), v_threshold=np.ones(shape, np.float32)))
        g.connect(prev, f"conv{k}", f"lif{k}")
        prev, c = f"lif{k}", channels
    g.add("flat", ir.Flatten(input_shape=(c, side, side)))
    g.add("fc", ir.Affine(np.zeros((10, c * side * side), np.float32), np.zeros(10, np.float32)))
    g.add("readout", ir.LIF(tau=np.ones(10, np.float32), v_threshold=np.ones(10, np.float32)))
    g.add("output", ir.Output((10,)))
    g.connect(prev, "flat", "fc", "readout", "output")
    return g


def recording(side, steps, n=300_000, seed=0):
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, dtype=[("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")])
    ev["x"], ev["y"], ev["p"] = rng.integers(0, side, n), rng.integers(0, side, n), rng.choice([-1, 1], n)
    ev["t"] = np.sort(rng.integers(0, steps * 1000, n))
    return ev




def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--steps", type=int, default=300)
    ap.add_argument("--channels", type=int, default=8)
    ap.add_argument("--side", type=int, default=32)
    args = ap.parse_args()
    g = network(args.side, args.channels)
    rng = np.random.default_rng(1)
    spikes, states = {}, {}
    for name, node in g.nodes.items():
        if type(node).__name__ == "LIF":
            shape = (args.steps,) + tuple(node.output_type["output"])
            spikes[name] = (rng.random(shape, np.float32) < 0.05).astype(np.uint8)
            states[name] = rng.random(shape, np.float32)
    ev = recording(args.side, args.steps)
    doc = graph_to_dict(g)
    stats, t_stats = timed(lambda: layer_statistics(g, spikes, dt=1e-3, inputs=ev))
    full, t_full = timed(lambda: render_html(doc, "net", activity=spikes, dt=1e-3, statistics=stats, states=states,
                                             inputs=ev, classes=[str(k) for k in range(10)]))
    plain, t_plain = timed(lambda: render_html(doc, "net", activity=spikes, dt=1e-3))
    data = sum(a.nbytes for a in spikes.values()) + sum(a.nbytes for a in states.values())
    with tempfile.TemporaryDirectory() as d:
        pf, pp = Path(d) / "full.html", Path(d) / "plain.html"
        pf.write_text(full, encoding="utf-8")
        pp.write_text(plain, encoding="utf-8")
        r_full, r_plain = viewer_ready_seconds(pf, viewport=(1400, 900)), viewer_ready_seconds(pp, viewport=(1400, 900))
    return report(
        f"{len(g.nodes)} nodes, {args.steps} steps, {data / 2**20:.0f} MiB of spikes and states, {len(ev):,} input events",
        f"layer_statistics {t_stats:.2f} s; render_html {t_full:.2f} s with the parts, {t_plain:.2f} s without",
        f"page {len(full) / 1e6:.1f} MB with the parts, {len(plain) / 1e6:.1f} MB without",
        f"ready in Chromium: {r_full:.2f} s with the parts, {r_plain:.2f} s without (target: 3 s)")


if __name__ == "__main__":
    sys.exit(main())
