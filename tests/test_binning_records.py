"""Framing, raster and sensor size straight from the records of decoded
recordings (64-bit integer time, 16-bit coordinates, 8-bit polarity), where
the native engine reads eight records at a time: against the NumPy
transcription, for the orders and layouts that take each of its paths."""
import numpy as np
import pytest

import oracle
from zelq.viz import spikes

W, H = 23, 11


def records(order, coord="<i2", time="<i8", pol="i1", n=1003, seed=3):
    """Events with some outside the sensor; `order` says how the times run."""
    rng = np.random.default_rng(seed)
    dtype = np.dtype([("x", coord), ("y", coord), ("t", time), ("p", pol)])
    ev = np.zeros(n, dtype)
    lo = -2 if np.dtype(coord).kind == "i" else 0
    ev["x"] = rng.integers(lo, W + 2, n)
    ev["y"] = rng.integers(lo, H + 2, n)
    t = np.sort(rng.integers(0, 50_000, n)) + (2**62 if np.dtype(time).kind == "u" else 1_605_537_493_718_345)
    if order == "unsorted":
        rng.shuffle(t)
    elif order == "outlier":  # the first and last event do not span the recording
        t[n // 2 + 3] = t[0] - 7
    elif order == "one time":
        t[:] = t[0]
    ev["t"] = t
    ev["p"] = rng.integers(0, 2, n) if np.dtype(pol).kind in "ub" else rng.choice([-1, 0, 1], n)
    return ev


LAYOUTS = [("<i2", "<i8", "i1"), ("<u2", "<u8", "u1"), ("<i2", "<u8", "?"), ("<u2", "<i8", "i1")]
ORDERS = ["sorted", "unsorted", "outlier", "one time"]


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("layout", LAYOUTS, ids="-".join)
@pytest.mark.parametrize("view", ["whole", "every other", "padded"])
def test_record_binning_matches_transcription(layout, order, view):
    ev = records(order, *layout)
    if view == "every other":
        ev = ev[::2]
    elif view == "padded":  # records 16 bytes apart, the fields where they were
        wide = np.zeros(len(ev), np.dtype({"names": list(ev.dtype.names),
                                           "formats": [ev.dtype[f] for f in ev.dtype.names],
                                           "offsets": [0, 2, 4, 12], "itemsize": 16}))
        for f in ev.dtype.names:
            wide[f] = ev[f]
        ev = wide
    for n_frames, accumulate in ((1, False), (7, False), (5, True)):
        np.testing.assert_array_equal(spikes._events_to_frames_numpy(ev, (W, H), n_frames, accumulate),
                                      oracle.frames(ev, (W, H), n_frames, accumulate))
    for n_neurons, bins in ((None, 9), (40, 3), (0, 2)):
        np.testing.assert_array_equal(spikes.events_to_raster(ev, n_neurons, bins),
                                      oracle.raster(ev, n_neurons, bins))
    assert spikes._detect_sensor_size(ev) == oracle.sensor_size(ev)


@pytest.mark.parametrize("time", ["<i8", "<u8"])
def test_time_bins_at_the_ends_of_64_bit_time(time):
    info = np.iinfo(time)
    ev = np.zeros(40, [("x", "<i2"), ("y", "<i2"), ("t", time), ("p", "i1")])
    ev["x"] = np.arange(40) % W
    lo, hi = int(info.min), int(info.max)
    ev["t"] = [lo + (hi - lo) * k // 39 for k in range(40)]
    for n in (1, 3, 16):
        np.testing.assert_array_equal(spikes._events_to_frames_numpy(ev, (W, 1), n, False),
                                      oracle.frames(ev, (W, 1), n))
