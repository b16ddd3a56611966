"""A spiking network's activity on its graph page.

    python examples/activity_page.py [OUT_DIR] [RECORDING.bin]

An N-MNIST digit recording (34 x 34 ATIS camera, three saccades) is framed with `events_to_frames` into input spikes, which drive a small
convolutional spiking network built with `zelq.ir`: Conv2d -> LIF -> Flatten
-> Affine -> LIF -> Affine -> LIF. The network is simulated in NumPy; every LIF
layer runs with its own tau, r, v_leak and v_threshold (one value per neuron,
read from the graph's nodes). The recorded spikes, and the membrane potential
of the readout on the output node, go onto the graph page through
render_html(activity=..., dt=...).

The recording is the one given, else the N-MNIST sample of the shared
recordings beside this checkout when it is there, else a "7" recorded in the
same style and made here (no recording ships with the package).

`write(out_dir)` writes out_dir/activity.html and returns [its path].
"""
import sys
from pathlib import Path

import numpy as np

from zelq import ir
from zelq.viz import spikes
from zelq.viz.render import render_html
from zelq.viz.serialize import graph_to_dict

SENSOR = (34, 34)
DT = 1e-3            # seconds per simulation step: one frame per step
SHARED_SAMPLE = Path(__file__).resolve().parents[2] / "shared" / "data" / "recordings" / "sample_nmnist.bin"


def digit_recording(seed=0):
    """Events of a "7" stroke moved by three saccades (100 ms each), as N-MNIST records digits."""
    rng = np.random.default_rng(seed)
    # the stroke: a top bar and a diagonal, as points 0.5 px apart
    bar = np.stack([np.linspace(9, 24, 31), np.full(31, 9.0)], 1)
    diag = np.stack([np.linspace(24, 14, 41), np.linspace(9, 26, 41)], 1)
    stroke = np.concatenate([bar, diag])
    moves = [((0, 0), (3, 3)), ((3, 3), (-3, 3)), ((-3, 3), (0, 0))]
    xs, ys, ts, ps = [], [], [], []
    for k, (a, b) in enumerate(moves):
        for step in range(100):
            f = step / 100
            # moving fastest mid-saccade: most events there
            speed = np.sin(np.pi * f) ** 4
            pts = stroke + np.add(a, np.subtract(b, a) * f)
            keep = rng.random(len(pts)) < 0.6 * speed
            n = int(keep.sum())
            xs.append(np.clip(np.round(pts[keep, 0] + rng.normal(0, 0.4, n)), 0, 33))
            ys.append(np.clip(np.round(pts[keep, 1] + rng.normal(0, 0.4, n)), 0, 33))
            ts.append(np.sort(rng.uniform(0, 1000, n)) + (k * 100 + step) * 1000)
            ps.append(rng.random(n) < 0.5)
    ev = np.zeros(sum(map(len, ts)), dtype=[("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")])
    ev["x"], ev["y"] = np.concatenate(xs), np.concatenate(ys)
    ev["t"], ev["p"] = np.concatenate(ts), np.concatenate(ps)
    return ev[np.argsort(ev["t"], kind="stable")]


def network(seed=1):
    """The graph: every weight and every LIF parameter lives on its node."""
    rng = np.random.default_rng(seed)
    g = ir.Graph(metadata={"task": "digit recognition", "dt": DT})

    def lif(shape, tau, threshold):
        # each neuron its own time constant and threshold, around the layer's values
        return ir.LIF(tau=rng.uniform(0.7, 1.3, shape).astype(np.float32) * tau,
                      r=np.ones(shape, np.float32), v_leak=np.zeros(shape, np.float32),
                      v_threshold=rng.uniform(0.8, 1.2, shape).astype(np.float32) * threshold)

    g.add("input", ir.Input((2, 34, 34)))
    g.add("conv1", ir.Conv2d((rng.normal(0.45, 0.35, (8, 2, 3, 3))).astype(np.float32), np.zeros(8, np.float32),
                             stride=(2, 2), padding=(1, 1), input_shape=(2, 34, 34)))
    g.add("lif1", lif((8, 17, 17), 0.02, 1.0))
    g.add("flatten", ir.Flatten(input_shape=(8, 17, 17)))
    g.add("fc1", ir.Affine(rng.normal(0.0, 0.012, (64, 8 * 17 * 17)).astype(np.float32), np.zeros(64, np.float32)))
    g.add("lif2", lif((64,), 0.03, 1.0))
    g.add("fc2", ir.Affine(rng.normal(0.03, 0.08, (10, 64)).astype(np.float32), np.zeros(10, np.float32)))
    g.add("lif3", lif((10,), 0.05, 1.0))
    g.add("output", ir.Output((10,)))
    g.connect("input", "conv1", "lif1", "flatten", "fc1", "lif2", "fc2", "lif3", "output")
    return g


def conv2d(x, node):
    """Cross-correlation of x (C, H, W) with the node's weight, stride and padding."""
    ph, pw = node.padding
    x = np.pad(x, ((0, 0), (ph, ph), (pw, pw)))
    w = node.weight
    win = np.lib.stride_tricks.sliding_window_view(x, w.shape[2:], axis=(1, 2))[:, ::node.stride[0], ::node.stride[1]]
    return np.einsum("chwij,ocij->ohw", win, w, optimize=True) + node.bias[:, None, None]


def simulate(g, frames):
    """Run the graph step by step; returns spikes of every LIF node and the readout's membrane potential."""
    nodes = {name: g.nodes[name] for name in ("conv1", "lif1", "fc1", "lif2", "fc2", "lif3")}
    v = {k: np.zeros(nodes[k].tau.shape) for k in ("lif1", "lif2", "lif3")}
    rec = {k: np.zeros((len(frames),) + nodes[k].tau.shape, np.uint8) for k in v}
    potential = np.zeros((len(frames), 10), np.float32)

    def step(name, current, t):
        p = nodes[name]
        # forward Euler of tau dv/dt = v_leak - v + r * I, then fire and reset to v_leak
        v[name] += DT / p.tau * (p.v_leak - v[name] + p.r * current)
        fired = v[name] >= p.v_threshold
        v[name][fired] = p.v_leak[fired]
        rec[name][t] = fired
        return fired.astype(np.float32)

    gain = 30.0  # input current per spike, in units of the threshold per time constant
    for t, frame in enumerate(frames):
        s1 = step("lif1", gain * conv2d((frame > 0).astype(np.float32), nodes["conv1"]), t)
        s2 = step("lif2", gain * (nodes["fc1"].weight @ s1.reshape(-1) + nodes["fc1"].bias), t)
        potential[t] = v["lif3"]
        step("lif3", gain * (nodes["fc2"].weight @ s2 + nodes["fc2"].bias), t)
    return rec, potential


def recording(path=None):
    """The digit events: from `path`, else the shared N-MNIST sample, else made here."""
    if path is None and SHARED_SAMPLE.is_file():
        path = SHARED_SAMPLE
    if path is None:
        return digit_recording()
    from zelq.viz import read_events
    return read_events(path)


def write(out_dir: Path, recording_path=None) -> list:
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    events = recording(recording_path)
    # one frame per step of DT over the recording's time span
    steps = max(1, round((int(events["t"].max()) - int(events["t"].min())) * 1e-6 / DT))
    frames = spikes.events_to_frames(events, SENSOR, n_frames=steps)
    g = network()
    recorded, potential = simulate(g, frames)
    activity = {"input": frames > 0, **recorded, "output": potential}
    page = out_dir / "activity.html"
    doc = graph_to_dict(g)
    page.write_text(render_html(doc, "Spiking activity: a digit through a small network", activity=activity, dt=DT),
                    encoding="utf-8")
    return [page]


if __name__ == "__main__":
    for p in write(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("out"),
                   sys.argv[2] if len(sys.argv) > 2 else None):
        print(p)
