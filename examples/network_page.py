"""What a spiking network does with one digit, on its graph page: the cost of each layer,
its neurons' membrane potentials, the input events and the running decision on one time axis.

    python examples/network_page.py [OUT_DIR] [RECORDING.bin]

The network and the digit are those of activity_page.py (an N-MNIST recording, or a "7"
made in its style). The events are binned into 1 ms steps from the first event, the
network is run step by step in NumPy, and every LIF layer's spikes and membrane
potential (after integration, before the reset) are recorded. The page gets
layer_statistics (SynOps, dense MACs, energy, rates, sparsity, silent and saturated
neurons) as a table and as colour modes, the traces, the input frame of each step and
the decision of the readout layer, all driven by one scrubber.

`write(out_dir)` writes out_dir/network.html and returns [its path].
"""
import sys
from pathlib import Path

import numpy as np

import activity_page as ap
from zelq.viz import layer_statistics
from zelq.viz.network.inputs import bin_recording
from zelq.viz.render import render_html
from zelq.viz.serialize import graph_to_dict

CLASSES = [str(d) for d in range(10)]
LABEL = 7  # the made digit's; a recording given or found carries no label


def simulate(g, frames):
    """Spikes and membrane potentials of every LIF node, step by step."""
    names = ("lif1", "lif2", "lif3")
    p = {k: g.nodes[k] for k in ("conv1", "fc1", "fc2", *names)}
    v = {k: np.zeros(p[k].tau.shape) for k in names}
    spikes = {k: np.zeros((len(frames),) + p[k].tau.shape, np.uint8) for k in names}
    states = {k: np.zeros((len(frames),) + p[k].tau.shape, np.float32) for k in names}
    gain = 30.0

    def step(name, current, t):
        n = p[name]
        v[name] += ap.DT / n.tau * (n.v_leak - v[name] + n.r * current)
        states[name][t] = v[name]
        fired = v[name] >= n.v_threshold
        v[name][fired] = n.v_leak[fired]
        spikes[name][t] = fired
        return fired.astype(np.float32)

    for t, frame in enumerate(frames):
        s1 = step("lif1", gain * ap.conv2d((frame > 0).astype(np.float32), p["conv1"]), t)
        s2 = step("lif2", gain * (p["fc1"].weight @ s1.reshape(-1) + p["fc1"].bias), t)
        step("lif3", gain * (p["fc2"].weight @ s2 + p["fc2"].bias), t)
    return spikes, states


def write(out_dir: Path, recording_path=None) -> list:
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    events = ap.recording(recording_path)
    made_digit = recording_path is None and not ap.SHARED_SAMPLE.is_file()
    # one step per ms, from the first event to the last one inclusive
    steps = (int(events["t"].max()) - int(events["t"].min())) // int(ap.DT * 1e6) + 1
    frames = bin_recording(events, (2, 34, 34), steps, ap.DT).frames
    g = ap.network()
    spikes, states = simulate(g, frames)
    stats = layer_statistics(g, spikes, dt=ap.DT, inputs=events)
    page = out_dir / "network.html"
    html = render_html(graph_to_dict(g), "A digit through a spiking network: cost, states and decision",
                       activity={"input": frames, **spikes}, dt=ap.DT, statistics=stats, states=states,
                       inputs=events, classes=CLASSES, label=LABEL if made_digit else None)
    page.write_text(html, encoding="utf-8")
    return [page]


if __name__ == "__main__":
    for p in write(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("out"),
                   sys.argv[2] if len(sys.argv) > 2 else None):
        print(p)
