"""The recording page's inspection parts: in the browser (health, scores and worst frames,
space-time view), and the pass that gathers them (its health report is check_recording's,
its space-time points the even subsample a NumPy transcription of the rule gives, and the
page pass that gathers them itself writes the same page)."""
import base64
import contextlib
import json

import numpy as np
import pytest

from tests.inspection.test_check_recording import faulty
from tests.support.paths import shared_recording
from tests.support.writers import dat
from zelq.viz import RecordingWarning, check_recording, export_recording_html, read_events, score_boxes
from zelq.viz import recording_inspection as inspection
from zelq.viz.recording_page.span import span_of
from zelq.viz.recordings import _sources

from tests.support.decoders import EVENT_DTYPE as RECORD
BOX = [("t", "<i8"), ("x", "<f8"), ("y", "<f8"), ("w", "<f8"), ("h", "<f8"), ("class_id", "<i4"), ("confidence", "<f4")]
HOSTILE = '<img src=x onerror="window.pwned=1">'


def recording(seed=1, n=60_000):
    rng = np.random.default_rng(seed)
    t = np.sort(rng.integers(0, 2_000_000, n))
    t = t[(t < 800_000) | (t > 1_100_000)]  # a 300 ms gap
    ev = np.zeros(len(t), RECORD)
    ev["t"], ev["x"], ev["y"], ev["p"] = t, rng.integers(0, 64, len(t)), rng.integers(0, 48, len(t)), rng.choice([-1, 1], len(t))
    return ev


def box_sets():
    times = np.arange(100_000, 2_000_000, 100_000)
    truth = np.zeros(2 * len(times), BOX)
    truth["t"] = np.repeat(times, 2)
    truth["x"], truth["y"], truth["w"], truth["h"] = 10, 10, 12, 12
    truth["x"][1::2], truth["class_id"][1::2] = 40, 1
    pred = truth.copy()
    pred["confidence"] = 0.9
    pred["x"][6::2] += 9   # misses and false positives from the fourth label time on
    return truth, pred


@pytest.fixture
def inspected(page_probe, tmp_path):
    truth, pred = box_sets()
    path = tmp_path / "rec.html"
    export_recording_html(recording(), path, boxes=truth, predictions=pred, classes=[HOSTILE, "person"])
    page = page_probe.open(path)
    page.wait_for_selector("html[data-state=ready]", state="attached", timeout=20_000)
    return page_probe, page, path, score_boxes(truth, pred, classes=[HOSTILE, "person"])


def test_health_scores_and_errors_list(inspected):
    probe, page, path, score = inspected
    health = page.locator("[data-part=health]")
    assert health.get_attribute("data-state") == "fails" and "Gaps" in health.inner_text()
    assert int(page.get_attribute("#timeline", "data-marks")) >= 1 + len(score["frames"])
    table = page.locator("[data-part=scores]")
    assert HOSTILE in table.inner_text() and page.evaluate("window.pwned") is None
    assert f"{score['all']['ap']:.3f}" in table.locator("tr.total").inner_text()
    errors = page.locator("[data-part=errors] tbody tr")
    assert errors.count() == len(score["frames"])
    page.click("text=better ▶")
    page.click("text=better ▶")
    assert page.get_attribute("[data-part=errors]", "data-current") == "1"
    span = page.evaluate("() => document.getElementById('frame-label').textContent")
    assert span  # the player moved to the frame
    assert probe.errors == [] and probe.external_requests(path) == []


def test_space_time_view_window_and_export(inspected):
    probe, page, path, _ = inspected
    canvas = page.locator("#xyt")
    assert canvas.get_attribute("data-renderer") in ("webgl", "2d")
    t0, t1 = map(int, canvas.get_attribute("data-window").split(","))
    assert t1 - t0 == 500_000 and int(canvas.get_attribute("data-points")) > 0
    page.fill("#xyt-half", "100")
    page.dispatch_event("#xyt-half", "change")
    t0, t1 = map(int, canvas.get_attribute("data-window").split(","))
    assert t1 - t0 == 200_000
    box = canvas.bounding_box()
    page.mouse.move(box["x"] + 100, box["y"] + 100)
    page.mouse.down()
    page.mouse.move(box["x"] + 160, box["y"] + 120)
    page.mouse.up()
    page.mouse.wheel(0, -200)
    page.click("#xyt-export")
    href = page.get_attribute("#xyt-export", "href")
    assert href.startswith("data:image/png;base64,")
    png = base64.b64decode(href.split(",", 1)[1])
    w, h = int.from_bytes(png[16:20], "big"), int.from_bytes(png[20:24], "big")
    cw, ch = page.evaluate("() => [document.getElementById('xyt').width, document.getElementById('xyt').height]")
    assert (w, h) == (2 * cw, 2 * ch)
    # drawn: not a blank canvas
    import io
    from PIL import Image
    assert len(np.unique(np.asarray(Image.open(io.BytesIO(png)).convert("RGB")).reshape(-1, 3), axis=0)) > 3
    assert probe.errors == [] and probe.external_requests(path) == []


def sample_oracle(ev, t0, t1, cap):
    """(events in [t0, t1), step, their every step-th in file order): the least power-of-two step
    that keeps at most `cap`."""
    t = ev["t"].astype(np.int64)
    inside = np.flatnonzero((t >= t0) & (t < t1))
    step = 1
    while -(-len(inside) // step) > cap:
        step *= 2
    return len(inside), step, ev[inside[::step]]


def page_parts(recording, max_bytes):
    src = _sources.open_source(recording, "drop", _sources.options_arg(None, None, None))
    span = span_of(src, 0, None, None)
    text, _ = inspection.gathered_parts(src, span.sensor, span.t0, span.t1, (None, None, ()), max_bytes)
    return json.loads("{" + text[1:] + "}"), span


def cases(tmp_path):
    damaged = faulty(np.random.default_rng(7))
    path = tmp_path / "damaged.dat"
    path.write_bytes(dat(damaged, geometry=(24, 16)))
    return {"damaged file": path, "damaged array": damaged,
            "float times": retyped(damaged, [("t", "<f8"), ("x", "<i2"), ("y", "<i2"), ("p", "<i1")]),
            "unsorted wide": retyped(damaged[::-1], [("t", "<i8"), ("x", "<i8"), ("y", "<u4"), ("p", "?")])}


def retyped(ev, dtype):
    out = np.empty(len(ev), dtype)
    for name in out.dtype.names:
        out[name] = ev[name] > 0 if out.dtype[name].kind == "b" else ev[name]
    return out


@pytest.mark.parametrize("name", ["sample_evt3.raw", "sample_evt2.raw", "sample_ncars.dat", "sample_nmnist.bin",
                                  "sample.aedat4", "damaged file", "damaged array", "float times", "unsorted wide"])
@pytest.mark.parametrize("max_bytes", [300_000, 100_000_000])  # a budget that thins the sample, and one that does not
def test_inspection_pass_is_check_recording_and_an_even_sample(name, max_bytes, tmp_path):
    recording = cases(tmp_path)[name] if " " in name else shared_recording(name)
    parts, span = page_parts(recording, max_bytes)
    assert parts["health"]["report"] == check_recording(recording)

    ev = recording if isinstance(recording, np.ndarray) else read_events(recording)
    xyt = parts["xyt"]
    cap = min(1_000_000, max_bytes * (0.12 if max_bytes >= 10_000_000 else 0.02) // 12)
    count, step, kept = sample_oracle(ev, span.t0, span.t1, cap)
    assert (xyt["count"], xyt["step"], xyt["points"]) == (count, step, len(kept))
    if max_bytes < 10_000_000 and count > cap:
        assert step > 1
    got = {k: np.frombuffer(base64.b64decode(xyt[k]), d) for k, d in
           (("x", "<u2"), ("y", "<u2"), ("t", "<u4"), ("p", "u1"))}
    np.testing.assert_array_equal(got["x"], np.clip(kept["x"].astype(np.int64), 0, 65535))
    np.testing.assert_array_equal(got["y"], np.clip(kept["y"].astype(np.int64), 0, 65535))
    np.testing.assert_array_equal(got["t"].astype(np.int64) * xyt["t_unit"] + xyt["t_base"],
                                  (kept["t"].astype(np.int64) - span.t0) // xyt["t_unit"] * xyt["t_unit"] + span.t0)
    np.testing.assert_array_equal(got["p"], kept["p"] > 0)


@pytest.mark.parametrize("name, mb, cut, stands", [
    ("sample_evt3.raw", 100, False, True), ("sample_evt2.raw", 100, False, True),
    ("sample_evt3.raw", 0.6, True, True),  # it fills its budget: the frames are recounted
    ("damaged", 100, False, True), ("damaged, cut short", 100, False, True),
    ("long", 0.3, True, True), ("long", 0.2, False, False)])  # the overview thins: passed again
def test_page_pass_that_gathers_the_health_writes_the_same_page(name, mb, cut, stands, tmp_path, monkeypatch):
    from zelq.viz.recording_page import folding
    if name.startswith("damaged"):
        recording = tmp_path / "damaged.dat"
        data = dat(faulty(np.random.default_rng(3)), geometry=(24, 16))
        recording.write_bytes(data[:-3] if "cut" in name else data)
    elif name == "long":  # five minutes of a small sensor: many overview images for the budget
        recording = tmp_path / "long.dat"
        ev = faulty(np.random.default_rng(3))
        ev["t"] *= 150
        recording.write_bytes(dat(ev, geometry=(24, 16)))
    else:
        recording = shared_recording(name)
    if cut or not stands:  # pages that would likely keep the separate pass, folded all the same
        monkeypatch.setattr(folding, "foldable", lambda *a: True)
    seen, counts = [], []
    stood, recount = folding.stands, folding.recount
    monkeypatch.setattr(folding, "stands", lambda *a: seen.append(stood(*a)) or seen[-1])
    monkeypatch.setattr(folding, "recount", lambda result, *a: counts.append(len(result["frames"]))
                        or recount(result, *a) or counts.append(len(result["frames"])))
    with warned("cut" in name):
        export_recording_html(recording, tmp_path / "one.html", max_page_mb=mb)
    monkeypatch.setattr(folding, "foldable", lambda *a: False)
    with warned("cut" in name):
        export_recording_html(recording, tmp_path / "two.html", max_page_mb=mb)
    assert seen == [stands]  # the pass gathered them, or (its overview thinned) the page is passed again
    assert stands == bool(counts) and cut == (counts[:1] > counts[1:])  # frames past the real budget cut
    assert (tmp_path / "one.html").read_bytes() == (tmp_path / "two.html").read_bytes()


@pytest.mark.parametrize("cap", [0, 1, 2, 7, 1000, 99_999, 1_000_000])
def test_thinned_floor_is_the_least_a_thinned_sample_adds(cap):
    # The sample's rule transcribed: the least power-of-two step keeping at most cap of n events.
    def added(n):
        step = 1
        while -(-n // step) > max(1, cap):
            step *= 2
        some, none = np.zeros(-(-n // step), np.int64), np.zeros(0, np.int64)
        text = lambda *d: len(inspection._json(inspection._xyt_document(0, 10**9, *d)))
        return text(n, step, some, some, some, some) - text(0, 1, none, none, none, none)
    floor = inspection.thinned_floor(cap, 0, 10**9)
    assert added(max(1, cap) + 1) == floor  # just thinned: the fewest points and digits
    assert all(added(n) >= floor for n in (cap + 2, 3 * cap + 5, 10 * cap + 11, 2**20 + cap))


@pytest.mark.parametrize("n", [0, 1, 2, 3, 1001])
def test_the_sample_text_is_its_json(n):
    rng = np.random.default_rng(n)
    cols = [rng.integers(-5, 70_000, n) for _ in range(3)] + [rng.integers(0, 2, n)]
    doc = inspection._xyt_document(-7, 10**12, 3 * n, 4, *cols)
    assert inspection._xyt_text(doc) == inspection._json(doc)


def warned(cut):
    """A file cut short says so on every pass; the others pass quietly."""
    return pytest.warns(RecordingWarning, match="cut short") if cut else contextlib.nullcontext()


# The denoise bounds a fold assumes are the whole sensor: a wider header leaves them short. At
# 0.7 MB the raw frames fill their share, planned larger than the real one: the fold cuts them.
FILTERED = [("sample_evt3.raw", dict(denoise_us=5000, refractory_us=1000), "stands"),
            ("scene", dict(denoise_us=3000), "stands"), ("scene", dict(refractory_us=2000), "stands"),
            ("scene", dict(denoise_us=3000, max_page_mb=0.7), "stands, raw frames cut"),
            ("scene, wider header", dict(denoise_us=3000, refractory_us=1000), "passes again"),
            ("damaged, cut short", dict(refractory_us=2000), "passes again"),
            ("scene", dict(drop_hot=True), "apart")]


@pytest.mark.parametrize("name, filters, way", FILTERED)
def test_filtered_page_pass_that_gathers_the_health_writes_the_same_page(name, filters, way, tmp_path, monkeypatch):
    from zelq.viz.recording_page import folding, page, raw_frames
    if name == "sample_evt3.raw":
        recording = shared_recording(name)
    else:
        recording = tmp_path / "rec.dat"
        damaged = name.startswith("damaged")  # times that go back as well
        data = dat(faulty(np.random.default_rng(3)) if damaged else recording_events(),
                   geometry=(24, 16) if damaged else (80, 48) if "wider" in name else (64, 48))
        recording.write_bytes(data[:-3] if "cut" in name else data)
    calls = {"health pass": 0, "filtered pass": 0}
    for attr, what in (("_box_json", "health pass"), ("_filtered_pass", "filtered pass")):
        monkeypatch.setattr(page, attr, counted(getattr(page, attr), calls, what))
    raw_kept, keep_within = [], raw_frames.RawFrames.keep_within
    monkeypatch.setattr(raw_frames.RawFrames, "keep_within", lambda self, budget: raw_kept.append(
        len(self.result["frames"])) or keep_within(self, budget) or raw_kept.append(len(self.result["frames"])))
    with warned("cut" in name):
        export_recording_html(recording, tmp_path / "one.html", **filters)
    folded = dict(calls)
    monkeypatch.setattr(folding, "foldable", lambda *a: False)
    with warned("cut" in name):
        export_recording_html(recording, tmp_path / "two.html", **filters)
    assert (tmp_path / "one.html").read_bytes() == (tmp_path / "two.html").read_bytes()
    want = {"stands": (0, 0), "passes again": (0, 1), "apart": (1, 1)}[way.split(",")[0]]
    assert (folded["health pass"], folded["filtered pass"]) == want
    assert (len(raw_kept) == 2 and raw_kept[1] < raw_kept[0]) == way.endswith("cut")


def recording_events():
    """The page's 64 x 48 scene, events on every pixel."""
    ev = recording(seed=4)
    ev["x"][:64], ev["y"][:48] = np.arange(64), np.arange(48)
    return ev


def counted(fn, calls, what):
    def call(*a, **k):
        calls[what] += 1
        return fn(*a, **k)
    return call
