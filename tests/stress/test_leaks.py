"""Reference and memory leaks: every public function, 10,000 calls on its success and its failure path.

After a warm-up, the inputs' reference counts must come back exactly; Python-level allocations
(tracemalloc, which also sees NumPy's data buffers) may not grow by more than TRACED_BOUND bytes, nor
the process RSS by more than RSS_BOUND bytes, in both of two successive windows of a third of the
calls each (see `windows`). A leak of one result per call would exceed both by far:
the inputs are sized so that every result holds at least a few kilobytes.
"""
import ctypes
import gc
import os
import subprocess
import sys
import time
import tracemalloc
import types
from functools import partial
from pathlib import Path

import numpy as np
import pytest

from tests.support import graphs
from tests.support.sanitizer import SANITIZED
from zelq import ir
from zelq.viz import encode, patterns, render, serialize, spikes

CALLS = 10_000 if not SANITIZED else 1_000  # the sanitized build is checked for memory errors, not leaks
MIN_CALLS = 900  # a third of it still keeps 300 results: far above TRACED_BOUND
CASE_SECONDS = 8.0  # slow calls (a file read each) run fewer times, not for minutes
WARMUP = 300
TRACED_BOUND = 64 << 10
RSS_BOUND = 8 << 20
PAGE = os.sysconf("SC_PAGE_SIZE")

from tests.support.decoders import EVENT_DTYPE as EV_DTYPE


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


_malloc_trim = getattr(ctypes.CDLL(None), "malloc_trim", None)


def settle():
    """Collect, then hand the C heap's free pages back (glibc), so RSS counts what is in use.

    Otherwise pages freed by earlier tests are reused without RSS moving, and a window hides a leak.
    """
    gc.collect()
    if _malloc_trim is not None:
        _malloc_trim(0)


def events(n=2000, size=32):
    rng = np.random.default_rng(1)
    ev = np.zeros(n, EV_DTYPE)
    ev["x"], ev["y"] = rng.integers(0, size, n), rng.integers(0, size, n)
    ev["t"] = np.sort(rng.integers(0, 10**6, n))
    ev["p"] = rng.choice([-1, 1], n)
    return ev


class NoBrowser:
    """Stands in for the browser module; pages are deleted as soon as they are written."""

    @staticmethod
    def open(url, *args, **kwargs):
        return True


def build_cases(tmp: Path):
    ev = events()
    small = {"n_frames": 2, "n_grid_bins": 1, "raster_time_bins": 4, "max_raster_neurons": 16}
    frames = np.random.default_rng(2).random((2, 2, 16, 16), dtype=np.float32)
    big = np.arange(4096, dtype=np.float64).reshape(64, 64)[:, ::2]  # strided: a copy every call
    record = encode.encode_array(big)
    bad_record = {"data": record["data"], "dtype": "float64", "shape": [3, 3]}
    g = ir.Graph(metadata={"name": "tiny", "w": np.arange(64.0)})
    g.add("in", ir.Input((4,)))
    g.add("lif", graphs.lif(4))
    g.add("out", ir.Output((4,)))
    g.connect("in", "lif", "out")
    node = g.nodes["lif"]
    graph_file = tmp / "g.zelq"
    ir.write(graph_file, g)
    broken_file = tmp / "broken.zelq"
    broken_file.write_bytes(graph_file.read_bytes()[:200])
    doc = serialize.graph_to_dict(g)
    pattern = patterns.PatternMatch("RepConv", "rep_0", ["a", "b"], ["a"], ["b"], {"k": np.arange(3)})
    out = tmp / "page.html"
    no_time = np.zeros(10, [("x", "<i2")])

    def unlinking(fn):
        def call(*args):
            os.unlink(fn(*args))
        return call

    # (name, function, arguments, expected exception or None)
    return [
        ("encode_array", encode.encode_array, (big,), None),
        ("encode_array/object", encode.encode_array, (np.array([object()] * 64),), TypeError),
        ("encode_value", encode.encode_value, ({"a": [big, np.int64(3), b"\xff"]},), None),
        ("encode_value/ragged", encode.encode_value, ([np.zeros(3), np.array([None], object)],), TypeError),
        ("decode_array", encode.decode_array, (record,), None),
        ("decode_array/shape", encode.decode_array, (bad_record,), ValueError),
        ("decode_array/missing", encode.decode_array, ({"data": record["data"]},), KeyError),
        ("format_shape", encode.format_shape, ((128, 784, np.int64(3)),), None),
        ("format_shape/none", encode.format_shape, ((1, None),), TypeError),
        ("format_size", encode.format_size, (1610612736,), None),
        ("format_size/str", encode.format_size, ("12",), TypeError),
        ("serialize_node", serialize.serialize_node, ("stem", node), None),
        ("serialize_node/name", serialize.serialize_node, (5, node), TypeError),
        ("compute_summary", serialize.compute_summary, (g,), None),
        ("compute_summary/no nodes", serialize.compute_summary, (object(),), AttributeError),
        ("serialize_pattern", serialize.serialize_pattern, (pattern,), None),
        ("serialize_pattern/empty", serialize.serialize_pattern, (object(),), AttributeError),
        ("graph_to_dict", serialize.graph_to_dict, (g, False), None),
        ("graph_to_dict/patterns", serialize.graph_to_dict, (g, True), None),
        ("graph_to_dict/path", serialize.graph_to_dict, (str(graph_file),), None),
        ("graph_to_dict/broken file", serialize.graph_to_dict, (str(broken_file),), ValueError),
        ("load_template", render.load_template, ("viewer.html",), None),
        ("load_template/missing", render.load_template, ("absent.html",), FileNotFoundError),
        ("render_html", render.render_html, (doc, "t<i>tle", 800, 600), None),
        ("render_html/not json", render.render_html, ({"x": {1, 2}},), TypeError),
        ("events_to_frames", spikes.events_to_frames, (ev, (32, 32), 4), None),
        ("events_to_frames/accumulate", spikes.events_to_frames, (ev, None, 4, True), None),
        ("events_to_frames/no time", spikes.events_to_frames, (no_time, (4, 4)), ValueError),
        ("events_to_frames/sensor", spikes.events_to_frames, (ev, [32, 32]), TypeError),
        ("events_to_grid", spikes.events_to_grid, (ev, (32, 32), 3), None),
        ("events_to_grid/no time", spikes.events_to_grid, (no_time,), ValueError),
        ("events_to_raster", spikes.events_to_raster, (ev, None, 20), None),
        ("events_to_raster/bins", spikes.events_to_raster, (ev, None, 0), ValueError),
        ("serialize_events", spikes.serialize_events, (ev, (32, 32), *small.values()), None),
        ("serialize_events/no time", spikes.serialize_events, (no_time,), ValueError),
        ("render_spike_html", spikes._render_spike_html, ({"event_count": 3}, "t"), None),
        ("encode_image_base64", spikes._encode_image_base64, (np.zeros((16, 16, 3), np.uint8),), None),
        ("export_events_html", partial(spikes.export_events_html, **small), (ev, out, (32, 32)), None),
        ("export_events_html/no time", spikes.export_events_html, (no_time, out), ValueError),
        ("plot_events", unlinking(partial(spikes.plot_events, **small)), (ev, (32, 32)), None),
        ("plot_frames", unlinking(spikes.plot_frames), (frames,), None),
        ("plot_frames/shape", spikes.plot_frames, (np.zeros((2, 2)),), ValueError),
    ]


@pytest.fixture(scope="module")
def cases(tmp_path_factory):
    saved = spikes.webbrowser
    spikes.webbrowser = NoBrowser
    try:
        yield {c[0]: c for c in build_cases(tmp_path_factory.mktemp("leaks"))}
    finally:
        spikes.webbrowser = saved




def _names():
    # The case table needs a directory; its names do not.
    import tempfile
    with tempfile.TemporaryDirectory() as d:
        return [c[0] for c in build_cases(Path(d))]


@pytest.mark.parametrize("name", _names())
def test_no_leak_over_many_calls(cases, name):
    _, fn, args, error = cases[name]

    def run(n):
        for _ in range(n):
            try:
                fn(*args)
            except Exception as e:  # noqa: BLE001 - the expected failure, checked below
                if error is None or not isinstance(e, error):
                    raise
            else:
                assert error is None, f"{name} should fail with {error.__name__}"

    # Small integers, booleans, None and short (interned) strings are shared with the rest of the
    # process: their counts move anyway.
    owned = [a for a in args if not isinstance(a, (int, str, type(None)))]
    tracemalloc.start()  # timed as the windows run: tracing slows Python-heavy calls several times
    began = time.perf_counter()
    run(WARMUP)
    per_call = (time.perf_counter() - began) / WARMUP
    tracemalloc.stop()
    calls = min(CALLS, max(MIN_CALLS, int(CASE_SECONDS / per_call)))
    gc.collect()  # tracebacks of the failure path sit in reference cycles until collected
    refs = [sys.getrefcount(a) for a in owned]
    traced, resident = windows(run, calls)
    assert [sys.getrefcount(a) for a in owned] == refs, "a reference to an input was kept or dropped"
    assert min(traced) <= TRACED_BOUND, f"traced memory grew by {traced} bytes in successive windows"
    if not SANITIZED:  # ASan holds freed memory in quarantine: RSS says nothing there
        assert min(resident) <= RSS_BOUND, f"RSS grew by {resident} bytes in successive windows"


def windows(run, calls):
    """Growth of traced memory and of RSS over the second and the third third of `calls`.

    The first third fills the caches of the interpreter and NumPy. A one-off event (a global table
    that resizes) shows in one window only; a leak, however small per call, grows in both.
    """
    third = calls // 3
    tracemalloc.start()
    try:
        points = []
        for n in (calls - 2 * third, third, third):
            run(n)
            settle()
            points.append((tracemalloc.get_traced_memory()[0], rss()))
    finally:
        tracemalloc.stop()
    traced = [b[0] - a[0] for a, b in zip(points, points[1:])]
    resident = [b[1] - a[1] for a, b in zip(points, points[1:])]
    return traced, resident


def test_a_leak_would_be_seen(cases):
    """The bounds are tight enough: keeping every result of a cheap call exceeds them."""
    kept = []
    _, fn, args, _ = cases["events_to_frames"]
    traced, resident = windows(lambda n: kept.extend(fn(*args) for _ in range(n)), 3000)
    assert min(traced) > TRACED_BOUND and (SANITIZED or min(resident) > RSS_BOUND)


def test_interpreter_exits_cleanly_after_using_every_module():
    # Module-level references released after finalization crash at exit (seen under the sanitizers).
    code = ("import numpy as np\nfrom zelq.viz import encode, patterns, render, serialize, spikes\n"
            "ev = np.zeros(3, [('x', 'i2'), ('y', 'i2'), ('t', 'i8'), ('p', 'i1')])\n"
            "spikes.events_to_grid(ev, (2, 2), 2); spikes._encode_image_base64(np.zeros((2, 2, 3), np.uint8))\n"
            "render.render_html({'a': 1}); encode.encode_value([np.arange(3)])\nprint('ok')\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0 and out.stdout == "ok\n", out.stderr[-2000:]
