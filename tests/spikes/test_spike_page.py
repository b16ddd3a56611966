"""zelq.viz.spikes' page functions: PNG encoding, the event document, the display entry points and frame stacks."""
import base64
import io
import os
import struct
import subprocess
import sys
import tempfile
import textwrap
import warnings
import webbrowser
import zlib
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from PIL import Image

from tests.support import binning_oracle as oracle
from zelq.viz import spikes

# The stub browser below cannot open pages; the warning that says so is checked on its own.
pytestmark = pytest.mark.filterwarnings("ignore:could not open a browser:UserWarning")

from tests.support.decoders import EVENT_DTYPE as DOC_DTYPE
PROPERTY = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                         HealthCheck.function_scoped_fixture])
PILLOW_MISSING = ("Pillow is required for spike visualization but was not found. This is a required "
                  "dependency of zelqviz. Install with: pip install pillow>=9.0")


def events(x, y=None, t=None, p=None, dtype=DOC_DTYPE):
    ev = np.zeros(len(x), dtype)
    for name, values in (("x", x), ("y", y), ("t", t), ("p", p)):
        if values is not None:
            ev[name] = values
    return ev


def png_chunks(data):
    """(type, payload) of every chunk, checking the signature and each CRC."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, out = 8, []
    while pos < len(data):
        (n,) = struct.unpack(">I", data[pos:pos + 4])
        kind, payload = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
        (crc,) = struct.unpack(">I", data[pos + 8 + n:pos + 12 + n])
        assert crc == zlib.crc32(kind + payload), kind
        out.append((kind, payload))
        pos += 12 + n
    assert out[-1] == (b"IEND", b"")
    return out


def decode(text):
    return np.asarray(Image.open(io.BytesIO(base64.b64decode(text, validate=True))))


def pixels_equal(text, expected):
    got = decode(text)
    assert got.shape == expected.shape and np.array_equal(got, expected)


# ---------------------------------------------------------------- PNG encoding

@PROPERTY
@given(hnp.arrays(np.uint8, st.tuples(st.integers(1, 40), st.integers(1, 40), st.just(3))),
       st.sampled_from(["plain", "transposed", "reversed", "strided"]))
def test_png_round_trip_rgb(img, layout):
    view = {"plain": img, "transposed": np.ascontiguousarray(img.transpose(1, 0, 2)).transpose(1, 0, 2),
            "reversed": img[::-1, ::-1], "strided": np.repeat(img, 2, axis=1)[:, ::2]}[layout]
    text = spikes._encode_image_base64(view)
    assert isinstance(text, str) and "\n" not in text and len(text) % 4 == 0
    chunks = png_chunks(base64.b64decode(text))
    width, height, depth, colour, method, filt, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    assert chunks[0][0] == b"IHDR"
    assert (width, height, depth, colour, interlace) == (view.shape[1], view.shape[0], 8, 2, 0)
    assert (method, filt) == (0, 0)
    # Every pixel, read back without Pillow: inflate the IDAT data and undo filter 0.
    raw = zlib.decompress(b"".join(p for k, p in chunks if k == b"IDAT"))
    rows = np.frombuffer(raw, np.uint8).reshape(height, 1 + 3 * width)
    assert np.all(rows[:, 0] == 0)
    assert np.array_equal(rows[:, 1:].reshape(view.shape), view)
    pixels_equal(text, view)


@pytest.mark.parametrize("img, expected", [
    (np.array([[[0.0, 0.5, 1.0]]]), [[[0, 127, 255]]]),
    (np.array([[[0.999, 0.004, 0.9961]]], np.float32), [[[254, 1, 254]]]),
    (np.array([[[True, False, True]]]), [[[255, 0, 255]]]),
    (np.array([[[1, 0, 2]]], np.int16), [[[255, 0, 254]]]),  # 2 * 255 = 510 keeps its low byte
])
def test_non_uint8_images_are_multiplied_and_truncated(img, expected):
    pixels_equal(spikes._encode_image_base64(img), np.array(expected, np.uint8))


@pytest.mark.parametrize("img, mode", [(np.arange(12, dtype=np.uint8).reshape(3, 4), "L"),
                                       (np.arange(48, dtype=np.uint8).reshape(3, 4, 4), "RGBA")])
def test_other_shapes_go_through_pillow(img, mode):
    im = Image.open(io.BytesIO(base64.b64decode(spikes._encode_image_base64(img))))
    assert im.mode == mode and np.array_equal(np.asarray(im), img)


@pytest.mark.parametrize("img, error", [(np.zeros((2, 2, 5), np.uint8), TypeError),
                                        (np.zeros((0, 4, 3), np.uint8), Exception),
                                        ([[[0, 0, 0]]], AttributeError)])
def test_unencodable_images_raise(img, error):
    with pytest.raises(error):
        spikes._encode_image_base64(img)


def fibonacci_bytes(seed=0):
    """Bytes whose value frequencies follow the Fibonacci numbers: an optimal code
    would need more than the 15 bits deflate allows, so the length limit must act."""
    counts, a, b = [], 1, 1
    for _ in range(26):
        counts.append(a)
        a, b = b, a + b
    values = np.repeat(np.arange(26, dtype=np.uint8) * 9, counts)
    np.random.default_rng(seed).shuffle(values)
    return values


@pytest.mark.parametrize("img", [
    fibonacci_bytes()[:len(fibonacci_bytes()) // 3 * 3].reshape(1, -1, 3),
    np.full((300, 700, 3), 7, np.uint8),                                   # one long run over all rows
    np.tile(np.array([1, 1, 2], np.uint8), (5, 2000, 1)),                   # runs of two never match
    np.random.default_rng(3).integers(0, 256, (600, 500, 3), dtype=np.uint8),  # several blocks, no runs
    np.where(np.random.default_rng(4).random((512, 800, 1)) < 0.02, 200, 0).astype(np.uint8).repeat(3, 2),
])
def test_png_round_trip_hard_inputs(img):
    pixels_equal(spikes._encode_image_base64(img), img)


def test_png_is_compressed():
    img = np.zeros((720, 1280, 3), np.uint8)
    img[100:120, 300:900, 2] = 255
    assert len(base64.b64decode(spikes._encode_image_base64(img))) < 20_000


@pytest.mark.parametrize("inside_handler", [False, True])
def test_missing_pillow_raises_with_the_import_error_as_context(monkeypatch, inside_handler):
    monkeypatch.setitem(sys.modules, "PIL", None)
    monkeypatch.setitem(sys.modules, "PIL.Image", None)
    img = np.zeros((1, 1, 3), np.uint8)

    def call():
        with pytest.raises(ImportError) as info:
            spikes._encode_image_base64(img)
        return info.value

    if inside_handler:
        try:
            raise KeyError("the caller's own")
        except KeyError as own:
            err = call()
            assert sys.exc_info()[1] is own  # the caller's handled error is restored
    else:
        err = call()
    assert str(err) == PILLOW_MISSING and type(err) is ImportError
    assert isinstance(err.__context__, ImportError) and "PIL" in str(err.__context__)
    assert err.__cause__ is None


# ---------------------------------------------------------------- the event document

def colour_common(on, off):
    """The animation colouring: one scale for both channels, at least 1."""
    img = np.zeros(on.shape + (3,), np.uint8)
    max_val = max(on.max(), off.max(), 1)
    img[:, :, 2] = np.clip(on / max_val * 255, 0, 255).astype(np.uint8)
    img[:, :, 0] = np.clip(off / max_val * 255, 0, 255).astype(np.uint8)
    return img


def expected_document(ev, size, n_frames=20, n_grid_bins=5, raster_time_bins=100, max_raster_neurons=1000):
    x_field, y_field, t_field, _ = oracle.fields(ev)
    size = size if size is not None else oracle.sensor_size(ev)
    duration = int(ev[t_field].max() - ev[t_field].min()) if len(ev) and t_field else 0
    frames = oracle.frames(ev, size, n_frames)
    width, height = size
    neurons = min(width * height if y_field else width, max_raster_neurons)
    return {
        "event_count": len(ev), "duration_us": duration, "sensor_size": size,
        "grid_frames": list(oracle.grid(ev, size, n_grid_bins)),
        "animation_frames": [colour_common(frames[i, 0], frames[i, 1]) for i in range(n_frames)],
        "raster": oracle.raster(ev, neurons, raster_time_bins).tolist(),
    }


def assert_document(doc, expected):
    assert list(doc) == ["event_count", "duration_us", "sensor_size", "grid_frames", "animation_frames", "raster"]
    for key in ("event_count", "duration_us", "sensor_size", "raster"):
        assert doc[key] == expected[key], key
    assert type(doc["duration_us"]) is int and type(doc["sensor_size"]) is tuple
    for key in ("grid_frames", "animation_frames"):
        assert len(doc[key]) == len(expected[key])
        for text, img in zip(doc[key], expected[key]):
            pixels_equal(text, img)
    assert all(type(v) is float for row in doc["raster"] for v in row)


@st.composite
def recordings(draw):
    width, height = draw(st.integers(1, 12)), draw(st.integers(1, 9))
    n = draw(st.integers(0, 150))
    one_d = draw(st.booleans())
    t_type = draw(st.sampled_from(["<i8", "<f8", "<u4"]))
    dtype = [("x", "<i2"), ("t", t_type), ("p", "i1")] + ([] if one_d else [("y", "<i2")])
    ints = lambda lo, hi: np.array(draw(st.lists(st.integers(lo, hi), min_size=n, max_size=n)))  # noqa: E731
    ev = np.zeros(n, dtype)
    ev["x"] = ints(0, width - 1)
    if not one_d:
        ev["y"] = ints(0, height - 1)
    t = ints(0, draw(st.integers(0, 10**6))).astype(np.float64)
    if t_type == "<f8":
        t = t + draw(st.sampled_from([0.0, 0.25, 0.9]))
    ev["t"] = np.sort(t)
    ev["p"] = ints(-1, 1)
    size = draw(st.sampled_from([None, (width, height if not one_d else 1), (width + 2, height + 1)]))
    return ev, size


@PROPERTY
@given(recordings(), st.integers(1, 6), st.integers(1, 4), st.integers(1, 30), st.integers(1, 80))
def test_document_matches_transcription(rec, n_frames, n_grid_bins, raster_time_bins, max_raster_neurons):
    ev, size = rec
    doc = spikes.serialize_events(ev, size, n_frames, n_grid_bins, raster_time_bins, max_raster_neurons)
    assert_document(doc, expected_document(ev, size, n_frames, n_grid_bins, raster_time_bins, max_raster_neurons))


@pytest.mark.parametrize("name, size", [("sample_nmnist.bin", (34, 34)), ("sample_ncars.dat", (78, 42)),
                                        ("sample.aedat4", (320, 240))])
def test_document_of_a_real_recording(recordings_dir, name, size):
    from tests.support import decoders as real
    ev = real.read(recordings_dir, name)
    doc = spikes.serialize_events(ev)
    assert doc["sensor_size"] == size and len(doc["raster"][0]) == 1000
    assert_document(doc, expected_document(ev, None))


@pytest.mark.parametrize("ev, size, duration, shape, columns", [
    (events([], [], [], []), None, 0, (128, 128), 1000),                   # empty: black images
    (events([3], [2], [77], [1]), None, 0, (4, 3), 12),                    # a single event
    (events([0, 0], [0, 0], [5, 5], [1, -1]), (1, 1), 0, (1, 1), 1),       # one pixel, one timestamp
    (events([0, 63], t=[1, 2], p=[1, 1], dtype=[("x", "u1"), ("t", "<i8"), ("p", "i1")]), None, 1, (64, 1), 64),
    (events([0, 1], [0, 1], [0.1, 42.0], [1, 1], dtype=[("x", "i2"), ("y", "i2"), ("t", "f8"), ("p", "i1")]),
     None, 41, (2, 2), 4),                                                  # a span of 41.9 gives 41
    (events([33], [33], [0], [1]), None, 0, (34, 34), 1000),               # 1156 neurons, capped
    (events([9], [9], [0], [1]), None, 0, (10, 10), 100),
])
def test_document_edge_cases(ev, size, duration, shape, columns):
    doc = spikes.serialize_events(ev, size)
    assert doc["duration_us"] == duration and doc["sensor_size"] == shape
    assert len(doc["raster"]) == 100 and {len(row) for row in doc["raster"]} == {columns}
    assert len(doc["animation_frames"]) == 20 and len(doc["grid_frames"]) == 5
    assert_document(doc, expected_document(ev, size))


def test_common_scale_of_animation_frames():
    # OFF maximum 8, ON maximum 2, all in one frame.
    ev = events([0] * 8 + [1] * 2, [0] * 10, [0] * 10, [-1] * 8 + [1] * 2)
    img = decode(spikes.serialize_events(ev, (2, 1), n_frames=1)["animation_frames"][0])
    assert img.tolist() == [[[255, 0, 0], [0, 0, 63]]]


def test_counts_are_truncated_and_sizes_refused():
    ev = events([1, 2], [1, 2], [0, 10], [1, -1])
    assert len(spikes.serialize_events(ev, n_frames=3.9)["animation_frames"]) == 3
    assert len(spikes.serialize_events(ev, n_grid_bins=True)["grid_frames"]) == 1
    for kwargs, message in [
        ({"sensor_size": [3, 3]}, "Argument 'sensor_size' has incorrect type (expected tuple, got list)"),
        ({"n_frames": "20"}, "Argument 'n_frames' has incorrect type (expected int, got str)"),
        ({"max_raster_neurons": None}, "Argument 'max_raster_neurons' has incorrect type (expected int, got NoneType)"),
        ({"frames": 5}, "serialize_events() got an unexpected keyword argument 'frames'"),
    ]:
        with pytest.raises(TypeError) as info:
            spikes.serialize_events(ev, **kwargs)
        assert str(info.value) == message
    with pytest.raises(TypeError, match=r"takes at most 6 positional arguments \(7 given\)"):
        spikes.serialize_events(ev, None, 1, 1, 1, 1, 1)


@pytest.mark.parametrize("attr, value, error, message", [
    ("_detect_sensor_size", [3, 3], TypeError, "Expected tuple, got list"),
    ("_get_event_fields", ("x", "y", "t"), ValueError, "need more than 3 values to unpack"),
    ("_get_event_fields", ("x", "y", "t", "p", "q"), ValueError, "too many values to unpack (expected 4)"),
])
def test_document_relies_on_module_helpers(monkeypatch, attr, value, error, message):
    monkeypatch.setattr(spikes, attr, lambda ev: value)
    with pytest.raises(error) as info:
        spikes.serialize_events(events([1], [1], [1], [1]))
    assert str(info.value) == message


def test_document_uses_the_module_encoder(monkeypatch):
    seen = []
    monkeypatch.setattr(spikes, "_encode_image_base64", lambda img: seen.append(img.shape) or "png")
    doc = spikes.serialize_events(events([1, 2], [0, 1], [0, 5], [1, -1]), n_frames=3, n_grid_bins=2)
    assert doc["grid_frames"] == ["png"] * 2 and doc["animation_frames"] == ["png"] * 3
    assert seen == [(2, 3, 3)] * 5


# ---------------------------------------------------------------- entry points

class Browser:
    def __init__(self):
        self.opened = []

    def open(self, url, *args, **kwargs):
        assert not args and not kwargs
        self.opened.append(url)
        return False  # no browser could be started: not an error


@pytest.fixture
def browser_stub(monkeypatch, tmp_path):
    stub = Browser()
    monkeypatch.setattr(spikes, "webbrowser", stub)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "tmp"))
    (tmp_path / "tmp").mkdir()
    return stub


SMALL = events([0, 1, 2, 3], [0, 1, 0, 1], [0, 10, 20, 35], [1, -1, 1, -1])


def test_plot_events_writes_a_temporary_page_and_opens_it(browser_stub, tmp_path):
    first = spikes.plot_events(SMALL, n_frames=5)
    second = spikes.plot_events(SMALL, (4, 2), "µ <events>")
    assert first != second and all(p.endswith(".html") for p in (first, second))
    assert all(Path(p).parent == tmp_path / "tmp" for p in (first, second))
    assert browser_stub.opened == ["file://" + first, "file://" + second]
    assert Path(first).read_text(encoding="utf-8") == spikes._render_spike_html(
        spikes.serialize_events(SMALL, n_frames=5), title="Spike Visualization")
    assert Path(second).read_text(encoding="utf-8") == spikes._render_spike_html(
        spikes.serialize_events(SMALL, (4, 2)), title="µ <events>")


class BrokenBrowser:
    def open(self, url):
        raise webbrowser.Error("no runnable browser")


@pytest.mark.parametrize("show", [lambda: spikes.plot_events(SMALL), lambda: spikes.plot_frames(np.ones((1, 2, 2)))])
@pytest.mark.parametrize("opens", [True, False, "raises"])
def test_a_browser_that_does_not_open_is_named_in_a_warning(browser_stub, monkeypatch, show, opens):
    if opens == "raises":
        monkeypatch.setattr(spikes, "webbrowser", BrokenBrowser())
    else:
        monkeypatch.setattr(browser_stub, "open", lambda url: browser_stub.opened.append(url) or opens)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        path = show()
    assert Path(path).is_file()
    if opens is True:
        assert caught == []
    else:
        assert [w.category for w in caught] == [UserWarning] and path in str(caught[0].message)
        assert caught[0].filename == __file__  # points at the caller's line
        assert ("no runnable browser" in str(caught[0].message)) == (opens == "raises")


@pytest.mark.parametrize("call, error, message", [
    (lambda: spikes.plot_events(SMALL, frames=5), TypeError,
     "serialize_events() got an unexpected keyword argument 'frames'"),
    (lambda: spikes.plot_events(SMALL, [4, 2]), TypeError,
     "Argument 'sensor_size' has incorrect type (expected tuple, got list)"),
    (lambda: spikes.plot_events(SMALL, None, 5), TypeError,
     "Argument 'title' has incorrect type (expected str, got int)"),
    (lambda: spikes.plot_events(SMALL, None, "t", 4), TypeError,
     "plot_events() takes at most 3 positional arguments (4 given)"),
    (lambda: spikes.plot_frames(np.zeros((1, 2, 2)), "t", 3), TypeError,
     "plot_frames() takes at most 2 positional arguments (3 given)"),
    (lambda: spikes.plot_frames(np.zeros((1, 1, 1, 2, 2))), ValueError, "too many values to unpack (expected 4)"),
    (lambda: spikes.plot_frames(np.zeros((2, 2))), ValueError, "need more than 2 values to unpack"),
    (lambda: spikes.plot_frames(np.zeros(2)), ValueError, "need more than 1 value to unpack"),
    (lambda: spikes.plot_frames(np.zeros((1, 2, 0, 3))), ValueError,
     "zero-size array to reduction operation maximum which has no identity"),
    (lambda: spikes.plot_frames([[[0]]]), AttributeError, "'list' object has no attribute 'ndim'"),
])
def test_entry_point_failures_create_no_file(browser_stub, tmp_path, call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message
    assert list((tmp_path / "tmp").iterdir()) == [] and browser_stub.opened == []


def test_export_normalises_the_path_and_overwrites(browser_stub, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "page.html").write_text("old")
    assert spikes.export_events_html(SMALL, "out//./page.html", title="T", n_frames=2) == "out/page.html"
    assert (tmp_path / "out" / "page.html").read_text(encoding="utf-8") == spikes._render_spike_html(
        spikes.serialize_events(SMALL, n_frames=2), title="T")
    assert spikes.export_events_html(SMALL, output_path=tmp_path / "b.html") == str(tmp_path / "b.html")
    assert browser_stub.opened == []


@pytest.mark.parametrize("call, error, message", [
    (lambda p: spikes.export_events_html(SMALL, p / "missing" / "page.html"), FileNotFoundError, "No such file"),
    (lambda p: spikes.export_events_html(SMALL, p / "page.html", n_frames="x"), TypeError, "expected int, got str"),
    (lambda p: spikes.export_events_html(SMALL, p / "page.html", title=None), TypeError, "expected str, got NoneType"),
    (lambda p: spikes.export_events_html(SMALL), TypeError,
     r"^export_events_html\(\) takes at least 2 positional arguments \(1 given\)$"),
])
def test_failed_export_touches_no_file(tmp_path, call, error, message):
    with pytest.raises(error, match=message):
        call(tmp_path)
    assert list(tmp_path.iterdir()) == []


def test_pages_are_utf8_whatever_the_platform_encoding(tmp_path):
    code = textwrap.dedent(f"""
        import locale, sys, numpy as np
        from pathlib import Path
        from zelq.viz import spikes
        assert locale.getpreferredencoding(False).lower() in ("ansi_x3.4-1968", "ascii"), locale.getpreferredencoding(False)
        class Browser:
            def open(self, url):
                pass
        spikes.webbrowser = Browser()
        ev = np.zeros(2, [("x", "i2"), ("y", "i2"), ("t", "i8"), ("p", "i1")])
        out = Path({str(tmp_path)!r})
        title = "Z\\u00fcrich \\u2713"
        print(spikes.export_events_html(ev, out / "e.html", title=title))
        print(spikes.plot_events(ev, title=title))
        print(spikes.plot_frames(np.ones((1, 2, 2)), title=title))
    """)
    env = dict(os.environ, LC_ALL="C", LANG="C", PYTHONUTF8="0", PYTHONCOERCECLOCALE="0",
               PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, env=env)
    assert out.returncode == 0, out.stderr.decode()
    for path in out.stdout.decode().split():
        assert "<title>Zürich ✓</title>" in Path(path).read_bytes().decode("utf-8")


# ---------------------------------------------------------------- frame stacks

def frame_document(frames):
    if frames.ndim == 3:
        frames = frames[:, None]
    n, k, h, w = frames.shape
    images = []
    for i in range(n):
        on = frames[i, 0]
        off = frames[i, 1] if k >= 2 else np.zeros_like(on)
        images.append(colour_common(on, off))
    return (w, h), images


@st.composite
def frame_stacks(draw):
    dtype = np.dtype(draw(st.sampled_from(["f4", "f8", "i2", "u1", "i8", "?", "f2", ">f4", "u8", "<i4"])))
    shape = draw(hnp.array_shapes(min_dims=3, max_dims=4, min_side=1, max_side=6))
    values = draw(hnp.arrays(np.float64, shape, elements=st.sampled_from([-3.0, -0.5, 0.0, 0.25, 0.5, 1.0, 2.0,
                                                                          7.0, 255.0, 300.0])))
    if dtype.kind in "ub?":
        values = np.abs(values)
    return values.astype(dtype)


@PROPERTY
@given(frame_stacks())
def test_plot_frames_matches_transcription(browser_stub, monkeypatch, frames):
    captured = []
    monkeypatch.setattr(spikes, "_render_spike_html", lambda doc, title: captured.append((doc, title)) or "page")
    path = spikes.plot_frames(frames)
    assert Path(path).read_text(encoding="utf-8") == "page"
    (doc, title), = captured
    size, images = frame_document(frames)
    assert title == "Frame Visualization"
    assert list(doc) == ["event_count", "duration_us", "sensor_size", "grid_frames", "animation_frames", "raster"]
    assert doc["event_count"] == 0 and doc["duration_us"] == 0 and doc["raster"] == []
    assert doc["sensor_size"] == size
    assert len(doc["animation_frames"]) == len(images) and doc["grid_frames"] == doc["animation_frames"][:5]
    for text, img in zip(doc["animation_frames"], images):
        pixels_equal(text, img)


@pytest.mark.parametrize("frames, expected", [
    (np.array([[[0.5, 1.0], [0.25, 0.0]]]), [[[0, 0, 127], [0, 0, 255]], [[0, 0, 63], [0, 0, 0]]]),
    (np.array([[[-2.0, -1.0]]]), [[[0, 0, 0], [0, 0, 0]]]),
    (np.array([[[[4, 0]], [[2, 8]], [[99, 99]]]]), [[[63, 0, 127], [255, 0, 0]]]),  # channel 2 ignored
])
def test_plot_frames_scaling(browser_stub, frames, expected):
    page = Path(spikes.plot_frames(frames, "frames")).read_text(encoding="utf-8")
    texts = [s for s in page.split('"') if s.startswith("iVBOR")]
    assert len(texts) == 2  # the one animation image, and again as the one grid image
    assert decode(texts[0]).tolist() == expected


@pytest.mark.parametrize("shape, n_grid", [((0, 2, 3, 4), 0), ((3, 4, 5), 3), ((12, 1, 2, 2), 5), ((1, 1, 1), 1)])
def test_plot_frames_counts(browser_stub, monkeypatch, shape, n_grid):
    captured = []
    monkeypatch.setattr(spikes, "_render_spike_html", lambda doc, title: captured.append(doc) or "")
    spikes.plot_frames(np.ones(shape, np.float32), title="x")
    doc = captured[0]
    assert len(doc["animation_frames"]) == shape[0] and len(doc["grid_frames"]) == n_grid
    assert doc["sensor_size"] == (shape[-1], shape[-2])
    assert browser_stub.opened and len(list(Path(tempfile.tempdir).iterdir())) == 1
