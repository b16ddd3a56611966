"""Viewer documents and pages for the graph page tests and its benchmark."""
import base64

import numpy as np

from zelq import ir
from zelq.viz import encode, render, serialize

HOSTILE = "</script><script>window.__pwned=1</script>"


def write_page(path, doc, title="Graph"):
    path.write_text(render.render_html(doc, title), encoding="utf-8")
    return path


def _w(shape, seed):
    return np.random.default_rng(seed).standard_normal(shape).astype(np.float32)


def mlp(hostile=False):
    """Input -> Linear/LIF x 3 -> Output, one skip connection; real 2-D weights."""
    g = ir.Graph(metadata={"model": "spiking mlp", "note": HOSTILE if hostile else "plain"})
    g.add("in", ir.Input((784,)))
    prev = "in"
    for i, (a, b) in enumerate([(784, 64), (64, 32), (32, 10)]):
        name = HOSTILE if hostile and i == 1 else f"fc{i}"
        g.add(name, ir.Affine(_w((b, a), i), _w((b,), 10 + i)))
        g.add(f"lif{i}", ir.LIF(_w((b,), 20 + i), _w((b,), 30 + i), _w((b,), 40 + i), _w((b,), 50 + i)))
        g.connect(prev, name, f"lif{i}")
        prev = f"lif{i}"
    g.add("out", ir.Output((10,)))
    g.connect(prev, "out")
    return g


def randomize(graph, seed=0):
    """Replace every parameter array by normal noise of its shape (for pictures)."""
    rng = np.random.default_rng(seed)
    for node in graph.nodes.values():
        for k, v in vars(node).items():
            if isinstance(v, np.ndarray) and v.dtype.kind == "f":
                setattr(node, k, (rng.standard_normal(v.shape) * 0.3).astype(v.dtype))
    return graph


def with_dtypes(doc, arrays):
    """A copy of `doc` whose first non-input node carries `arrays` (name -> ndarray) as params."""
    doc = dict(doc)
    doc["nodes"] = [dict(n) for n in doc["nodes"]]
    node = doc["nodes"][1]
    node["params"] = {k: encode.encode_array(a) for k, a in arrays.items()}
    return doc, node["id"]


def synthetic(n, groups=True, seed=0):
    """A document of about `n` nodes shaped like a deep network: blocks of a fork into
    three branches, a join and a skip connection, with small parameter arrays.
    Built directly in the document format (graph_to_dict on 20,000 dataclass nodes
    would time the serializer, not the page)."""
    rng = np.random.default_rng(seed)
    types = [("Conv2d", "#7e57c2", "rect"), ("LIF", "#ef6c00", "ellipse"), ("Affine", "#1e88e5", "roundrect"),
             ("SumPool2d", "#00897b", "hexagon"), ("IF", "#f9a825", "ellipse")]
    small = encode.encode_array(rng.standard_normal(8).astype(np.float32))
    nodes, edges, grps, n2g = [], [], [], {}

    def node(i, kind):
        t, c, s = types[kind]
        nodes.append({"id": f"n{i}", "type": t, "input_shape": [8, 16, 16], "output_shape": [8, 16, 16],
                      "params": {"weight": small}, "config": {"stride": [1, 1]}, "param_count": 8,
                      "color": c, "shape": s, "display_params": []})
        return f"n{i}"

    i = 0
    prev = node(i, 1)
    i += 1
    while i + 6 <= n:
        block = [node(i + k, k % 5) for k in range(6)]
        fork, b1, b2, b3, join, post = block
        edges += [(prev, fork), (fork, b1), (fork, b2), (b2, b3), (b1, join), (b3, join), (fork, join),
                  (join, post), (prev, post)]
        if groups:
            gid = f"g{len(grps)}"
            grps.append({"id": gid, "type": "RepConv", "label": "RepConv (3 branches)", "subtitle": "Conv2d, Conv2d, LIF",
                         "nodes": block[:5], "entry_nodes": [fork], "exit_nodes": [join], "metadata": {},
                         "color": "#90caf9", "shape": "roundrect", "icon": "\u29c9", "display_params": []})
            for m in block[:5]:
                n2g[m] = gid
        prev = post
        i += 6
    while i < n:
        cur = node(i, 1)
        edges.append((prev, cur))
        prev = cur
        i += 1
    for rec in nodes:
        if rec["id"] in n2g:
            rec["group"] = n2g[rec["id"]]
    counts = {}
    for rec in nodes:
        counts[rec["type"]] = counts.get(rec["type"], 0) + 1
    return {"version": ir.__version__, "nodes": nodes, "edges": [{"source": a, "target": b} for a, b in edges],
            "metadata": {"synthetic": n}, "summary": {"node_count": len(nodes), "edge_count": len(edges),
            "total_params": 8 * len(nodes), "node_counts": counts, "inputs": [], "outputs": []},
            "groups": grps, "node_to_group": n2g}


def wide(n, width=100, seed=0):
    """`n` nodes in layers of `width`, each feeding one or two random nodes of the next
    layer: a crossing-heavy document, the hard case for ordering."""
    rng = np.random.default_rng(seed)
    doc = synthetic(n, groups=False, seed=seed)
    src = np.arange(n - width)
    dst = (src // width + 1) * width + rng.integers(0, width, src.size)
    extra = src[rng.random(src.size) < 0.5]
    dst2 = (extra // width + 1) * width + rng.integers(0, width, extra.size)
    pairs = np.unique(np.stack([np.concatenate([src, extra]), np.minimum(np.concatenate([dst, dst2]), n - 1)], 1), axis=0)
    doc["edges"] = [{"source": f"n{a}", "target": f"n{b}"} for a, b in pairs.tolist() if a != b]
    doc["summary"]["edge_count"] = len(doc["edges"])
    return doc


def graph_doc(graph, detect=True):
    return serialize.graph_to_dict(graph, detect)


def summarise(a, reason="page size limit"):
    """The record a page gets in place of an encoded array whose raw values were left
    out: exact stats, a 64-bin histogram of the finite values, and block means of the
    array viewed as (shape[0], rest) down to at most 64 x 64 (NaN where a block holds
    no finite value); complex arrays by magnitude."""
    rec = encode.encode_array(a)
    v = np.abs(a) if a.dtype.kind == "c" else a.astype(np.float64)
    m = v.reshape(v.shape[0] if v.ndim else 1, -1)
    fin = np.isfinite(m)
    counts, edges = np.histogram(m[fin], 64) if fin.any() else (np.zeros(64, int), np.zeros(65))
    fr, fc = -(-m.shape[0] // 64), -(-m.shape[1] // 64)
    r, c = -(-m.shape[0] // fr), -(-m.shape[1] // fc)
    pad = np.full((r * fr, c * fc), np.nan)
    pad[: m.shape[0], : m.shape[1]] = np.where(fin, m, np.nan)
    blocks = pad.reshape(r, fr, c, fc)
    n = np.isfinite(blocks).sum(axis=(1, 3))
    with np.errstate(invalid="ignore"):
        means = np.nansum(blocks, axis=(1, 3)) / n
    rec.update(data="", omitted={"reason": reason, "bytes": int(a.nbytes)},
               histogram={"min": float(edges[0]), "max": float(edges[-1]), "counts": counts.tolist()},
               heatmap={"rows": r, "cols": c, "dtype": "float32",
                        "data": base64.b64encode(means.astype("<f4").tobytes()).decode()})
    return rec
