"""Threads: the kernels let other threads run, and 8 threads on shared inputs agree with a sequential run."""
import sys
import threading
import time

import numpy as np
import pytest

from tests.support import graphs
from zelq.viz import encode, render, serialize, spikes

from tests.support.decoders import EVENT_DTYPE as EV_DTYPE
THREADS = 8


def events(n, size=64, seed=0):
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, EV_DTYPE)
    ev["x"], ev["y"] = rng.integers(-2, size + 2, n), rng.integers(0, size, n)
    ev["t"] = rng.integers(0, 10**7, n)
    ev["p"] = rng.choice([-1, 0, 1], n)
    return ev


@pytest.fixture(scope="module")
def shared():
    ev = events(200_000)
    ev.flags.writeable = False
    big = np.random.default_rng(1).standard_normal((300, 500))
    g = graphs.detector()
    return {"ev": ev, "big": big, "record": encode.encode_array(big), "graph": g, "doc": serialize.graph_to_dict(g),
            "img": np.random.default_rng(2).integers(0, 256, (64, 64, 3), dtype=np.uint8)}


def calls(s):
    """Every public function on the shared inputs, with its result made comparable."""
    return {
        "frames": lambda: spikes.events_to_frames(s["ev"], (64, 64), 7),
        "frames/acc": lambda: spikes.events_to_frames(s["ev"], None, 5, True),
        "grid": lambda: spikes.events_to_grid(s["ev"], (64, 64), 4),
        "raster": lambda: spikes.events_to_raster(s["ev"], None, 50),
        "document": lambda: spikes.serialize_events(s["ev"], (64, 64), 4, 3, 20, 500),
        "png": lambda: spikes._encode_image_base64(s["img"]),
        "spike page": lambda: spikes._render_spike_html({"n": 1}, "<t>"),
        "encode": lambda: encode.encode_array(s["big"]),
        "decode": lambda: encode.decode_array(s["record"]).tobytes(),
        "value": lambda: encode.encode_value({"a": [s["big"][:5], np.int64(2)]}),
        "graph": lambda: serialize.graph_to_dict(s["graph"]),
        "summary": lambda: serialize.compute_summary(s["graph"]),
        "viewer page": lambda: render.render_html(s["doc"], "graph", 640, 480),
    }


def same(a, b):
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    return repr(a) == repr(b)  # dicts with NaN statistics compare equal by text


def test_eight_threads_agree_with_a_sequential_run(shared):
    work = calls(shared)
    expected = {name: fn() for name, fn in work.items()}
    names = list(work) * 2
    barrier = threading.Barrier(THREADS)
    results, errors = [[] for _ in range(THREADS)], []

    def worker(i):
        try:
            barrier.wait()
            order = names[i:] + names[:i]  # every thread a different order, so different calls overlap
            for name in order:
                results[i].append((name, work[name]()))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
    assert not errors, errors
    assert all(len(r) == len(names) for r in results)
    for r in results:
        for name, value in r:
            assert same(value, expected[name]), name
    assert not shared["ev"].flags.writeable


# A stride-0 view repeats one event: a long native loop without a large buffer.
def repeated(n):
    one = events(1)
    return np.lib.stride_tricks.as_strided(one, shape=(n,), strides=(0,))


LONG = {
    "events_to_frames": lambda: spikes.events_to_frames(repeated(60_000_000), (64, 64), 3),
    "events_to_grid": lambda: spikes.events_to_grid(repeated(60_000_000), (64, 64), 3),
    "events_to_raster": lambda: spikes.events_to_raster(repeated(60_000_000), 4096, 3),
    "encode_array": lambda: encode.encode_array(np.zeros(40_000_000, np.float64)),
}


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("name", LONG)
def test_kernels_release_the_gil(name):
    """While a kernel runs, another Python thread keeps making progress."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    ticks, done, window = [0], threading.Event(), {}

    def worker():
        window["start"] = (ticks[0], time.perf_counter())
        LONG[name]()
        window["end"] = (ticks[0], time.perf_counter())
        done.set()

    try:
        t = threading.Thread(target=worker)
        t.start()
        while not done.is_set():
            ticks[0] += 1
        t.join()
    finally:
        sys.setswitchinterval(old)
    (t0, s0), (t1, s1) = window["start"], window["end"]
    # Measure the spinning rate alone, then demand a part of it during the call. A held
    # lock gives next to no ticks; a tenth leaves room for a suite worker on the other core.
    start, n = time.perf_counter(), 0
    while time.perf_counter() - start < 0.05:
        n += 1
    rate = n / 0.05
    assert s1 - s0 > 0.05, "the call is too short to judge"
    assert t1 - t0 > 0.1 * rate * (s1 - s0), f"{t1 - t0} ticks in {s1 - s0:.3f} s at {rate:.0f}/s alone"
