#!/usr/bin/env python3
"""compare() of a model against a perturbed copy, against one graph_to_dict of the model.

    PYTHONPATH=src python benchmarks/bench_compare.py [--models 5k 57m] [--docs]

The models are those of bench_graph_scale.py ("57m": 8 transformer blocks, 57M
float32 parameters). The copy perturbs every second Affine weight by noise of
1e-3 and casts one LIF's parameters to float16, so both the measuring and the
reporting paths run. The yardstick is graph_to_dict of the first model, timed
in the same run (best of three each). --docs also compares the two viewer
documents, which reads the base64 payloads in place.

Target: compare(graph, graph) <= 1.0x graph_to_dict on 57m.

Measured on the shared 2-core machine (AMD EPYC):
  quiet:           57m 0.086 s vs 0.165 s = 0.52x (met), documents 1.50x; 5k 0.70x
  load average 16: 57m 0.618 s vs 0.604 s = 1.02x, and 0.894 s vs 0.894 s = 1.00x;
                   documents 2.7x; 5k 1.08x (both sides threaded, both slowed about 5x)
"""
import argparse
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE)]

from bench_graph_scale import build  # noqa: E402
from common import best_of, machine  # noqa: E402

from zelq import ir  # noqa: E402
from zelq.viz import compare  # noqa: E402
from zelq.viz.serialize import graph_to_dict  # noqa: E402


def perturbed(g, seed=1):
    rng = np.random.default_rng(seed)
    h = ir.Graph(nodes=dict(g.nodes), edges=list(g.edges), metadata=dict(g.metadata))
    affines = [k for k, n in g.nodes.items() if isinstance(n, ir.Affine)]
    for k in affines[::2]:
        w = g.nodes[k].weight
        h.nodes[k] = ir.Affine(w + rng.standard_normal(w.shape, dtype=np.float32) * np.float32(1e-3),
                               g.nodes[k].bias)
    lif = next(k for k, n in g.nodes.items() if isinstance(n, ir.LIF))
    n = g.nodes[lif]
    h.nodes[lif] = ir.LIF(*(v.astype(np.float16) for v in (n.tau, n.r, n.v_leak, n.v_threshold)))
    return h


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--models", nargs="*", default=["5k", "57m"])
    ap.add_argument("--docs", action="store_true")
    args = ap.parse_args()
    print(machine())
    for name in args.models:
        g = build(name)
        h = perturbed(g)
        params = sum(v.size for n in g.nodes.values() for v in vars(n).values() if isinstance(v, np.ndarray))
        result = compare(g, h)
        t_doc = best_of(lambda: graph_to_dict(g))
        t_cmp = best_of(lambda: compare(g, h))
        line = (f"{name:>4}: {params / 1e6:.1f}M params, {len(result['changed'])} nodes changed; "
                f"compare {t_cmp:.3f} s, graph_to_dict {t_doc:.3f} s: {t_cmp / t_doc:.2f}x "
                f"(target <= 1.0x on 57m)")
        if args.docs:
            da, db = graph_to_dict(g, False), graph_to_dict(h, False)
            t_docs = best_of(lambda: compare(da, db))
            line += f"; documents {t_docs:.3f} s: {t_docs / t_doc:.2f}x"
        print(line, flush=True)


if __name__ == "__main__":
    main()
