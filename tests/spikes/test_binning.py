"""Event fields, sensor size, framing, grid and raster of zelq.viz.spikes."""
import itertools
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tests.support import binning_oracle as oracle
from tests.support import decoders as recordings
from zelq.viz import spikes
from tests.support.decoders import EVENT_DTYPE

DOC_DTYPE = recordings.EVENT_DTYPE


def make_events(x, y=None, t=None, p=None, dtype=DOC_DTYPE):
    n = len(x)
    ev = np.zeros(n, dtype)
    ev["x"] = x
    for name, values in (("y", y), ("t", t), ("p", p)):
        if values is not None:
            ev[name] = values
    return ev


# ---------------------------------------------------------------- random recordings

COORD_TYPES = ["<i2", ">i2", "<i4", "<i8", ">u2", "u1", "<f4", ">f8", "<f2"]
TIME_TYPES = ["<i8", ">i8", "<u4", "<f8", ">f4", "<u8"]
POL_TYPES = ["i1", "u1", "?", "<f4", ">i2"]


@st.composite
def recordings_strategy(draw):
    width = draw(st.integers(1, 9))
    height = draw(st.integers(1, 7))
    n = draw(st.integers(0, 120))
    names = {
        "x": draw(st.sampled_from(oracle.X_NAMES)),
        "t": draw(st.sampled_from(oracle.T_NAMES)),
    }
    with_y = draw(st.booleans())
    with_p = draw(st.booleans())
    if with_y:
        names["y"] = draw(st.sampled_from(oracle.Y_NAMES))
    if with_p:
        names["p"] = draw(st.sampled_from(oracle.P_NAMES))
    coord_type = draw(st.sampled_from(COORD_TYPES))
    time_type = draw(st.sampled_from(TIME_TYPES))
    fields = [(names["x"], coord_type), (names["t"], time_type)]
    if with_y:
        fields.append((names["y"], draw(st.sampled_from(COORD_TYPES))))
    if with_p:
        fields.append((names["p"], draw(st.sampled_from(POL_TYPES))))
    fields = draw(st.permutations(fields))
    padded = draw(st.booleans())
    dtype = np.dtype({"names": [f[0] for f in fields], "formats": [f[1] for f in fields],
                      "offsets": None if not padded else [3 + 9 * i for i in range(len(fields))],
                      "itemsize": None if not padded else 9 * len(fields) + 5} if padded else fields)
    step = draw(st.sampled_from([1, 1, 2, -1]))
    base = np.zeros(n * abs(step), dtype)
    ev = base[::step] if step > 0 else base[::-1]
    ev = ev[:n]

    def coords(limit, ftype):
        lo = 0 if np.dtype(ftype).kind == "u" else -3
        values = draw(st.lists(st.integers(lo, limit + 2), min_size=n, max_size=n))
        arr = np.array(values, dtype=np.float64)
        if np.dtype(ftype).kind == "f":
            arr += draw(st.sampled_from([0.0, 0.5, -0.25, 0.75]))
        return arr

    ev[names["x"]] = coords(width, ev.dtype[names["x"]])
    if with_y:
        ev[names["y"]] = coords(height, ev.dtype[names["y"]])
    offset = draw(st.sampled_from([0, 1_605_537_493_718_345, 10**9])) if ev.dtype[names["t"]].kind in "iu" \
        and ev.dtype[names["t"]].itemsize == 8 else 0
    span = draw(st.integers(0, 5000))
    t = np.array(draw(st.lists(st.integers(0, span), min_size=n, max_size=n)), dtype=np.int64) + offset
    ev[names["t"]] = t
    if with_p:
        kind = ev.dtype[names["p"]].kind
        choices = [0, 1] if kind in "ub" else [-1, 0, 1, 2]
        ev[names["p"]] = draw(st.lists(st.sampled_from(choices), min_size=n, max_size=n))
    return ev, (width, height)


PROPERTY = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@PROPERTY
@given(recordings_strategy(), st.integers(1, 12), st.booleans())
def test_framing_matches_numpy_transcription(rec, n_frames, accumulate):
    ev, size = rec
    got = spikes._events_to_frames_numpy(ev, size, n_frames, accumulate)
    want = oracle.frames(ev, size, n_frames, accumulate)
    assert got.dtype == np.float32 and got.shape == want.shape
    np.testing.assert_array_equal(got, want)


@PROPERTY
@given(recordings_strategy(), st.integers(1, 6))
def test_grid_matches_numpy_transcription(rec, n_bins):
    ev, size = rec
    np.testing.assert_array_equal(spikes.events_to_grid(ev, size, n_bins), oracle.grid(ev, size, n_bins))


@PROPERTY
@given(recordings_strategy(), st.sampled_from([None, 0, 1, 5, 40]), st.integers(1, 30))
def test_raster_matches_numpy_transcription(rec, n_neurons, time_bins):
    ev, _ = rec
    try:
        want = oracle.raster(ev, n_neurons, time_bins)
    except ValueError as e:  # a width below 1 (every x negative) sizes no raster
        with pytest.raises(ValueError, match=str(e)):
            spikes.events_to_raster(ev, n_neurons, time_bins)
        return
    got = spikes.events_to_raster(ev, n_neurons, time_bins)
    assert got.dtype == np.float32
    np.testing.assert_array_equal(got, want)


@PROPERTY
@given(recordings_strategy())
def test_sensor_size_and_fields_match_transcription(rec):
    ev, _ = rec
    assert spikes._get_event_fields(ev) == oracle.fields(ev)
    assert spikes._detect_sensor_size(ev) == oracle.sensor_size(ev)


# ---------------------------------------------------------------- real recordings

@pytest.mark.parametrize("name", sorted(recordings.READERS))
def test_real_recordings_match_transcription(recordings_dir, name):
    ev = recordings.read(recordings_dir, name)
    size = spikes._detect_sensor_size(ev)
    for accumulate in (False, True):
        np.testing.assert_array_equal(spikes._events_to_frames_numpy(ev, size, 10, accumulate),
                                      oracle.frames(ev, size, 10, accumulate))
    np.testing.assert_array_equal(spikes.events_to_raster(ev, time_bins=50), oracle.raster(ev, None, 50))
    np.testing.assert_array_equal(spikes.events_to_grid(ev, size), oracle.grid(ev, size, 5))


def test_aedat4_absolute_timestamps_spread_over_all_frames(recordings_dir):
    ev = recordings.read(recordings_dir, "sample.aedat4")
    frames = spikes.events_to_frames(ev, (320, 240), n_frames=10)
    per_frame = frames.sum(axis=(1, 2, 3))
    assert per_frame.sum() == len(ev) and (per_frame > 0).all()
    assert frames[:, 0].sum() == (ev["p"] > 0).sum()


# ---------------------------------------------------------------- fields and sensor size

@pytest.mark.parametrize("names, expected", [
    (("x", "y", "t", "p"), ("x", "y", "t", "p")),
    (("x", "y", "ts", "pol"), ("x", "y", "ts", "pol")),
    (("t", "x", "p"), ("x", None, "t", "p")),
    (("t", "channel", "p"), ("channel", None, "t", "p")),
    (("x", "channel", "t"), ("x", None, "t", None)),
    (("X", "Y", "T"), (None, None, None, None)),
    (("timestamp", "t", "address", "row", "on"), ("address", "row", "t", "on")),
])
def test_field_roles(names, expected):
    ev = np.zeros(2, [(n, "<i4") for n in names])
    assert spikes._get_event_fields(ev) == expected


@pytest.mark.parametrize("dtype, values, expected", [
    ([("x", "<i2"), ("y", "<i2")], {"x": [0, 33], "y": [5, 33]}, (34, 34)),
    ([("t", "<i8"), ("x", "<i2"), ("p", "i1")], {"x": [0, 63]}, (64, 1)),
    ([("x", "<f4"), ("y", "<f4")], {"x": [2.9, 0], "y": [0, 0]}, (3, 1)),
    ([("x", "<i2"), ("y", "<i2")], {"x": [0, 0], "y": [-4, -1]}, (1, 0)),
    ([("y", "<i2"), ("t", "<i8")], {"y": [7, 7]}, (128, 128)),
])
def test_sensor_size_from_largest_coordinates(dtype, values, expected):
    ev = np.zeros(2, dtype)
    for k, v in values.items():
        ev[k] = v
    assert spikes._detect_sensor_size(ev) == expected


@pytest.mark.parametrize("dtype, expected", [
    ([("x", "<i2"), ("y", "<i2")], (128, 128)),
    ([("x", "<i2"), ("t", "<i8")], (128, 1)),
    ("<f8", (128, 128)),
])
def test_sensor_size_of_empty_arrays(dtype, expected):
    assert spikes._detect_sensor_size(np.zeros(0, dtype)) == expected


def test_sensor_size_is_plain_ints_even_for_uint64_extremes():
    ev = np.zeros(1, [("x", "<u8"), ("y", ">u8")])
    ev["x"] = 2**64 - 1
    w, h = spikes._detect_sensor_size(ev)
    assert (w, h) == (2**64, 1) and type(w) is int


# ---------------------------------------------------------------- framing edge cases

def test_three_events_two_frames():
    ev = make_events([0, 1, 2], [0, 0, 0], [0, 50, 100], [1, 1, 1])
    frames = spikes.events_to_frames(ev, (3, 1), n_frames=2)
    assert frames[0, 0, 0].tolist() == [1, 1, 0] and frames[1, 0, 0].tolist() == [0, 0, 1]


@pytest.mark.parametrize("x, y", [(3, 0), (0, 1), (-1, 0), (0, -1)])
def test_out_of_sensor_events_are_dropped_not_clipped(x, y):
    ev = make_events([1, x], [0, y], [0, 10], [1, 1])
    assert spikes.events_to_frames(ev, (3, 1), n_frames=1).sum() == 1


@pytest.mark.parametrize("polarities, on, off", [([1, 0, -1], 1, 2), ([True, False, True], 2, 1)])
def test_polarity_channels(polarities, on, off):
    dtype = [("x", "<i2"), ("t", "<i8"), ("p", "?" if isinstance(polarities[0], bool) else "i1")]
    ev = make_events([0, 0, 0], t=[0, 1, 2], p=polarities, dtype=dtype)
    frames = spikes.events_to_frames(ev, (1, 1), n_frames=1)
    assert (frames[0, 0, 0, 0], frames[0, 1, 0, 0]) == (on, off)


def test_no_polarity_field_means_every_event_is_on():
    ev = make_events([0, 1], t=[0, 1], dtype=[("x", "<i2"), ("t", "<i8")])
    frames = spikes.events_to_frames(ev, n_frames=1)
    assert frames.shape == (1, 2, 1, 2) and frames[0, 0].sum() == 2 and frames[0, 1].sum() == 0


@pytest.mark.parametrize("engine", ["numpy", "dispatch"])
def test_empty_arrays_give_zero_stacks(engine):
    ev = np.zeros(0, DOC_DTYPE)
    frames = (spikes._events_to_frames_numpy(ev, (5, 4), 3, False) if engine == "numpy"
              else spikes.events_to_frames(ev, (5, 4), 3))
    assert frames.shape == (3, 2, 4, 5) and frames.dtype == np.float32 and not frames.any()


def test_empty_array_without_fields():
    ev = np.zeros(0, [("a", "<i4")])
    with pytest.raises(ValueError, match="^Events must have time and x coordinate fields$"):
        spikes._events_to_frames_numpy(ev, (2, 2), 2, False)
    grid = spikes.events_to_grid(np.zeros(0, DOC_DTYPE), n_bins=2)
    assert grid.shape == (2, 128, 128, 3) and not grid.any()


def test_grid_scaling_truncates():
    ev = make_events([0] * 4 + [1], [0] * 5, [0] * 5, [1] * 5)
    grid = spikes.events_to_grid(ev, (2, 1), n_bins=1)
    assert grid[0, 0, :, 2].tolist() == [255, 63] and not grid[..., :2].any()


@pytest.mark.parametrize("fn, args, name", [
    (spikes.events_to_frames, {"n_frames": 0}, "n_frames"),
    (spikes.events_to_grid, {"n_bins": -1}, "n_bins"),
    (spikes.events_to_raster, {"time_bins": 0}, "time_bins"),
    (spikes._events_to_frames_numpy, {"sensor_size": (2, 2), "n_frames": 0.5, "accumulate": False}, "n_frames"),
])
def test_counts_below_one_are_refused(fn, args, name):
    with pytest.raises(ValueError, match=f"^{name} must be at least 1"):
        fn(make_events([0], [0], [0], [1]), **args)


# ---------------------------------------------------------------- raster edge cases

def test_raster_neuron_index_and_caps():
    ev = make_events([2, 5, 9], [1, 0, 33], [0, 1, 2], [1, -1, 1])
    ev = np.concatenate([ev, make_events([33], [33], [3], [1])])
    raster = spikes.events_to_raster(ev, time_bins=1)
    assert raster.shape == (1, 34 * 34) and raster[0, 36] == 1 and raster.sum() == 4
    capped = spikes.events_to_raster(ev, n_neurons=10, time_bins=1)
    assert capped.shape == (1, 10) and capped[0].tolist() == [0] * 5 + [1] + [0] * 4


@pytest.mark.parametrize("n_neurons, columns", [(None, 1), (0, 1), (7, 7)])
def test_empty_raster_shape(n_neurons, columns):
    assert spikes.events_to_raster(np.zeros(0, DOC_DTYPE), n_neurons, 4).shape == (4, columns)


# ---------------------------------------------------------------- mended behaviour

def test_counts_do_not_stall_at_float32_integer_limit():
    # 2**24 + 3 events on one pixel, as a stride-0 view of a single record.
    one = make_events([0], [0], [5], [1])
    n = 2**24 + 3
    ev = np.lib.stride_tricks.as_strided(one, shape=(n,), strides=(0,))
    frames = spikes.events_to_frames(ev, (1, 1), n_frames=1)
    assert frames[0, 0, 0, 0] == np.float32(n)  # nearest float32 to the exact count
    raster = spikes.events_to_raster(ev, time_bins=1)
    assert raster[0, 0] == np.float32(n)


def test_large_recordings_accumulate_exact_integer_counts():
    many = np.lib.stride_tricks.as_strided(make_events([0], [0], [0], [1]), shape=(2**24 + 3,), strides=(0,))
    ev = np.concatenate([many, make_events([0] * 5 + [1], [0] * 6, [10] * 6, [1] * 5 + [-1])])
    frames = spikes.events_to_frames(ev, (2, 1), n_frames=2, accumulate=True)
    assert frames[0, 0, 0, 0] == np.float32(2**24 + 3) and frames[1, 0, 0, 0] == np.float32(2**24 + 8)
    assert frames[0, 1].sum() == 0 and frames[1, 1, 0, 1] == 1


@pytest.mark.parametrize("ftype, value", [("<i8", 2**32), ("<i8", -(2**32) + 1), ("<u8", 2**63),
                                           ("<f8", 4294967296.0), ("<f8", np.nan), ("<f4", -np.inf)])
def test_coordinates_outside_int32_are_dropped(ftype, value):
    ev = np.zeros(2, [("x", ftype), ("y", ftype), ("t", "<i8"), ("p", "i1")])
    ev["x"] = [value, 0]
    ev["p"] = 1
    frames = spikes.events_to_frames(ev, (2, 1), n_frames=1)
    assert frames.sum() == 1 and frames[0, 0, 0, 0] == 1
    if np.isnan(value):
        # The raster sizes itself from the largest x, and NaN has no integer value.
        with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
            spikes.events_to_raster(ev, n_neurons=2, time_bins=1)
    else:
        assert spikes.events_to_raster(ev, n_neurons=2, time_bins=1).sum() == 1


def test_raster_neuron_index_is_64_bit():
    ev = np.zeros(2, [("x", "<i4"), ("y", "<i4"), ("t", "<i8")])
    ev["x"] = [70000, 3]
    ev["y"] = [65536, 0]  # 65536 * 70001 overflows int32 into a small index
    raster = spikes.events_to_raster(ev, n_neurons=8, time_bins=1)
    assert raster[0].tolist() == [0, 0, 0, 1, 0, 0, 0, 0]


def test_non_finite_timestamps_are_dropped_and_ignored_for_the_range():
    ev = np.zeros(5, [("x", "<i2"), ("t", "<f8")])
    ev["x"] = [0, 1, 2, 3, 4]
    ev["t"] = [np.nan, 0.0, np.inf, 100.0, -np.inf]
    frames = spikes.events_to_frames(ev, (5, 1), n_frames=2)
    assert frames[0, 0, 0].tolist() == [0, 1, 0, 0, 0] and frames[1, 0, 0].tolist() == [0, 0, 0, 1, 0]
    assert spikes.events_to_raster(ev, time_bins=2).sum() == 2


def test_automatic_choice_never_touches_tonic(monkeypatch):
    def boom(*a, **k):
        raise AssertionError("Tonic engine called")
    monkeypatch.setattr(spikes, "_events_to_frames_tonic", boom)
    monkeypatch.setattr(spikes, "TONIC_AVAILABLE", True)
    ev = make_events([0, 1], [0, 0], [0, 9], [1, -1])
    for accumulate in (False, True):
        np.testing.assert_array_equal(spikes.events_to_frames(ev, (2, 1), 3, accumulate),
                                      oracle.frames(ev, (2, 1), 3, accumulate))
    spikes.events_to_grid(ev)


# ---------------------------------------------------------------- Tonic engine

def test_tonic_flag_false_gives_the_exact_import_error(monkeypatch):
    monkeypatch.setattr(spikes, "TONIC_AVAILABLE", False)
    ev = make_events([0], [0], [0], [1])
    with pytest.raises(ImportError) as info:
        spikes.events_to_frames(ev, use_tonic=True)
    assert str(info.value) == ("Tonic not installed. Install with: uv add zelqviz[tonic] "
                               "or use use_tonic=False for NumPy fallback.")
    with pytest.raises(ImportError, match="^Tonic not available$"):
        spikes._events_to_frames_tonic(ev, (1, 1), 2)


def test_forced_tonic_falls_back_to_numpy_when_tonic_fails(monkeypatch):
    calls = []

    def failing(*args):
        calls.append(args)
        raise RuntimeError("transform failed")
    monkeypatch.setattr(spikes, "TONIC_AVAILABLE", True)
    monkeypatch.setattr(spikes, "_events_to_frames_tonic", failing)
    ev = make_events([0, 1], [0, 0], [0, 9], [1, -1])
    got = spikes.events_to_frames(ev, (2, 1), 2, use_tonic=True)
    assert len(calls) == 1
    np.testing.assert_array_equal(got, oracle.frames(ev, (2, 1), 2))
    # accumulation is never asked of Tonic
    spikes.events_to_frames(ev, (2, 1), 2, accumulate=True, use_tonic=True)
    assert len(calls) == 1


def test_tonic_engine_matches_tonic_to_frame(recordings_dir):
    tonic = pytest.importorskip("tonic")
    if not spikes.TONIC_AVAILABLE:
        pytest.skip("Tonic did not import")
    raw = recordings.read(recordings_dir, "sample_nmnist.bin")
    ev = np.zeros(len(raw), EVENT_DTYPE)
    for k in "xyt":
        ev[k] = raw[k]
    ev["p"] = raw["p"] > 0  # Tonic expects polarities 0/1
    n_frames = 7
    span = int(ev["t"].max() - ev["t"].min())
    expected = tonic.transforms.ToFrame(sensor_size=(34, 34, 2), time_window=max(span, 1) // n_frames + 1)(ev)
    expected = expected[:n_frames].astype(np.float32)
    if len(expected) < n_frames:
        pad = np.zeros((n_frames - len(expected),) + expected.shape[1:], np.float32)
        expected = np.concatenate([expected, pad])
    got = spikes._events_to_frames_tonic(ev, (34, 34), n_frames)
    assert got.dtype == np.float32 and got.shape == (n_frames, 2, 34, 34)
    np.testing.assert_array_equal(got, expected)
    np.testing.assert_array_equal(spikes.events_to_frames(ev, (34, 34), n_frames, use_tonic=True), expected)


@pytest.mark.parametrize("m, n", [(2, 5), (9, 4)])
def test_tonic_engine_pads_and_truncates(monkeypatch, m, n):
    class FakeToFrame:
        def __init__(self, sensor_size, time_window):
            self.shape = (sensor_size[2], sensor_size[1], sensor_size[0])

        def __call__(self, events):
            return np.arange(m, dtype=np.int16)[:, None, None, None] + np.zeros((m,) + self.shape, np.int16)

    class FakeTonic:
        class transforms:
            ToFrame = FakeToFrame
    monkeypatch.setattr(spikes, "tonic", FakeTonic)
    monkeypatch.setattr(spikes, "TONIC_AVAILABLE", True)
    frames = spikes._events_to_frames_tonic(make_events([0], [0], [0], [1]), (3, 2), n)
    assert frames.shape == (n, 2, 2, 3) and frames.dtype == np.float32
    assert frames[:, 0, 0, 0].tolist() == [i if i < m else 0 for i in range(n)]


# ---------------------------------------------------------------- availability flags

@pytest.mark.parametrize("blocked, flag, attr", [("tonic", "TONIC_AVAILABLE", "tonic"),
                                                  ("PIL", "PIL_AVAILABLE", "_PILImage")])
def test_module_loads_without_optional_library(blocked, flag, attr):
    code = textwrap.dedent(f"""
        import sys
        class Block:
            def find_spec(self, name, path=None, target=None):
                if name == {blocked!r} or name.startswith({blocked!r} + "."):
                    raise ImportError("blocked " + name)
        sys.meta_path.insert(0, Block())
        from zelq.viz import spikes
        assert spikes.{flag} is False
        if {attr!r} == "tonic":
            assert spikes.tonic is None
            try:
                spikes.events_to_frames(spikes.np.zeros(1, [("x", "i2"), ("t", "i8")]), use_tonic=True)
            except ImportError as e:
                assert str(e).startswith("Tonic not installed."), e
            else:
                raise AssertionError("no ImportError")
        else:
            assert not hasattr(spikes, "_PILImage")
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


# ---------------------------------------------------------------- arguments and bad input

@pytest.mark.parametrize("call, message", [
    (lambda ev: spikes.events_to_frames(ev, [2, 2]),
     "Argument 'sensor_size' has incorrect type (expected tuple, got list)"),
    (lambda ev: spikes.events_to_frames(ev, n_frames="3"),
     "Argument 'n_frames' has incorrect type (expected int, got str)"),
    (lambda ev: spikes.events_to_frames(ev, use_tonic=1),
     "Argument 'use_tonic' has incorrect type (expected bool, got int)"),
    (lambda ev: spikes._events_to_frames_numpy(ev, None, 2, False),
     "Argument 'sensor_size' has incorrect type (expected tuple, got NoneType)"),
    (lambda ev: spikes.events_to_grid(ev, n_bins=None),
     "Argument 'n_bins' has incorrect type (expected int, got NoneType)"),
    (lambda ev: spikes.events_to_raster(ev, n_neurons="7"),
     "Argument 'n_neurons' has incorrect type (expected int, got str)"),
    (lambda ev: spikes.events_to_frames(),
     "events_to_frames() takes at least 1 positional argument (0 given)"),
    (lambda ev: spikes.events_to_raster(ev, None, 3, 4),
     "events_to_raster() takes at most 3 positional arguments (4 given)"),
    (lambda ev: spikes._events_to_frames_tonic(ev, (1, 1)),
     "_events_to_frames_tonic() takes exactly 3 positional arguments (2 given)"),
    (lambda ev: spikes.events_to_grid(ev, bins=3),
     "events_to_grid() got an unexpected keyword argument 'bins'"),
    (lambda ev: spikes.events_to_grid(ev, None, sensor_size=None),
     "events_to_grid() got multiple values for keyword argument 'sensor_size'"),
])
def test_refusals_and_call_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(make_events([0], [0], [0], [1]))
    assert str(info.value) == message


@pytest.mark.parametrize("size, message", [((3, 3, 3), "too many values to unpack (expected 2)"),
                                           ((3,), "need more than 1 value to unpack"),
                                           ((), "need more than 0 values to unpack")])
def test_sensor_size_unpacking(size, message):
    with pytest.raises(ValueError) as info:
        spikes.events_to_frames(make_events([0], [0], [0], [1]), size)
    assert str(info.value) == message


@pytest.mark.parametrize("n_frames, expected", [(2.7, 2), (True, 1), (np.int16(3), 3)])
def test_counts_are_truncated_numbers(n_frames, expected):
    assert spikes.events_to_frames(make_events([0], [0], [0], [1]), (1, 1), n_frames).shape[0] == expected


@pytest.mark.parametrize("events", [
    None, 3, [1, 2], "xyt", np.zeros(4), np.zeros(3, [("x", "O"), ("t", "<i8")]),
    np.zeros(3, [("x", "<U3"), ("t", "<i8")]), np.zeros(3, [("x", "<i2"), ("t", "M8[us]")]),
    np.zeros(3, [("x", "<i2", (2,)), ("t", "<i8")]), np.zeros(3, [("x", "<c8"), ("t", "<i8")]),
    np.zeros((), DOC_DTYPE),
])
def test_bad_events_raise_instead_of_crashing(events):
    complex_field = events is not None and getattr(events, "dtype", None) is not None and any(
        events.dtype[name].kind == "c" for name in (events.dtype.names or ()))
    for fn in (lambda e: spikes.events_to_frames(e, (2, 2)), lambda e: spikes.events_to_raster(e),
               lambda e: spikes.events_to_grid(e, (2, 2))):
        with warnings.catch_warnings():
            # NumPy warns as it casts a complex field, before the refusal.
            if complex_field:
                warnings.simplefilter("ignore", np.exceptions.ComplexWarning)
            with pytest.raises((TypeError, ValueError, AttributeError, KeyError, IndexError)):
                fn(events)


def test_read_only_memory_mapped_and_two_dimensional_arrays(tmp_path):
    ev = make_events([0, 1, 2, 1], [0, 1, 0, 1], [0, 5, 10, 15], [1, -1, 1, 1])
    path = tmp_path / "events.npy"
    np.save(path, ev)
    mapped = np.load(path, mmap_mode="r")
    assert not mapped.flags.writeable
    want = oracle.frames(ev, (3, 2), 3)
    np.testing.assert_array_equal(spikes.events_to_frames(mapped, (3, 2), 3), want)
    np.testing.assert_array_equal(spikes.events_to_frames(ev.reshape(2, 2), (3, 2), 3), want)
    np.testing.assert_array_equal(spikes.events_to_raster(mapped, time_bins=3), oracle.raster(ev, None, 3))


def test_arguments_are_not_modified():
    ev = make_events([0, 5], [0, 0], [0, 1], [1, 0])
    before = ev.copy()
    spikes.events_to_frames(ev, (2, 1), 2, True)
    spikes.events_to_raster(ev)
    assert ev.tobytes() == before.tobytes()


# ---------------------------------------------------------------- the packed record, eight at a time

W, H = 23, 11


def packed_records(order, coord="<i2", time="<i8", pol="i1", n=1003, seed=3):
    """Events with some outside the sensor; `order` says how the times run (or where they crowd)."""
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
    elif order == "crowded":  # one pixel's count passes a byte within a frame
        ev["x"][n // 4:], ev["y"][n // 4:] = 1, 2
    ev["t"] = t
    ev["p"] = rng.integers(0, 2, n) if np.dtype(pol).kind in "ub" else rng.choice([-1, 0, 1], n)
    return ev


LAYOUTS = [("<i2", "<i8", "i1"), ("<u2", "<u8", "u1"), ("<i2", "<u8", "?"), ("<u2", "<i8", "i1")]
ORDERS = ["sorted", "unsorted", "outlier", "one time", "crowded"]


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("layout", LAYOUTS, ids="-".join)
@pytest.mark.parametrize("view", ["whole", "every other", "padded"])
def test_record_binning_matches_transcription(layout, order, view):
    ev = packed_records(order, *layout)
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


@pytest.mark.parametrize("order", ["sorted", "revisited", "shuffled"])
@pytest.mark.parametrize("stride", [13, 16])
def test_byte_frames_match_transcription(order, stride):
    """Frames counted a byte a cell: wraps past 255 on a crowded pixel, frames left and
    come back to (stored on a first visit, added after), bytes given up under shuffled
    times, blocks of eight with events off the sensor, and a tail shorter than a block."""
    rng = np.random.default_rng(7)
    n = 6003
    ev = np.zeros(n, np.dtype({"names": ["x", "y", "t", "p"], "formats": ["<i2", "<i2", "<i8", "i1"],
                               "offsets": [0, 2, 4, 12], "itemsize": stride}))
    ev["x"], ev["y"] = rng.integers(0, 5, n), rng.integers(0, 3, n)
    crowd = rng.random(n) < 0.6
    ev["x"][crowd], ev["y"][crowd] = 2, 1  # about 450 events a frame in each of its cells
    ev["y"][::97] = 3  # off the sensor, one block in a dozen
    t = np.sort(rng.integers(0, 1_000_000, n))
    if order == "revisited":  # the second half runs back over the first frames
        t[n // 2:] = t[n // 2:][::-1] - t[n // 2] + t[0]
    elif order == "shuffled":
        rng.shuffle(t)
    ev["t"] = t
    ev["p"] = rng.choice([-1, 1], n)
    for accumulate in (False, True):
        np.testing.assert_array_equal(spikes._events_to_frames_numpy(ev, (5, 3), 4, accumulate),
                                      oracle.frames(ev, (5, 3), 4, accumulate))


WINDOW = 2**32  # timestamps that share a high dword


@pytest.mark.parametrize("coord, time, pol, middle", [
    ("<i2", "<i8", "i1", 0),  # where the stored high dword wraps
    ("<i2", "<i8", "i1", 2**50),
    ("<u2", "<u8", "u1", 5 * WINDOW),
    ("<u2", "<u8", "u1", 2**64 - 3 * WINDOW),  # one bin for doubles, unless spread wide
])
@pytest.mark.parametrize("spread", [64, 5 * WINDOW])
@pytest.mark.parametrize("size", [(5, 3), (32767, 1), (1, 32768)])
def test_byte_frames_across_time_windows_agree_with_the_scalar_pass(coord, time, pol, middle, spread, size):
    """Times around the edge of a 2**32 window (every key of a bin's ends taken, or bins
    over several windows), and sensors at the 16-bit lanes' limit and past it: the AVX2
    loop, the scalar pass and the transcription agree."""
    rng = np.random.default_rng(11)
    (w, h), n, info = size, 70_003, np.iinfo(coord)  # enough to count a byte a cell
    ev = np.zeros(n, [("x", coord), ("y", coord), ("t", time), ("p", pol)])
    ev["x"], ev["y"] = rng.integers(0, w, n), rng.integers(0, h, n)
    ev["x"][::101], ev["y"][::103], ev["x"][::107], ev["y"][::109] = info.max, info.min, w, min(h, info.max)
    offsets = np.sort(rng.integers(-(spread // 2), spread // 2, n))
    ev["t"] = offsets.astype(time) + np.array(middle).astype(time)
    ev["p"] = rng.integers(0, 2, n) if pol == "u1" else rng.choice([-1, 0, 1], n)
    for avx2, n_frames in itertools.product((True, False), (3, 40)):  # 40: frames left unvisited
        want = oracle.frames(ev, size, n_frames)
        before = spikes._binning_avx2(avx2)
        try:
            del_nan = np.full(want.shape, np.nan, np.float32)  # freed, then taken again by the output
            del del_nan
            np.testing.assert_array_equal(spikes._events_to_frames_numpy(ev, size, n_frames, False), want)
        finally:
            spikes._binning_avx2(before)


# ---------------------------------------------------------------- a raster that finds its width in the binning pass

def wide_records(case, coord, time, view, n=60_003, seed=5):
    """Records of a 37 x 29 sensor whose widest column or extreme values hide from a sample."""
    rng = np.random.default_rng(seed)
    info = np.iinfo(coord)
    ev = np.zeros(n, [("x", coord), ("y", coord), ("t", time), ("p", "i1")])
    ev["x"], ev["y"] = rng.integers(0, 37, n), rng.integers(0, 29, n)
    ev["t"] = np.sort(rng.integers(0, 10**6, n)) + 2**40
    if case == "limits":  # the dtype's ends, and a row far below the raster
        ev["x"][5::997], ev["y"][7::991] = info.max, info.max
        ev["x"][9::1009], ev["y"][11::1013] = info.min, info.min
    elif case == "wide column":  # off the sample's stride
        ev["x"][n // 2 + 1], ev["y"][n // 2 + 1] = 5000, 0
    elif case == "negative x":  # lands on the last column of the row above (unsigned: the widest)
        ev["x"][n // 3 + 1], ev["y"][n // 3 + 1] = -1 if info.min < 0 else info.max, 1
    elif case == "unsorted":
        rng.shuffle(ev["t"])
    return viewed(ev, view)


def viewed(ev, view):
    """The records whole, every other one, or padded with time first (the one-at-a-time pass)."""
    if view == "every other":
        return ev[::2]
    if view == "padded":
        padded = np.zeros(len(ev), np.dtype({"names": ["t", "x", "y"], "offsets": [0, 8, 10], "itemsize": 16,
                                             "formats": [ev.dtype[f] for f in ("t", "x", "y")]}))
        for name in padded.dtype.names:
            padded[name] = ev[name]
        return padded
    return ev


@pytest.mark.parametrize("case", ["plain", "limits", "wide column", "negative x", "unsorted"])
@pytest.mark.parametrize("coord, time", [("<i2", "<i8"), ("<u2", "<u8")])
@pytest.mark.parametrize("view", ["whole", "every other", "padded"])
def test_raster_of_given_neurons_matches_transcription(case, coord, time, view):
    ev = wide_records(case, coord, time, view)
    # The band takes at most a cell per eight events: the last two take two passes.
    for n_neurons, bins in ((1, 1), (30, 7), (100, 3), (37 * 29, 1), (5 * 37 * 29, 3), (70_000, 2)):
        np.testing.assert_array_equal(spikes.events_to_raster(ev, n_neurons, bins),
                                      oracle.raster(ev, n_neurons, bins))


def test_raster_width_follows_a_replaced_detection(monkeypatch):
    ev = wide_records("plain", "<i2", "<i8", "whole")
    monkeypatch.setattr(spikes, "_detect_sensor_size", lambda events: (5, 1))
    want = np.zeros((4, 50), np.float32)
    neuron = ev["y"].astype(np.int64) * 5 + ev["x"]
    keep = neuron < 50
    np.add.at(want, (oracle.time_bins(ev["t"].astype(np.float64), 4)[keep], neuron[keep]), 1)
    np.testing.assert_array_equal(spikes.events_to_raster(ev, 50, 4), want)


@pytest.mark.parametrize("case", ["plain", "limits", "wide column", "tall row", "negative x", "unsorted"])
@pytest.mark.parametrize("coord, time", [("<i2", "<i8"), ("<u2", "<u8")])
@pytest.mark.parametrize("view", ["whole", "every other", "padded"])
def test_full_raster_matches_transcription(case, coord, time, view):
    """The raster of every neuron, binned on a sampled sensor: it stands when the sample saw the
    last column and the last row, and bins again on the sensor found when it did not."""
    info = np.iinfo(coord)
    ev = wide_records(case if case in ("wide column", "negative x", "unsorted") else "plain", coord, time, "whole")
    if case == "limits":  # the type's largest x on rows a sample sees, and its smallest y (dropped if negative)
        ev["x"][5::97], ev["y"][5::97] = info.max, 0
        ev["y"][11::101] = info.min
    elif case == "tall row":  # a row the sample misses
        ev["y"][len(ev) // 2 + 1] = 3000
    ev = viewed(ev, view)
    for bins in (1, 4):
        np.testing.assert_array_equal(spikes.events_to_raster(ev, None, bins), oracle.raster(ev, None, bins))
