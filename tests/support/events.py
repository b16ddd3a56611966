"""Random event records for the reader tests, and a whole read that iteration must agree with."""
import numpy as np

from tests.support.decoders import EVENT_DTYPE
from zelq.viz.recordings import iter_events, read_events


def random_events(n, width, height, span_us, seed=0, t0=0):
    """n records on a width x height sensor, times sorted in [t0, t0 + span_us), polarity -1 or 1."""
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, EVENT_DTYPE)
    ev["x"], ev["y"] = rng.integers(0, width, n), rng.integers(0, height, n)
    ev["t"] = t0 + np.sort(rng.integers(0, span_us, n))
    ev["p"] = rng.choice([-1, 1], n)
    return ev


def read_both_ways(path, chunk, **kw):
    """read_events(path), checked against iter_events(path) joined from pieces of `chunk`."""
    whole = read_events(path, **kw)
    np.testing.assert_array_equal(np.concatenate(list(iter_events(path, chunk=chunk, **kw)) or [whole[:0]]), whole)
    return whole
