"""Every public function against generated input: a correct result or an exception, never a crash.

The number of examples per test is ZELQVIZ_FUZZ_EXAMPLES (default 40, derandomized so that CI is
repeatable); a longer local run, with fresh random examples (ZELQVIZ_FUZZ_RANDOM=1):

    ZELQVIZ_FUZZ_EXAMPLES=5000 ZELQVIZ_FUZZ_RANDOM=1 PYTHONPATH=src python -m pytest tests/hostile/test_fuzz.py -q

Run it under the sanitizer build (`./run sanitize tests/hostile/test_fuzz.py`) to catch memory errors
that do not crash a normal build.
"""
import dataclasses
import faulthandler
import json
import math
import os
import sys
import tempfile
import types

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from tests.support import binning_oracle as oracle
from zelq import ir
from zelq.viz import encode, render, serialize, spikes
from tests.support.decoders import EVENT_DTYPE

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning", "ignore::DeprecationWarning")

EXAMPLES = int(os.environ.get("ZELQVIZ_FUZZ_EXAMPLES", "40"))
HANG_SECONDS = 120 + EXAMPLES  # per test; generous for the sanitized build
fuzz = settings(max_examples=EXAMPLES, deadline=None, derandomize=not os.environ.get("ZELQVIZ_FUZZ_RANDOM"),
                suppress_health_check=list(HealthCheck))


@pytest.fixture(autouse=True)
def no_hang():
    """A hang ends the run with every thread's traceback instead of stalling CI."""
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


# ---------------------------------------------------------------- strategies

EXTREME_INTS = [0, -1, 1, 2**31 - 1, -(2**31), 2**31, 2**32, 2**63 - 1, -(2**63), 2**63, 2**64, 10**30, -(10**30)]
EXTREME_FLOATS = [math.nan, math.inf, -math.inf, -0.0, 5e-324, 1.7976931348623157e308, 2.5, -2.5, 1e-9]

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.sampled_from(EXTREME_INTS), st.floats(),
    st.sampled_from(EXTREME_FLOATS), st.text(max_size=8), st.binary(max_size=8), st.complex_numbers(),
    st.builds(object), st.just(Ellipsis), st.just(int), st.just(np.float32),
)


def endian_dtypes():
    return st.one_of(
        hnp.boolean_dtypes(), hnp.integer_dtypes(endianness="?"), hnp.unsigned_integer_dtypes(endianness="?"),
        hnp.floating_dtypes(endianness="?"), hnp.complex_number_dtypes(endianness="?"),
        hnp.datetime64_dtypes(endianness="?"), hnp.timedelta64_dtypes(endianness="?"),
        hnp.byte_string_dtypes(max_len=4), hnp.unicode_string_dtypes(max_len=4),
    )


@st.composite
def padded_structs(draw, names=None):
    """Structured dtypes whose fields sit at odd offsets with gaps and trailing padding."""
    names = names or draw(st.lists(st.sampled_from(["x", "y", "t", "p", "ts", "pol", "channel", "a", "X"]),
                                   min_size=1, max_size=5, unique=True))
    formats, offsets, pos = [], [], 0
    for _ in names:
        fmt = draw(st.one_of(endian_dtypes().filter(lambda d: d.kind not in "SU"),
                             st.sampled_from([np.dtype(("<i2", (2,))), np.dtype("V3")])))
        pos += draw(st.integers(0, 3))
        formats.append(fmt)
        offsets.append(pos)
        pos += fmt.itemsize
    return np.dtype({"names": names, "formats": formats, "offsets": offsets,
                     "itemsize": pos + draw(st.integers(0, 3))})


any_dtype = st.one_of(endian_dtypes(), padded_structs(), st.just(np.dtype(object)))


@st.composite
def views(draw, base):
    """`base` seen through one of the layouts that a buffer reader must get right."""
    kind = draw(st.sampled_from(["plain", "strided", "reversed", "empty", "stride0", "readonly", "unaligned",
                                 "fortran"]))
    if base.ndim == 0:
        return base
    if kind == "strided":
        doubled = np.repeat(base, 2, axis=0)
        return doubled[::2]
    if kind == "reversed":
        return base[::-1]
    if kind == "empty":
        return base[:0]
    if kind == "stride0" and len(base):
        n = draw(st.integers(0, 40))
        return np.lib.stride_tricks.as_strided(base[:1], shape=(n,) + base.shape[1:], strides=(0,) + base.strides[1:])
    if kind == "readonly":
        v = base.view()
        v.flags.writeable = False
        return v
    if kind == "unaligned" and not base.dtype.hasobject and base.size and base.dtype.itemsize:
        raw = np.zeros(base.nbytes + 1, np.uint8)
        v = np.frombuffer(raw, dtype=base.dtype, offset=1, count=base.size).reshape(base.shape)
        v[...] = base
        return v
    if kind == "fortran" and base.ndim >= 2:
        return np.asfortranarray(base)
    return base


@st.composite
def any_arrays(draw, max_dims=3):
    dtype = draw(any_dtype)
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=max_dims, min_side=0, max_side=5))
    if dtype.hasobject:
        base = np.empty(shape, dtype=object)
        for idx in np.ndindex(*shape):
            base[idx] = draw(scalars)
    else:
        raw = draw(st.binary(min_size=dtype.itemsize * math.prod(shape), max_size=dtype.itemsize * math.prod(shape)))
        base = np.frombuffer(raw, dtype=dtype).reshape(shape).copy() if dtype.itemsize else np.zeros(shape, dtype)
    return draw(views(base))


anything = st.recursive(
    st.one_of(scalars, any_arrays()),
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.tuples(inner, inner),
                            st.dictionaries(st.one_of(st.text(max_size=4), st.integers()), inner, max_size=4)),
    max_leaves=10,
)

# Counts: small ones that work, and limits that must be refused. Not 2**31 and the like: with an
# empty sensor that many frames are legitimate work, hours of it.
counts = st.one_of(st.integers(-2, 12), st.floats(-1e3, 1e3),
                   st.sampled_from([-1, -(2**31), -(2**63), 2**63, 2**64, 10**30, -(10**30), math.nan, math.inf,
                                    -math.inf, 1e300]),
                   st.none(), st.text(max_size=2))
# Sensor sizes whose allocation either fits easily or cannot be made at all.
sensor_sizes = st.one_of(
    st.none(), st.tuples(st.integers(-2, 9), st.integers(-2, 9)),
    st.sampled_from([(2**62, 2**62), (2**63, 1), (1, -(2**63)), (10**30, 1), (1.5, 2.5), (1,), (), (1, 2, 3),
                     ("a", 1), (math.nan, 1), (2**40, 2**40)]),
    st.lists(st.integers(0, 4), max_size=3), scalars,
)

X_T = {"x": ["x", "channel", "addr", "address"], "y": ["y", "row"], "t": ["t", "ts", "time", "timestamp"],
       "p": ["p", "pol", "polarity", "on"]}
COORD = [np.dtype(c) for c in ("i1", "i2", "<i4", ">i4", "<i8", ">i8", "u1", ">u2", "u4", "u8", "<f4", ">f8")]
TIME = [np.dtype(c) for c in ("<i8", ">i8", "<i4", "u4", ">u8", "<f8", ">f4")]
POL = [np.dtype(c) for c in ("i1", "u1", "?", "<i2", ">f4")]


@st.composite
def event_arrays(draw, min_size=0):
    """Well-formed event arrays in every layout: the binning result must equal the oracle's."""
    roles = ["x", "t"] + [r for r in ("y", "p") if draw(st.booleans())]
    roles = draw(st.permutations(roles))
    names = [draw(st.sampled_from(X_T[r])) for r in roles]
    kinds = {"x": COORD, "y": COORD, "t": TIME, "p": POL}
    formats, offsets, pos = [], [], 0
    for r in roles:
        pos += draw(st.integers(0, 3))
        fmt = draw(st.sampled_from(kinds[r]))
        formats.append(fmt)
        offsets.append(pos)
        pos += fmt.itemsize
    dtype = np.dtype({"names": names, "formats": formats, "offsets": offsets, "itemsize": pos + draw(st.integers(0, 3))})
    n = draw(st.integers(min_size, 24))
    ev = np.zeros(n, dtype)
    for r, name, fmt in zip(roles, names, formats):
        if r in ("x", "y"):
            lo = 0 if fmt.kind == "u" else -3
            ev[name] = draw(st.lists(st.integers(lo, 12), min_size=n, max_size=n))
        elif r == "t":
            info = np.iinfo(fmt) if fmt.kind in "iu" else None
            ints = st.integers(info.min, info.max) if info else st.integers(-(2**53), 2**53)
            ev[name] = draw(st.lists(st.one_of(ints, st.integers(0, 100)), min_size=n, max_size=n))
        else:
            ev[name] = draw(st.lists(st.integers(0 if fmt.kind in "ub" else -1, 1), min_size=n, max_size=n))
    return draw(views(ev))


def same_or_both_fail(ours, reference):
    """Call both; equal arrays (bit for bit) when the reference succeeds, an error from ours when it fails."""
    try:
        expected = reference()
    except (ValueError, TypeError, MemoryError):
        with pytest.raises(Exception):
            ours()
        return
    got = ours()
    assert got.dtype == expected.dtype and got.shape == expected.shape
    assert np.array_equal(got, expected)


def unchanged(arr):
    """A snapshot of an array's bytes, to show that a call never writes into its input."""
    if not isinstance(arr, np.ndarray) or arr.dtype.hasobject:
        return lambda: True
    # Field by field: a copy of a structured array leaves its padding bytes undefined.
    snapshot = lambda: [arr[n].tobytes() for n in arr.dtype.names] if arr.dtype.names else arr.tobytes()  # noqa: E731
    before = snapshot()
    return lambda: snapshot() == before


def call(fn, *args, **kwargs):
    """The result, or None when the call raised an ordinary exception."""
    try:
        return fn(*args, **kwargs)
    except (Exception, RecursionError):
        return None


# ---------------------------------------------------------------- binning against the oracle


@fuzz
@given(ev=event_arrays(), size=st.one_of(st.none(), st.tuples(st.integers(1, 9), st.integers(1, 9))),
       n=st.integers(1, 6), accumulate=st.booleans())
def test_frames_equal_the_oracle_in_every_layout(ev, size, n, accumulate):
    same = unchanged(ev)
    ref_size = size or oracle.sensor_size(ev)
    same_or_both_fail(lambda: spikes.events_to_frames(ev, size, n, accumulate, False),
                      lambda: oracle.frames(ev, ref_size, n, accumulate))
    same_or_both_fail(lambda: spikes._events_to_frames_numpy(ev, ref_size, n, accumulate),
                      lambda: oracle.frames(ev, ref_size, n, accumulate))
    assert same()


@fuzz
@given(ev=event_arrays(), size=st.tuples(st.integers(1, 9), st.integers(1, 9)), n=st.integers(1, 6))
def test_grid_equals_the_oracle_in_every_layout(ev, size, n):
    same_or_both_fail(lambda: spikes.events_to_grid(ev, size, n), lambda: oracle.grid(ev, size, n))


@fuzz
@given(ev=event_arrays(), neurons=st.one_of(st.none(), st.integers(0, 200)), bins=st.integers(1, 6))
def test_raster_equals_the_oracle_in_every_layout(ev, neurons, bins):
    same_or_both_fail(lambda: spikes.events_to_raster(ev, neurons, bins), lambda: oracle.raster(ev, neurons, bins))


@pytest.mark.parametrize("n", [2, 3, 7, 40])
def test_timestamps_spanning_the_int64_range(n):
    # Bin edges are found by bisection over doubles ordered as integers; this span overflowed its midpoint.
    ev = np.zeros(6, EVENT_DTYPE)
    ev["t"] = [-(2**63) + 5, 2**63 - 7, 0, -(2**61), 2**61, 3 * 2**60]
    ev["x"], ev["p"] = [0, 1, 2, 3, 0, 1], [1, -1, 1, 1, -1, 1]
    assert np.array_equal(spikes.events_to_frames(ev, (4, 1), n), oracle.frames(ev, (4, 1), n))
    assert np.array_equal(spikes.events_to_raster(ev, None, n), oracle.raster(ev, None, n))


@fuzz
@given(ev=event_arrays(min_size=1), size=st.tuples(st.integers(1, 6), st.integers(1, 6)))
def test_event_document_counts_every_event(ev, size):
    doc = spikes.serialize_events(ev, size, 3, 2, 4, 7)
    assert list(doc) == ["event_count", "duration_us", "sensor_size", "grid_frames", "animation_frames", "raster"]
    assert doc["event_count"] == len(ev)
    assert len(doc["animation_frames"]) == 3 and len(doc["grid_frames"]) == 2
    json.dumps(doc)


# ---------------------------------------------------------------- hostile arguments: no crash


@fuzz
@given(events=st.one_of(any_arrays(max_dims=2), anything), size=sensor_sizes, n=counts, flag=scalars,
       engine=st.sampled_from([None, False, True]))
def test_binning_survives_any_argument(events, size, n, flag, engine):
    same = unchanged(events)
    frames = call(spikes.events_to_frames, events, size, n, flag, engine)
    if frames is not None:
        assert frames.dtype == np.float32 and frames.ndim == 4 and frames.shape[1] == 2
        if isinstance(events, np.ndarray) and events.ndim == 1 and not engine:
            assert frames[-1].sum() <= len(events) or flag  # each event is counted at most once per frame
    grid = call(spikes.events_to_grid, events, size, n)
    if grid is not None:
        assert grid.dtype == np.uint8 and grid.ndim == 4 and grid.shape[3] == 3
    raster = call(spikes.events_to_raster, events, n if not isinstance(n, str) else None, n)
    if raster is not None:
        assert raster.dtype == np.float32 and raster.ndim == 2
        if isinstance(events, np.ndarray) and events.ndim == 1:
            assert raster.sum() <= len(events)
    for fn in (spikes._get_event_fields, spikes._detect_sensor_size):
        call(fn, events)
    call(spikes._events_to_frames_numpy, events, size, n, flag)
    assert same()


@fuzz
@given(events=st.one_of(event_arrays(), any_arrays(max_dims=1)), size=sensor_sizes, a=counts, b=counts, c=counts,
       d=counts)
def test_event_document_survives_any_argument(events, size, a, b, c, d):
    doc = call(spikes.serialize_events, events, size, a, b, c, d)
    if doc is not None:
        json.dumps(doc)


@fuzz
@given(img=st.one_of(any_arrays(), anything, hnp.arrays(np.uint8, hnp.array_shapes(min_dims=3, max_dims=3,
                                                                                     max_side=6))))
def test_image_encoder_survives_any_argument(img):
    text = call(spikes._encode_image_base64, img)
    if text is not None:
        assert isinstance(text, str) and text.isascii()


@pytest.fixture(scope="module")
def quiet_browser(tmp_path_factory):
    """Pages written into a private directory, and a browser that opens nothing."""
    opened = []
    saved = spikes.webbrowser, tempfile.tempdir
    spikes.webbrowser = types.SimpleNamespace(open=lambda url, *a, **k: opened.append(url) or True)
    tempfile.tempdir = str(tmp_path_factory.mktemp("pages"))
    yield opened
    spikes.webbrowser, tempfile.tempdir = saved


@fuzz
@given(frames=st.one_of(any_arrays(max_dims=4), hnp.arrays(hnp.floating_dtypes(endianness="?"),
                                                           hnp.array_shapes(min_dims=3, max_dims=4, max_side=4))),
       events=st.one_of(event_arrays(), any_arrays(max_dims=1)), title=st.one_of(st.text(), scalars),
       size=sensor_sizes)
def test_pages_survive_any_argument(quiet_browser, tmp_path_factory, frames, events, title, size):
    before = len(quiet_browser)
    path = call(spikes.plot_frames, frames, title)
    if path is not None:
        assert os.path.getsize(path) > 0 and len(quiet_browser) == before + 1
    path = call(spikes.plot_events, events, size, title)
    out = tmp_path_factory.getbasetemp() / "export.html"
    call(spikes.export_events_html, events, out, size, title)
    if isinstance(title, str):
        page = call(spikes._render_spike_html, {"t": title}, title)
        assert page is None or spikes._html_escape(title) in page


@pytest.mark.parametrize("dtype", ["<f8", "<f4", "<i8", ">u2"])
def test_unaligned_frame_stacks_are_coloured_like_aligned_ones(quiet_browser, dtype):
    # The colouring reads through typed pointers: a stack at an odd address is first made aligned.
    shape = (3, 2, 4, 5)
    raw = np.zeros(math.prod(shape) * np.dtype(dtype).itemsize + 1, np.uint8)
    odd = np.frombuffer(raw, dtype, offset=1, count=math.prod(shape)).reshape(shape)
    odd[...] = np.random.default_rng(0).integers(0, 50, shape)
    pages = [spikes.plot_frames(stack, "t") for stack in (odd, odd.copy())]
    texts = [open(p, encoding="utf-8").read() for p in pages]
    assert texts[0] == texts[1]


@fuzz
@given(value=anything)
def test_encode_value_survives_anything(value):
    same = unchanged(value)
    out = call(encode.encode_value, value)
    if isinstance(value, np.ndarray) and out is not None:
        assert out["shape"] == list(np.ascontiguousarray(value).shape or (1,))
    assert same()


@fuzz
@given(arr=any_arrays())
def test_encode_array_round_trips_every_dtype_and_layout(arr):
    same = unchanged(arr)
    try:
        record = encode.encode_array(arr)
    except (TypeError, ValueError, OverflowError):
        assert arr.dtype.hasobject or arr.dtype.kind in "SUVMm" or arr.dtype.fields or arr.dtype.kind == "c"
        return
    flat = np.ascontiguousarray(arr).reshape(-1) if arr.ndim else arr.reshape(1)
    assert record["size"] == flat.size and record["dtype"] == str(arr.dtype)
    assert list(record) == ["shape", "dtype", "data", "stats", "size"]
    if arr.dtype.fields is not None:
        # The text of a structured type is NumPy's repr, which its own parser may not read back.
        back = call(encode.decode_array, record)
        if back is None:
            return
    else:
        back = encode.decode_array(record)
    assert back.dtype == arr.dtype and not back.flags.writeable
    assert back.tobytes() == flat.tobytes()
    if arr.dtype.kind in "biuf" and flat.size:
        stats = record["stats"]
        wide = flat.astype(np.float64)
        if np.isnan(wide).any():
            assert all(math.isnan(v) for v in stats.values())
        else:
            assert stats["min"] == float(np.min(flat)) and stats["max"] == float(np.max(flat))
    assert same()


@fuzz
@given(data=st.one_of(st.text(max_size=40), st.binary(max_size=40), scalars),
       dtype=st.one_of(any_dtype.map(str), st.text(max_size=6), scalars,
                       st.sampled_from(["O", "V0", "S0", "(2,3)f4", "i4,f4", "M8[ns]", ">f8", "U5", "b1"])),
       shape=st.one_of(st.lists(st.one_of(st.integers(-2, 6), st.sampled_from(EXTREME_INTS)), max_size=4), scalars),
       extra=st.booleans())
def test_decode_array_never_reads_past_the_data(data, dtype, shape, extra):
    record = {"data": data, "dtype": dtype, "shape": shape}
    if extra:
        record = {"shape": shape, "stats": None, "dtype": dtype, "data": data}
    out = call(encode.decode_array, record)
    if out is not None:
        assert out.nbytes <= len(data) and not out.flags.writeable
        assert not out.dtype.hasobject
        out.tobytes()  # every element readable


@fuzz
@given(shape=st.one_of(st.lists(st.one_of(st.integers(), st.floats(), st.booleans(), scalars), max_size=5),
                       any_arrays(max_dims=2), scalars))
def test_format_shape_equals_python(shape):
    def reference():
        items = shape.tolist() if isinstance(shape, np.ndarray) else shape
        return "[" + ", ".join(str(int(v)) for v in items) + "]"

    try:
        expected = reference()
    except Exception:
        with pytest.raises(Exception):
            encode.format_shape(shape)
        return
    assert encode.format_shape(shape) == expected


@fuzz
@given(size=st.one_of(st.integers(), st.sampled_from(EXTREME_INTS), st.floats(), scalars, st.builds(np.int64,
                                                                                                    st.integers(-9, 9))))
def test_format_size_equals_python(size):
    def reference():
        if isinstance(size, (str, bytes, type(None), list, tuple, dict)) or not hasattr(size, "__int__"):
            raise TypeError
        n = int(size)
        for limit, div, dec, unit in ((1024, 1, 0, "B"), (1 << 20, 1024, 1, "KB"), (1 << 30, 1 << 20, 1, "MB")):
            if n < limit:
                return f"{n} B" if dec == 0 else f"{n / div:.{dec}f} {unit}"
        return f"{n / (1 << 30):.2f} GB"

    try:
        expected = reference()
    except Exception:
        with pytest.raises(Exception):
            encode.format_size(size)
        return
    assert encode.format_size(size) == expected


# ---------------------------------------------------------------- graphs and pages


def hostile_node(draw_value, cls):
    """A node of a real type whose fields hold arbitrary values (no __post_init__ checks)."""
    node = object.__new__(cls)
    for f in dataclasses.fields(cls):
        setattr(node, f.name, draw_value())
    return node


@st.composite
def graphs(draw):
    g = ir.Graph()
    ids = draw(st.lists(st.text(max_size=6), max_size=5, unique=True))
    for name in ids:
        cls = draw(st.sampled_from(sorted(ir.NODE_TYPES.values(), key=lambda c: c.__name__)))
        g.nodes[name] = hostile_node(lambda: draw(anything), cls)
    for _ in range(draw(st.integers(0, 5))):
        g.edges.append(draw(st.one_of(st.tuples(st.sampled_from(ids or ["?"]), st.sampled_from(ids or ["?"])),
                                      anything)))
    g.metadata = draw(st.one_of(st.dictionaries(st.text(max_size=4), anything, max_size=3), anything))
    if draw(st.booleans()):
        g.nodes = draw(anything)
    return g


@fuzz
@given(graph=st.one_of(graphs(), anything), detect=scalars)
def test_graph_functions_survive_any_graph(graph, detect):
    doc = call(serialize.graph_to_dict, graph, detect)
    if doc is not None:
        assert list(doc) == ["version", "nodes", "edges", "metadata", "summary", "groups", "node_to_group"]
    call(serialize.compute_summary, graph)
    for name, node in (getattr(graph, "nodes", None) or {}).items() if isinstance(getattr(graph, "nodes", None),
                                                                                 dict) else ():
        call(serialize.serialize_node, name, node)
    call(serialize.serialize_pattern, graph)


@fuzz
@given(name=st.one_of(st.text(max_size=10), scalars), pattern=st.one_of(anything, st.builds(
    types.SimpleNamespace, pattern_type=scalars, nodes=anything, metadata=anything, name=scalars)))
def test_node_and_pattern_records_survive_anything(name, pattern):
    call(serialize.serialize_node, name, pattern)
    call(serialize.serialize_pattern, pattern)


@fuzz
@given(data=st.one_of(st.dictionaries(st.text(max_size=6), anything, max_size=4), anything),
       title=st.one_of(st.text(), scalars), width=counts, height=counts,
       name=st.one_of(st.text(alphabet=st.characters(blacklist_characters="/\\"), max_size=12), scalars))
def test_render_survives_any_document(data, title, width, height, name):
    page = call(render.render_html, data, title, width, height)
    if page is not None:
        assert render._escape_html(title) in page
    call(render.load_template, name)
    call(spikes._load_template, name)
    page = call(spikes._render_spike_html, data, title)
    if page is not None:
        assert spikes._html_escape(title) in page
