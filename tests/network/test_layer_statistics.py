"""layer_statistics against NumPy oracles: SynOps as a convolution of the spike
counts with a kernel of ones, the record fields as a short transcription, the
input recording binned by hand, and the refusals."""
import warnings

import numpy as np
import pytest

from zelq import ir
from zelq.viz import layer_statistics
from zelq.viz.recordings import RecordingWarning

from tests.support.paths import shared_recording
from tests.support.decoders import read_nmnist

DT = 1e-3


def ones_conv_total(counts, kernel, stride, padding, dilation, out_hw):
    """Sum over every output position of a convolution of counts (T, C, H, W) with a kernel of ones."""
    (kh, kw), (sh, sw), (ph, pw), (dh, dw), (oh, ow) = kernel, stride, padding, dilation, out_hw
    x = np.pad(counts.astype(np.int64), ((0, 0), (0, 0), (ph, ph), (pw, pw)))
    total = 0
    for ky in range(kh):
        for kx in range(kw):
            y0, x0 = ky * dh, kx * dw
            total += int(x[:, :, y0:y0 + (oh - 1) * sh + 1:sh, x0:x0 + (ow - 1) * sw + 1:sw].sum())
    return total


def conv_graph(c, h, w, o, k, stride, padding, dilation, groups, one_d=False):
    g = ir.Graph()
    g.add("src", ir.Input((c, w) if one_d else (c, h, w)))
    if one_d:
        node = ir.Conv1d(np.ones((o, c // groups, k[1]), np.float32), None, stride=stride[1], padding=padding[1],
                         dilation=dilation[1], groups=groups, input_shape=(c, w))
    else:
        node = ir.Conv2d(np.ones((o, c // groups) + k, np.float32), None, stride=stride, padding=padding,
                         dilation=dilation, groups=groups, input_shape=(c, h, w))
    g.add("conv", node)
    g.connect("src", "conv")
    return g, node


# stride, padding, dilation, groups, and inputs small enough that every position is a border
CONVS = [
    dict(c=2, h=9, w=11, o=4, k=(3, 3), stride=(1, 1), padding=(0, 0), dilation=(1, 1), groups=1),
    dict(c=2, h=9, w=11, o=4, k=(3, 3), stride=(2, 3), padding=(1, 2), dilation=(1, 1), groups=1),
    dict(c=4, h=10, w=7, o=6, k=(3, 2), stride=(1, 2), padding=(2, 0), dilation=(2, 3), groups=2),
    dict(c=6, h=8, w=8, o=6, k=(5, 5), stride=(3, 3), padding=(2, 2), dilation=(1, 1), groups=6),
    dict(c=3, h=2, w=3, o=3, k=(5, 4), stride=(1, 1), padding=(2, 2), dilation=(1, 1), groups=3),  # borders only
    dict(c=2, h=1, w=17, o=4, k=(1, 4), stride=(1, 3), padding=(0, 3), dilation=(1, 2), groups=2, one_d=True),
]


@pytest.mark.parametrize("cfg", CONVS, ids=lambda c: "-".join(f"{k}{v}" for k, v in c.items() if k in ("k", "stride", "padding", "dilation", "groups", "one_d")))
def test_conv_synops_equal_a_convolution_of_the_counts_with_ones(cfg):
    g, node = conv_graph(**cfg)
    rng = np.random.default_rng(7)
    shape = node.input_type["input"]
    counts = rng.integers(0, 4, (13,) + tuple(shape)).astype(np.uint8)
    s = layer_statistics(g, {"src": counts}, dt=DT)
    r = s["layers"]["conv"]
    out = tuple(node.output_type["output"])
    c4 = counts[:, :, None, :] if cfg.get("one_d") else counts
    out_hw = (1, out[1]) if cfg.get("one_d") else out[1:]
    expected = (cfg["o"] // cfg["groups"]) * ones_conv_total(c4, cfg["k"], cfg["stride"], cfg["padding"],
                                                             cfg["dilation"], out_hw)
    assert r["synops"] == expected and type(r["synops"]) is int
    assert r["macs"] == 13 * int(np.prod(out)) * (cfg["c"] // cfg["groups"]) * cfg["k"][0] * cfg["k"][1]
    assert r["energy_j"] == expected * 0.9e-12 and r["dense_energy_j"] == r["macs"] * 4.6e-12


def mlp():
    g = ir.Graph()
    g.add("in", ir.Input((2, 3, 4)))
    g.add("lif0", ir.LIF(tau=np.ones((2, 3, 4), np.float32)))
    g.add("flat", ir.Flatten(input_shape=(2, 3, 4)))
    g.add("fc", ir.Affine(np.ones((5, 24), np.float32), np.zeros(5, np.float32)))
    g.add("lif1", ir.LIF(tau=np.ones(5, np.float32)))
    g.add("fc2", ir.Linear(np.ones((3, 5), np.float32)))
    g.add("out", ir.Output((3,)))
    g.connect("in", "lif0", "flat", "fc", "lif1", "fc2", "out")
    return g


def transcribed(a, dt):
    """The activity fields of one array, as the documentation states them."""
    a = np.asarray(a).astype(np.float64)
    t, n = a.shape[0], a[0].size
    flat = a.reshape(t, n)
    spikes = int(flat.sum())
    return {"neurons": n, "steps": t, "spikes": spikes, "rate_hz": spikes / (n * t * dt),
            "sparsity": float((flat == 0).sum()) / (n * t), "silent": int((flat.sum(0) == 0).sum()),
            "saturated": int((flat != 0).all(0).sum())}


LAYOUTS = {
    "uint8": lambda a: a.astype(np.uint8),
    "bool": lambda a: a > 1,
    "int16-big-endian": lambda a: a.astype(">i2"),
    "float32": lambda a: a.astype(np.float32),
    "float64-transposed": lambda a: np.asfortranarray(a.astype(np.float64)),
    "uint64-strided": lambda a: np.repeat(a.astype(np.uint64), 2, axis=-1)[..., ::2],
    # 0/1 runs of 255 steps, then counts above 1: the byte path changes its sums midway
    "uint8-late-counts": lambda a: np.concatenate([np.minimum(a, 1)] * 3 + [a]).astype(np.uint8),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_records_match_a_transcription_and_npz_gives_the_same(layout, tmp_path):
    rng = np.random.default_rng(3)
    base = {"lif0": rng.integers(0, 4, (100, 2, 3, 4)), "lif1": rng.integers(0, 3, (100, 5))}
    base["lif0"][:, 0, 0, 0] = 0   # a silent neuron
    base["lif1"][:, 2] = 2         # a saturated one
    act = {k: LAYOUTS[layout](v) for k, v in base.items()}
    s = layer_statistics(mlp(), act, dt=DT)
    steps = len(act["lif0"])
    assert list(s["layers"]) == list(mlp().nodes)
    for node_id, a in act.items():
        r = s["layers"][node_id]
        assert list(r) == ["neurons", "steps", "spikes", "rate_hz", "sparsity", "silent", "saturated",
                           "synops", "macs", "energy_j", "dense_energy_j", "why"]
        assert {k: r[k] for k in transcribed(a, DT)} == transcribed(a, DT)
        assert all(type(r[k]) is int for k in ("neurons", "steps", "spikes", "silent", "saturated"))
    lif0 = np.asarray(act["lif0"]).astype(np.int64)
    fc, fc2 = s["layers"]["fc"], s["layers"]["fc2"]
    assert fc["synops"] == 5 * int(lif0.sum()) and fc["macs"] == steps * 24 * 5   # seen through Flatten
    assert fc2["synops"] == 3 * int(np.asarray(act["lif1"]).astype(np.int64).sum())
    assert s["layers"]["in"]["why"] and s["layers"]["lif0"]["why"] is None
    total = s["total"]
    assert total["spikes"] == sum(r["spikes"] for r in s["layers"].values() if r["spikes"] is not None)
    assert total["synops"] == fc["synops"] + fc2["synops"] and total["neurons"] is None
    np.savez(tmp_path / "a.npz", **act)
    assert layer_statistics(mlp(), tmp_path / "a.npz", dt=DT) == s


def test_synops_name_the_node_to_record_and_energy_can_be_overridden():
    act = {"lif1": np.ones((4, 5), np.uint8)}
    s = layer_statistics(mlp(), act, dt=DT, energy={"ac_j": 1.0})
    fc = s["layers"]["fc"]
    assert fc["synops"] is None and fc["energy_j"] is None and fc["macs"] == 4 * 24 * 5
    assert "'lif0'" in fc["why"]
    assert s["energy_model"] == {"ac_j": 1.0, "mac_j": 4.6e-12} and s["layers"]["fc2"]["energy_j"] == 3 * 20 * 1.0


def test_counts_beyond_64_bits_stay_exact():
    big = np.full((4, 24), 2 ** 62, np.uint64)
    s = layer_statistics(mlp(), {"lif0": big.reshape(4, 2, 3, 4)}, dt=DT)
    assert s["layers"]["lif0"]["spikes"] == 4 * 24 * 2 ** 62
    assert s["layers"]["fc"]["synops"] == 5 * 4 * 24 * 2 ** 62



# Arrays large enough for the blocked native paths: several blocks of neurons
# shared by threads, runs past 255 steps, counts above 1 in a late block, and
# float values that send one block off the float-lane path.
STEPS, C, W = 260, 2, 36_000  # 72,000 neurons: two byte blocks, nine float blocks


def spikes(dtype):
    rng = np.random.default_rng(11)
    a = (rng.random((STEPS, C, W), np.float32) < 0.05).astype(np.uint8)
    a[:, 1, 5] = 1                      # saturated
    a[:, 0, 7] = 0                      # silent
    if dtype != "bool":
        a[200:, 1, W - 3:] = 3          # counts above 1, late in the last block
    out = a.astype(dtype)
    if dtype == "float32":
        out[0, 0, 9] = 2.0 ** 24        # a sum past float lanes: this block goes through doubles
        out[1, 1, 100] = -0.0           # whole and not negative, yet signed
    return out


@pytest.mark.parametrize("dtype", ["uint8", "bool", "float32"])
def test_blocked_paths_match_a_convolution_and_the_transcription(dtype):
    a = spikes(dtype)
    g = ir.Graph()
    g.add("src", ir.Input((C, W)))
    conv = ir.Conv1d(np.ones((4, C, 3), np.float32), None, stride=2, padding=1, dilation=1, groups=1,
                     input_shape=(C, W))
    g.add("conv", conv)
    g.connect("src", "conv")
    s = layer_statistics(g, {"src": a}, dt=DT)
    out_w = conv.output_type["output"][1]
    counts = a.astype(np.int64)[:, :, None, :]
    assert s["layers"]["conv"]["synops"] == 4 * ones_conv_total(counts, (1, 3), (1, 2), (0, 1), (1, 1), (1, out_w))
    expected = transcribed(a, DT)
    assert {k: s["layers"]["src"][k] for k in expected} == expected

def nmnist_graph(shape):
    g = ir.Graph()
    g.add("in", ir.Input(shape))
    g.add("lif", ir.LIF(tau=np.ones(7, np.float32)))
    g.connect("in", "lif")
    return g


@pytest.mark.parametrize("shape", [(2, 34, 34), (34, 34), (1156,)])
def test_input_recording_is_binned_into_the_steps(shape):
    path = shared_recording("sample_nmnist.bin")
    ev = read_nmnist(path)
    t0 = int(ev["t"].min()) + 20_000
    steps = 50
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        s = layer_statistics(nmnist_graph(shape), {"lif": np.zeros((steps, 7), bool)}, dt=DT, inputs=path, t0=t0,
                             sensor_size=(34, 34) if len(shape) == 1 else None)  # N-MNIST files name no sensor
    k = (ev["t"] - t0) // 1000
    keep = (k >= 0) & (k < steps)
    assert s["layers"]["in"]["spikes"] == int(keep.sum())
    frames = np.zeros((steps, 2, 34, 34), np.int64)
    np.add.at(frames, (k[keep], (ev["p"][keep] <= 0).astype(int), ev["y"][keep], ev["x"][keep]), 1)
    expected = transcribed(frames if len(shape) == 3 else frames.sum(1).reshape((steps,) + shape), DT)
    assert {key: s["layers"]["in"][key] for key in expected} == expected
    assert not [w for w in caught if issubclass(w.category, RecordingWarning)]
    # the same events as an array, and a span past the recording's end, which warns
    with pytest.warns(RecordingWarning, match=r"lacks steps \d+ to 9999"):
        layer_statistics(nmnist_graph(shape), {"lif": np.zeros((10_000, 7), bool)}, dt=DT, inputs=ev,
                         sensor_size=(34, 34))


BAD = [
    ("shape", dict(activity={"lif1": np.zeros((3, 4), np.uint8)}), ValueError, r"'lif1' has shape \(3, 4\)"),
    ("negative", dict(activity={"lif1": -np.ones((3, 5), np.int8)}), ValueError, "'lif1' holds negative"),
    ("fraction", dict(activity={"lif1": np.full((3, 5), 0.5)}), ValueError, "'lif1' holds counts that are not whole"),
    ("nan", dict(activity={"lif1": np.full((3, 5), np.nan)}), ValueError, "'lif1' holds non-finite"),
    ("complex", dict(activity={"lif1": np.zeros((3, 5), complex)}), TypeError, "'lif1' must hold real numbers"),
    ("steps", dict(activity={"lif1": np.zeros((3, 5)), "lif0": np.zeros((4, 24))}), ValueError, "'lif0' has 4 steps"),
    ("not-a-node", dict(activity={"nope": np.zeros((3, 5))}), ValueError, "'nope', which is not in the graph"),
    ("dt-zero", dict(dt=0), ValueError, "dt must be a positive number"),
    ("dt-negative", dict(dt=-1e-3), ValueError, "dt must be a positive number"),
    ("dt-inf", dict(dt=float("inf")), ValueError, "dt must be a positive number"),
    ("dt-text", dict(dt="1ms"), TypeError, r"Argument 'dt' has incorrect type \(expected float, got str\)"),
    ("activity-type", dict(activity=[1, 2]), TypeError, "Argument 'activity'"),
    ("energy-key", dict(energy={"pj": 1}), ValueError, "not 'pj'"),
]


@pytest.mark.parametrize("case,kw,error,match", BAD, ids=[b[0] for b in BAD])
def test_bad_input_is_refused_naming_what_is_wrong(case, kw, error, match):
    args = {"activity": {"lif1": np.zeros((3, 5), np.uint8)}, "dt": DT, **kw}
    with pytest.raises(error, match=match):
        layer_statistics(mlp(), args.pop("activity"), **args)


def test_stats_command_prints_the_table_or_the_json(tmp_path, capsys):
    import json

    from zelq.viz.cli import main
    g = mlp()
    ir.write(tmp_path / "m.zelq", g)
    act = {"lif0": np.ones((6, 2, 3, 4), np.uint8), "lif1": np.zeros((6, 5), bool)}
    np.savez(tmp_path / "a.npz", **act)
    base = ["stats", str(tmp_path / "m.zelq"), "--activity", str(tmp_path / "a.npz"), "-q"]
    assert main(base + ["--dt", "500us", "--json"]) == 0
    printed = json.loads(capsys.readouterr().out)
    assert printed == json.loads(json.dumps(layer_statistics(g, act, dt=5e-4)))
    assert main(base + ["--dt", "0.0005"]) == 0
    text = capsys.readouterr().out
    assert "720" in text and text.count("\ntotal ") == 1 and "9e-13 J per accumulate" in text
    for bad in ("0", "-1ms", "1 parsec", "inf"):
        with pytest.raises(SystemExit) as e:
            main(base + ["--dt", bad])
        assert e.value.code == 2
