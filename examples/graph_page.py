"""Graph pages for two example networks: a spiking detector and a plain spiking MLP.

    python examples/graph_page.py [OUT_DIR]

`write(out_dir)` writes out_dir/graph.html (the detector, read back from
examples/data/example.zelq, which is rebuilt when missing) and
out_dir/graph_mlp.html (the MLP, serialized in memory), and returns both
paths. It opens no browser.

The detector is a small event-camera network: a strided stem, RepConv blocks
(3x3, 1x1 and identity branches summed into a LIF layer) inside residual
stages, an SPPF block (three chained 5x5 sum pools concatenated) and a
detection head of per-cell class and box outputs.
"""
import sys
from pathlib import Path

import numpy as np

from zelq import ir
from zelq.viz.render import render_html
from zelq.viz.serialize import graph_to_dict

DATA = Path(__file__).resolve().parent / "data" / "example.zelq"


class Builder:
    """Adds layers to a graph with seeded random weights and tracked shapes."""

    def __init__(self, g: ir.Graph, seed=0):
        self.g, self.rng = g, np.random.default_rng(seed)

    def weights(self, *shape, fan_in):
        return (self.rng.standard_normal(shape) / np.sqrt(fan_in)).astype(np.float32)

    def conv(self, name, src, c_in, c_out, k, hw, stride=1):
        pad = k // 2
        node = ir.Conv2d(self.weights(c_out, c_in, k, k, fan_in=c_in * k * k),
                         self.weights(c_out, fan_in=1) * 0.1, stride=(stride, stride), padding=(pad, pad),
                         input_shape=(c_in, hw, hw))
        return self._add(name, node, src)

    def lif(self, name, src, shape, cls=ir.LIF):
        # One time constant per channel (the first axis), shared by its neurons.
        per_channel = self.rng.uniform(5e-3, 2e-2, (shape[0],) + (1,) * (len(shape) - 1))
        tau = np.broadcast_to(per_channel, shape).astype(np.float32)
        if cls is ir.LIF:
            node = ir.LIF(tau, np.ones(shape, np.float32), np.zeros(shape, np.float32),
                          np.ones(shape, np.float32))
        else:
            node = ir.CubaLIF(tau * 0.5, tau, np.ones(shape, np.float32), np.zeros(shape, np.float32),
                              np.ones(shape, np.float32))
        return self._add(name, node, src)

    def _add(self, name, node, src):
        self.g.add(name, node)
        for s in [src] if isinstance(src, str) else src:
            self.g.connect(s, name)
        return name


def detector() -> ir.Graph:
    g = ir.Graph(metadata={
        "name": "tiny spiking detector",
        "task": "object detection on 64 x 64 event frames (ON/OFF channels)",
        "timesteps": 8,
        "classes": ["car", "pedestrian", "cyclist"],
        "trained_on": "synthetic",
        "input_scale": np.float32(0.5),
    })
    b = Builder(g)
    g.add("events", ir.Input((2, 64, 64)))
    x = b.conv("stem_conv", "events", 2, 16, 3, 64, stride=2)
    x = b.lif("stem_lif", x, (16, 32, 32))

    def repconv(prefix, src, c, hw):
        """3x3 + 1x1 + identity branches summed into a LIF layer."""
        b.conv(f"{prefix}_conv3x3", src, c, c, 3, hw)
        b.conv(f"{prefix}_conv1x1", src, c, c, 1, hw)
        return b.lif(f"{prefix}_lif", [f"{prefix}_conv3x3", f"{prefix}_conv1x1", src], (c, hw, hw))

    def stage(prefix, src, c, hw):
        """A residual stage: a RepConv block and a 3x3 conv, bypassed by a skip."""
        y = b.lif(f"{prefix}_in", src, (c, hw, hw))
        y = repconv(f"{prefix}_rep", y, c, hw)
        y = b.conv(f"{prefix}_conv", y, c, c, 3, hw)
        y = b.lif(f"{prefix}_out", y, (c, hw, hw))
        g.add(f"{prefix}_add", ir.IF(np.ones((c, hw, hw), np.float32), np.ones((c, hw, hw), np.float32)))
        g.connect(y, f"{prefix}_add")
        g.connect(src, f"{prefix}_add")
        return f"{prefix}_add"

    x = stage("stage1", x, 16, 32)
    x = b.conv("down_conv", x, 16, 32, 3, 32, stride=2)
    x = b.lif("down_lif", x, (32, 16, 16), cls=ir.CubaLIF)
    x = stage("stage2", x, 32, 16)

    # SPPF: three chained 5x5 pools; the input and every pool are concatenated.
    pools = []
    src = x
    for i in range(3):
        g.add(f"sppf_pool{i}", ir.SumPool2d((5, 5), (1, 1), (2, 2), input_shape=(32, 16, 16)))
        g.connect(src, f"sppf_pool{i}")
        pools.append(src := f"sppf_pool{i}")
    cat = b.conv("sppf_fuse", [x, *pools], 128, 32, 1, 16)
    x = b.lif("sppf_lif", cat, (32, 16, 16))

    # Head: per-cell class scores and boxes, integrated over time.
    cls = b.conv("head_cls", x, 32, 3, 1, 16)
    box = b.conv("head_box", x, 32, 4, 1, 16)
    for name, c in (("cls", 3), ("box", 4)):
        g.add(f"{name}_li", ir.LI(np.full((c, 16, 16), 0.02, np.float32), np.ones((c, 16, 16), np.float32),
                                  np.zeros((c, 16, 16), np.float32)))
        g.connect(cls if name == "cls" else box, f"{name}_li")
        g.add(f"{name}_out", ir.Output((c, 16, 16)))
        g.connect(f"{name}_li", f"{name}_out")
    return g


def mlp() -> ir.Graph:
    """A plain spiking MLP for 28 x 28 inputs: two hidden LIF layers and an LI readout."""
    g = ir.Graph(metadata={"name": "spiking MLP", "dataset": "N-MNIST-like, 2 x 34 x 34 frames", "timesteps": 25})
    b = Builder(g, seed=1)
    g.add("input", ir.Input((2, 34, 34)))
    g.add("flatten", ir.Flatten(input_shape=(2, 34, 34)))
    g.connect("input", "flatten")
    sizes = [2 * 34 * 34, 256, 128, 10]
    prev = "flatten"
    for i, (n_in, n_out) in enumerate(zip(sizes, sizes[1:])):
        g.add(f"fc{i + 1}", ir.Affine(b.weights(n_out, n_in, fan_in=n_in), np.zeros(n_out, np.float32)))
        g.connect(prev, f"fc{i + 1}")
        if i < 2:
            prev = b.lif(f"lif{i + 1}", f"fc{i + 1}", (n_out,))
        else:
            g.add("readout", ir.LI(np.full(n_out, 0.01, np.float32), np.ones(n_out, np.float32),
                                   np.zeros(n_out, np.float32)))
            g.connect(f"fc{i + 1}", "readout")
            prev = "readout"
    g.add("output", ir.Output((10,)))
    g.connect(prev, "output")
    return g


def write(out_dir: Path) -> list:
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    if not DATA.exists():
        DATA.parent.mkdir(parents=True, exist_ok=True)
        ir.write(DATA, detector())
    pages = []
    for file_name, source, title in (("graph.html", str(DATA), "Tiny spiking detector"),
                                     ("graph_mlp.html", mlp(), "Spiking MLP")):
        doc = graph_to_dict(source)
        page = out_dir / file_name
        page.write_text(render_html(doc, title), encoding="utf-8")
        pages.append(page)
    return pages


if __name__ == "__main__":
    for p in write(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("out")):
        print(p)
