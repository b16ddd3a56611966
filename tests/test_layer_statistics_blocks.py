"""layer_statistics on arrays large enough for the blocked native paths: several
blocks of neurons shared by threads, runs past 255 steps, counts above 1 in a
late block, and float values that send one block off the float-lane path.
Oracles: SynOps as a convolution of the counts with a kernel of ones, and the
record fields as the short transcription of test_layer_statistics."""
import numpy as np
import pytest

from zelq import ir
from zelq.viz import layer_statistics

from test_layer_statistics import DT, ones_conv_total, transcribed

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
