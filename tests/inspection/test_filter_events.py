"""Noise filters: exactly Tonic's Denoise and RefractoryPeriod, and the local hot-pixel rule."""
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from zelq.viz.filters import filter_counts, filter_events, hot_pixel_list

tonic = pytest.importorskip("tonic")
from tests.support.decoders import EVENT_DTYPE as RECORD
from tests.support.summary_standin import local_hot_oracle


def random_events(rng, n, w, h, t_max, sort=True):
    ev = np.zeros(n, RECORD)
    ev["x"], ev["y"] = rng.integers(0, w, n), rng.integers(0, h, n)
    t = rng.integers(0, t_max, n)
    ev["t"] = np.sort(t) if sort else t
    ev["p"] = rng.choice([-1, 1], n)
    return ev


def tonic_filters(ev, denoise=None, refractory=None):
    if denoise is not None:
        ev = tonic.transforms.Denoise(filter_time=denoise)(ev)
    if refractory is not None and len(ev):
        ev = tonic.transforms.RefractoryPeriod(delta=refractory)(ev)
    return ev


@pytest.mark.parametrize("denoise, refractory", [(50, None), (None, 40), (30, 25), (1, 1), (10**6, None)])
@pytest.mark.parametrize("seed", range(3))
def test_filters_equal_tonic_on_random_events(seed, denoise, refractory):
    rng = np.random.default_rng(seed)
    # A small sensor and dense times: neighbours, repeats and ties at the boundary are common.
    ev = random_events(rng, 3000, 9, 7, 6000, sort=seed != 2)
    got = filter_events(ev, denoise_us=denoise, refractory_us=refractory)
    want = tonic_filters(ev, denoise, refractory)
    assert got.dtype == ev.dtype
    np.testing.assert_array_equal(got, want)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 3), st.integers(0, 2), st.integers(0, 40)), min_size=1, max_size=40),
       st.integers(1, 12), st.integers(1, 12))
def test_edge_pixels_first_events_and_time_zero(rows, denoise, refractory):
    # Tiny sensors put most events on a border; times from 0 hit the reference's first-event rules.
    ev = np.zeros(len(rows), RECORD)
    ev["x"], ev["y"], ev["t"] = np.array(rows).T
    for d, r in ((denoise, None), (None, refractory), (denoise, refractory)):
        np.testing.assert_array_equal(filter_events(ev, denoise_us=d, refractory_us=r), tonic_filters(ev, d, r))


def test_denoise_bounds_and_float_times():
    # The right neighbour of the largest x is not a neighbour, whatever sensor_size says.
    ev = np.zeros(2, RECORD)
    ev["x"], ev["y"], ev["t"] = [3, 0], [0, 5], [1, 2]
    want = tonic_filters(ev, 10)
    np.testing.assert_array_equal(filter_events(ev, denoise_us=10, sensor_size=(8, 8)), want)
    # Float times and a float filter time follow the reference's float arithmetic.
    fl = np.zeros(500, [("x", "<i2"), ("y", "<i2"), ("t", "<f8"), ("p", "i1")])
    rng = np.random.default_rng(7)
    fl["x"], fl["y"], fl["t"] = rng.integers(0, 5, 500), rng.integers(0, 5, 500), np.sort(rng.random(500) * 300)
    np.testing.assert_array_equal(filter_events(fl, denoise_us=2.5, refractory_us=1.5), tonic_filters(fl, 2.5, 1.5))


def test_local_hot_pixel_rule_and_order():
    rng = np.random.default_rng(3)
    counts = rng.poisson(3, (6, 7)).astype(np.int64)
    counts[0, 0], counts[2, 3], counts[0, 6] = 40, 500, 17  # 17: busy, but not ten times its neighbours
    counts[3:, :] = 400                                    # a busy band: busy neighbours, not hot
    counts[4, 2] = 4000                                    # ten times its busy neighbours: hot
    assert hot_pixel_list(counts) == local_hot_oracle(counts) == [[0, 0], [3, 2], [2, 4]]
    # Filtering removes every event of a hot pixel first, then denoise and refractory see the rest.
    ev = random_events(rng, 2000, 7, 6, 50_000)
    stuck = np.zeros(1000, RECORD)
    stuck["x"], stuck["y"], stuck["t"] = 3, 2, np.sort(rng.integers(0, 50_000, 1000))
    ev = np.concatenate([ev, stuck])
    order = np.argsort(ev["t"], kind="stable")
    ev = ev[order]
    clean = ev[~((ev["x"] == 3) & (ev["y"] == 2))]
    np.testing.assert_array_equal(filter_events(ev, hot_pixels=True, denoise_us=300, refractory_us=200),
                                  tonic_filters(clean, 300, 200))
    counts = filter_counts(ev, hot_pixels=True, denoise_us=300, refractory_us=200)
    assert counts["hot"] > 1000 and [3, 2] in counts["hot_pixels"]
    assert counts["hot"] + counts["denoise"] + counts["refractory"] + counts["kept"] == len(ev)


@pytest.mark.parametrize("shape, seed", [((40, 50), 0), ((1, 30), 1), ((2, 30), 2), ((30, 2), 3), ((3, 3), 4)])
def test_local_hot_pixels_where_many_pixels_come_close(shape, seed):
    # Neighbours near a fifth and a tenth of a pixel's count, so that the quick rejection of
    # interior pixels and the exact median test both decide many cases; huge counts too.
    rng = np.random.default_rng(seed)
    counts = rng.choice([0, 1, 2, 3, 4, 5, 16, 20, 21, 40, 41, 100, 2**62], size=shape, p=[
        .1, .1, .1, .1, .1, .1, .05, .05, .05, .05, .05, .1, .05]).astype(np.uint64)
    assert hot_pixel_list(counts.astype(np.int64)) == local_hot_oracle(counts.astype(object))


def test_outside_events_no_filters_and_other_fields():
    ev = np.zeros(4, [("ts", "<u4"), ("x", "<f4"), ("y", "<u2"), ("pol", "?")])
    ev["ts"], ev["x"], ev["y"] = [5, 6, 7, 8], [0, 1, 9, 1], [0, 0, 0, 0]
    np.testing.assert_array_equal(filter_events(ev), ev)  # no filter: everything, as given
    kept = filter_events(ev, sensor_size=(4, 1), refractory_us=1)
    assert kept.dtype == ev.dtype and list(kept["x"]) == [0, 1, 1]  # x = 9 lies outside the sensor


@pytest.mark.parametrize("value, error, text", [
    (0, ValueError, "denoise_us must be a positive time"), (-5, ValueError, "positive"),
    (float("nan"), ValueError, "finite"), (float("inf"), ValueError, "finite"),
    (2 ** 63, ValueError, "int64"), (1e30, ValueError, "int64"),
    ("2ms", TypeError, "Argument 'denoise_us' has incorrect type (expected int or float, got str)"),
    (True, TypeError, "got bool")])
def test_bad_filter_times(value, error, text):
    ev = np.zeros(3, RECORD)
    with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
        filter_events(ev, denoise_us=value)
    with pytest.raises(error, match="refractory_us" if error is ValueError else "refractory_us"):
        filter_events(ev, refractory_us=value)


@pytest.mark.parametrize("layout", ["jump past 2**32 us", "back past 2**28 us", "near 2**53", "long filter times"])
def test_times_far_apart_or_far_from_zero(layout):
    # Memories are held in 32 bits near the first event where that is exact, and as the reference's
    # doubles from the first time beyond that (or from the start): both must be the reference's.
    rng = np.random.default_rng(11)
    ev = random_events(rng, 2000, 6, 5, 4000)
    times = {"jump past 2**32 us": (0, 2 ** 33), "back past 2**28 us": (2 ** 30, -2 ** 29),
             "near 2**53": (2 ** 53 - 10 ** 5, 0), "long filter times": (0, 0)}[layout]
    ev["t"] += times[0]
    ev["t"][1000:] += times[1]
    filters = [(2 ** 27, 2 ** 27)] if layout == "long filter times" else [(300, None), (None, 200), (300.0, 200)]
    for d, r in filters:
        np.testing.assert_array_equal(filter_events(ev, denoise_us=d, refractory_us=r), tonic_filters(ev, d, r))
