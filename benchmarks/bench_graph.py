"""The graph page pipeline on a large synthetic graph, against json.dumps of its document.

    python benchmarks/bench_graph.py [--blocks 1000] [--no-browser]

A chain of 1,000 five-node blocks (RepConv blocks, residual blocks and SPPF
chains in turn) gives 5,000 dataclass nodes from zelq.ir with parameter
arrays and 6,000 edges. Measured: graph_to_dict with and without
pattern detection, render_html of the document, and their sum; the yardstick
is json.dumps of the same document, measured in this run. With Chromium at
hand it also reports when the viewer page, opened from disk, says it is
ready (target: interactive within 2 s).
"""
import argparse
import json
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE)]

from common import best_of, machine  # noqa: E402

from zelq import ir  # noqa: E402
from zelq.viz.render import render_html  # noqa: E402
from zelq.viz.serialize import graph_to_dict  # noqa: E402

C, HW = 8, 16


def synthetic(blocks, seed=0):
    rng = np.random.default_rng(seed)

    def arr(*shape):
        return rng.standard_normal(shape).astype(np.float32)

    def lif():
        return ir.LIF(arr(C), arr(C), arr(C), arr(C))

    def conv(k):
        return ir.Conv2d(arr(C, C, k, k), arr(C), padding=(k // 2, k // 2), input_shape=(C, HW, HW))

    g = ir.Graph(metadata={"name": "synthetic", "blocks": blocks, "scale": arr(16)})
    g.add("in", ir.Input((C, HW, HW)))
    prev = "in"
    for b in range(blocks):
        p = f"b{b}_"
        kind = b % 3
        if kind == 0:  # RepConv: fork -> {3x3, 1x1} -> join -> scale
            g.add(p + "fork", lif()), g.add(p + "c3", conv(3)), g.add(p + "c1", conv(1))
            g.add(p + "join", lif()), g.add(p + "out", ir.Scale(arr(C)))
            g.connect(prev, p + "fork", p + "c3", p + "join", p + "out")
            g.connect(p + "fork", p + "c1", p + "join")
        elif kind == 1:  # residual: fork -> conv -> lif -> conv -> add, fork -> add
            g.add(p + "fork", lif()), g.add(p + "c", conv(3)), g.add(p + "l", lif())
            g.add(p + "c2", conv(1)), g.add(p + "out", ir.IF(arr(C), arr(C)))
            g.connect(prev, p + "fork", p + "c", p + "l", p + "c2", p + "out")
            g.connect(p + "fork", p + "out")
        else:  # SPPF: src -> pool -> pool -> pool, all into a fusing conv
            g.add(p + "src", lif())
            for i in range(3):
                g.add(p + f"pool{i}", ir.SumPool2d((5, 5), (1, 1), (2, 2), input_shape=(C, HW, HW)))
            g.add(p + "out", conv(1))
            g.connect(prev, p + "src", p + "pool0", p + "pool1", p + "pool2", p + "out")
            g.connect(p + "src", p + "out")
        prev = p + "out"
    return g


def browser_ready_ms(page_path):
    chromium = shutil.which("chromium")
    if chromium is None:
        return None
    from playwright.sync_api import sync_playwright

    with sync_playwright() as pw:
        b = pw.chromium.launch(executable_path=chromium, args=["--headless=new", "--no-sandbox", "--disable-gpu"])
        best = None
        for _ in range(3):
            page = b.new_page(viewport={"width": 1280, "height": 800})
            page.goto(page_path.resolve().as_uri(), wait_until="load")
            page.wait_for_selector("body[data-state=ready]", timeout=60_000)
            ms = page.evaluate("window.zelqViewer.readyAt")
            best = ms if best is None else min(best, ms)
            page.close()
        b.close()
    return best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--blocks", type=int, default=1000)
    ap.add_argument("--no-browser", action="store_true")
    args = ap.parse_args()

    t0 = time.perf_counter()
    g = synthetic(args.blocks)
    build = time.perf_counter() - t0
    n_params = sum(a.size for n in g.nodes.values() for a in vars(n).values() if isinstance(a, np.ndarray))
    print(f"machine: {machine()}")
    print(f"graph: {len(g.nodes):,} nodes, {len(g.edges):,} edges, {n_params:,} parameters (built in {build:.2f} s)")

    doc_off = graph_to_dict(g, False)
    doc_on = graph_to_dict(g, True)
    page_text = render_html(doc_on, "synthetic")
    print(f"document: {len(doc_on['groups']):,} groups, page {len(page_text) / 2**20:.1f} MiB")

    rows = []
    for label, detect, doc in (("without detection", False, doc_off), ("with detection", True, doc_on)):
        t_doc = best_of(lambda: graph_to_dict(g, detect))
        t_render = best_of(lambda: render_html(doc, "synthetic"))
        t_json = best_of(lambda: json.dumps(doc))
        rows.append((label, t_doc, t_render, t_json))

    print(f"\n{'':20}{'graph_to_dict':>15}{'render_html':>13}{'sum':>9}{'json.dumps':>12}{'sum/json':>10}")
    for label, t_doc, t_render, t_json in rows:
        total = t_doc + t_render
        print(f"{label:20}{t_doc * 1e3:12.1f} ms{t_render * 1e3:10.1f} ms{total * 1e3:6.0f} ms"
              f"{t_json * 1e3:9.1f} ms{total / t_json:9.2f}x")

    if not args.no_browser:
        with tempfile.TemporaryDirectory() as d:
            path = Path(d) / "synthetic.html"
            path.write_text(page_text, encoding="utf-8")
            ms = browser_ready_ms(path)
        if ms is None:
            print("\nchromium not found: page load not measured")
        else:
            print(f"\nviewer page ready in headless Chromium after {ms:.0f} ms (target 2000 ms): "
                  f"{'met' if ms <= 2000 else 'NOT met'}")


if __name__ == "__main__":
    main()
