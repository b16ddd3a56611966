#!/usr/bin/env python3
"""Activity summaries onto the graph page: native summarisation against one read pass, page size, time to interactive.

    PYTHONPATH=src python benchmarks/bench_activity.py [--layers 20] [--steps 1000] [--neurons 100000] [--no-browser]

The main case: 20 layers of 1,000 steps x 100,000 neurons of uint8 spikes (2 GB),
and the same as bool and float32, summarised as render_html(activity=...) does,
against a read pass over the same arrays measured in the same run: `a.max()`
(bool read as uint8), and the old yardstick `a.sum()`, which also widens every
value. Targets: within 2x `a.max()`, and the page interactive within 2 s in
headless Chromium (the page's ready flag, counted from the start of
navigation). The page weight for 50 layers of 1 million neurons is bounded by
the same summary sizes; it is printed from the summary of one such layer, reused.
Float32 takes 4x the memory: on a small machine, pass --layers 8.

Measured on the shared 2-core machine (AMD EPYC), --layers 8 (0.8 GB per type), best
of 5 interleaved, load average 2.5 (a read pass at 20 to 21 GB/s): uint8 1.34 x a.max()
(15.3 GB/s), bool 1.41 x, float32 0.76 x (CPU time of both threads 1.34, 1.62 and 1.41 x
that of the read pass, so one free core is enough for the target). Each row of a short
bin is fetched 512 bytes ahead: the rows stream side by side, and without it one thread
ran at 1.04 to 2.14 x a read pass, 0.91 to 1.16 x with it. Before the one-pass kernel:
uint8 3.0 x, bool 4.3 x, float32 4.5 x a.max().
  page 0.79 MB (0.21 MB without activity); 50 layers x 1 million neurons 3.94 MB.
Short uint8/bool bins go from the rows to the results in registers (int16
sums, AVX2 where the CPU has it); float32 bins of whole values add in float
lanes while their sums stay below 2**24, exactly the bits of double sums.
"""
import argparse
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "src"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import best_interleaved, best_of, load_average, machine, viewer_ready_seconds  # noqa: E402
from zelq import ir  # noqa: E402
from zelq.viz import _native, render, serialize  # noqa: E402



def chain_doc(layers, neurons):
    """A chain of LIF layers, each `neurons` wide: activity must fit its node's shape."""
    g = ir.Graph()
    g.add("in", ir.Input((neurons,)))
    prev = "in"
    one = np.ones(neurons, np.float32)
    for i in range(layers):
        g.add(f"layer{i}", ir.LIF(one * 0.02, one, one * 0, one))
        g.connect(prev, f"layer{i}")
        prev = f"layer{i}"
    return serialize.graph_to_dict(g, detect_patterns=False)


def spikes(layers, steps, neurons, seed=0):
    """Sparse uint8 spike trains, each layer firing at its own rate."""
    rng = np.random.default_rng(seed)
    out = []
    for i in range(layers):
        a = np.empty((steps, neurons), np.uint8)
        for t0 in range(0, steps, 100):
            a[t0:t0 + 100] = rng.random((min(100, steps - t0), neurons), np.float32) < 0.01 * (1 + i % 5)
        out.append(a)
    return out




def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--layers", type=int, default=20)
    ap.add_argument("--steps", type=int, default=1000)
    ap.add_argument("--neurons", type=int, default=100_000)
    ap.add_argument("--no-browser", action="store_true")
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    print(f"{machine()}, {load_average()}")
    doc = chain_doc(args.layers, args.neurons)
    arrays = spikes(args.layers, args.steps, args.neurons)
    activity = {f"layer{i}": a for i, a in enumerate(arrays)}
    gb = sum(a.nbytes for a in arrays) / 1e9
    print(f"{args.layers} layers x {args.steps:,} steps x {args.neurons:,} neurons = {gb:.2f} GB per dtype")
    # Two yardsticks over the same bytes, measured here: a.max() is a true read
    # pass (bool arrays read as uint8: NumPy's bool max stops at the first True);
    # a.sum() also widens every value, as the old yardstick did.
    for name, convert in (("uint8", None), ("bool", np.bool_), ("float32", np.float32)):
        arrs = arrays if convert is None else [a.astype(convert) for a in arrays]
        same_bytes = [a.view(np.uint8) if a.dtype == np.bool_ else a for a in arrs]
        act = {f"layer{i}": a for i, a in enumerate(arrs)}
        size = sum(a.nbytes for a in arrs) / 1e9
        best = best_interleaved({"read": lambda: [a.max() for a in same_bytes],
                                 "sum": lambda: [a.sum() for a in same_bytes],
                                 "ours": lambda: _native.activity()._activity_document(doc, act, 1e-3)}, args.rounds)
        (read, read_cpu), (widening, _), (summarise, ours_cpu) = best["read"], best["sum"], best["ours"]
        print(f"  {name:8s} read pass a.max() {read:6.3f} s ({size / read:5.2f} GB/s)  a.sum() {widening:6.3f} s  "
              f"summarisation {summarise:6.3f} s ({size / summarise:5.2f} GB/s) = {summarise / read:.2f} x a.max() "
              f"(target <= 2), {summarise / widening:.2f} x a.sum(); CPU time of every thread "
              f"{ours_cpu / read_cpu:.2f} x a.max()'s")
        del arrs, same_bytes, act
    page_time = best_of(lambda: render.render_html(doc, "activity", activity=activity, dt=1e-3), repeat=1)
    print(f"  render_html with activity    {page_time:6.2f} s")
    html = render.render_html(doc, "activity", activity=activity, dt=1e-3)
    print(f"  page size {len(html.encode()) / 1e6:.2f} MB (without activity "
          f"{len(render.render_html(doc, 'activity').encode()) / 1e6:.2f} MB)")

    # 50 layers of 1,000 steps x 1 million neurons: the summary of one layer, fifty times.
    big = spikes(1, args.steps, 1_000_000, seed=1)[0]
    one = _native.activity()._activity_document(chain_doc(1, 1_000_000), {"layer0": big}, 1e-3)["nodes"][0]
    del big
    doc50 = chain_doc(50, 8)
    summary50 = {"unit": "Hz", "dt": 1e-3, "bins": one["population"].__len__(),
                 "nodes": [dict(one, id=f"layer{i}") for i in range(50)]}
    import json
    size50 = len(json.dumps(summary50)) + len(render.render_html(doc50, "x").encode())
    print(f"  page size for 50 layers x 1,000 steps x 1 million neurons: {size50 / 1e6:.2f} MB")

    if not args.no_browser and shutil.which("chromium"):
        with tempfile.TemporaryDirectory() as d:
            path = Path(d) / "activity.html"
            path.write_text(html, encoding="utf-8")
            tti = viewer_ready_seconds(path)
            plain = Path(d) / "plain.html"
            plain.write_text(render.render_html(doc, "activity"), encoding="utf-8")
            base = viewer_ready_seconds(plain)
            print(f"  time to interactive {tti:.2f} s (target <= 2; the same page without activity {base:.2f} s)")


if __name__ == "__main__":
    main()
