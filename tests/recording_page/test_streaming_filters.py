"""The noise filters in the streaming path: iter_events, the recording page, its frames and the
command line give exactly what filter_events gives on the whole recording; a filtered page's
raw frames are the unfiltered page's, and its player switches between the two."""
import base64
import io
import warnings
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from tests.recording_page.test_inspection_parts import recording
from tests.support import writers
from tests.support.paths import shared_recording
from zelq.viz import cli, export_recording_html, filter_events, iter_events, read_events, read_sensor_size
from zelq.viz.filters import filter_counts
from zelq.viz.recording_page import filtering, read_recording_document, recording_frames

KW = dict(denoise_us=2000, refractory_us=500, drop_hot=True)


def whole(path, **kw):
    ev, sensor = read_events(path), read_sensor_size(path)
    return filter_events(ev, sensor_size=sensor, denoise_us=kw.get("denoise_us"),
                         refractory_us=kw.get("refractory_us"), hot_pixels=kw.get("drop_hot", False))


@pytest.mark.parametrize("name", ["sample_evt3.raw", "sample_nmnist.bin", "sample_ncars.dat"])
@pytest.mark.parametrize("kw", [dict(refractory_us=700), KW])
def test_iteration_in_pieces_equals_the_whole_filtered(name, kw):
    path = shared_recording(name)
    got = np.concatenate(list(iter_events(path, chunk=777, **kw)))
    np.testing.assert_array_equal(got, whole(path, **kw))
    with pytest.raises(ValueError, match="whole recording"):
        iter_events(path, start=10, **kw)
    with pytest.raises(ValueError, match="denoise_us must be a positive"):
        iter_events(path, denoise_us=-1)


@pytest.mark.parametrize("source", ["file", "array"])
def test_page_shows_the_survivors_and_says_what_went(tmp_path, source):
    path = shared_recording("sample_evt3.raw")
    rec = path if source == "file" else read_events(path)
    sensor = read_sensor_size(path)
    out = export_recording_html(rec, tmp_path / "f.html", sensor_size=sensor, max_page_mb=5, **KW)
    doc = read_recording_document(Path(out).read_text(encoding="utf-8"))
    want = whole(path, **KW)
    counts = filter_counts(read_events(path), sensor_size=sensor, denoise_us=2000, refractory_us=500, hot_pixels=True)
    assert doc["source"]["event_count"] == len(want) == doc["filters"]["kept"]
    assert doc["filters"]["removed"] == {k: counts[k] for k in ("hot", "denoise", "refractory")}
    tl = doc["timeline"]
    kept = sum(np.frombuffer(base64.b64decode(tl[k]), "<u4").sum() for k in ("on", "off"))
    removed = np.frombuffer(base64.b64decode(doc["filters"]["removed_bins"]), "<u4")
    assert kept == len(want) and removed.sum() == len(read_events(path)) - len(want)
    assert doc["budget"]["bytes"] == Path(out).stat().st_size <= 5_000_000
    # The frames are the survivors', on the recording's own clock, from a file as from its array.
    a = list(recording_frames(path, frame_period=50_000, **KW))
    b = list(recording_frames(read_events(path), frame_period=50_000, sensor_size=sensor, **KW))
    assert len(a) == len(b) and all(ta == tb and np.array_equal(fa, fb) for (ta, fa), (tb, fb) in zip(a, b))


def test_command_line_flags(tmp_path):
    path = shared_recording("sample_nmnist.bin")
    out = tmp_path / "n.html"
    assert cli.main(["events", str(path), "-o", str(out), "--denoise", "2ms", "--refractory", "1ms", "--drop-hot",
                     "-q"]) == 0
    doc = read_recording_document(out.read_text(encoding="utf-8"))
    assert doc["filters"]["denoise_us"] == 2000 and doc["filters"]["refractory_us"] == 1000
    assert doc["source"]["event_count"] == len(whole(path, denoise_us=2000, refractory_us=1000, drop_hot=True))
    with pytest.raises(SystemExit) as bad:
        cli.main(["events", str(path), "-o", str(out), "--denoise", "0ms", "-q"])
    assert bad.value.code == 2


def test_filters_panel_in_the_browser(page_probe, tmp_path):
    path = shared_recording("sample_evt3.raw")
    out = Path(export_recording_html(path, tmp_path / "p.html", **KW))
    page = page_probe.open(out)
    page.wait_for_selector("html[data-state=ready]", state="attached", timeout=20_000)
    panel = page.locator("[data-part=filters]")
    assert "Denoise removed" in panel.inner_text() and float(page.get_attribute("#removed", "data-peak")) > 0
    assert page_probe.errors == [] and page_probe.external_requests(out) == []


RAW_KW = dict(denoise_us=2000, refractory_us=1000, drop_hot=True)


def pixels(images):
    return [np.asarray(Image.open(io.BytesIO(base64.b64decode(s)))) for s in images]


def page_doc(path):
    return read_recording_document(path.read_text(encoding="utf-8"))


@pytest.mark.parametrize("source, small", [("sample_evt3.raw", 1.2), ("array", 0.4)])
@pytest.mark.parametrize("room", ["all", "some"])  # a budget with room for every raw frame, and one for some
def test_raw_frames_are_the_unfiltered_frames_within_the_budget(source, small, room, tmp_path):
    mb = 100 if room == "all" else small
    events = recording() if source == "array" else shared_recording(source)
    doc = page_doc(tmp_path / export_recording_html(events, tmp_path / "f.html", max_page_mb=mb, **RAW_KW))
    plain = page_doc(tmp_path / export_recording_html(events, tmp_path / "p.html", max_page_mb=mb))
    assert (tmp_path / "f.html").stat().st_size == doc["budget"]["bytes"] <= mb * 1e6
    raw, period = doc["raw_frames"], doc["frames"]["period_us"]
    assert len(raw["segments"]) == len(doc["frames"]["segments"])
    for r, seg, unfiltered in zip(raw["segments"], doc["frames"]["segments"], plain["frames"]["segments"]):
        assert list(r) == ["images"] and len(r["images"]) <= len(seg["images"])
        got, want = pixels(r["images"]), pixels(unfiltered["images"][:len(r["images"])])
        assert len(got) == len(want) and all(np.array_equal(a, b) for a, b in zip(got, want))
    counts = [len(r["images"]) for r in raw["segments"]]
    held = [[s["start"] + s["lead"] * period, s["start"] + n * period]
            for n, s in zip(counts, doc["frames"]["segments"]) if n > s["lead"]]
    assert raw["held"] == held and raw["frames"] == sum(counts)
    complete = all(len(r["images"]) == len(s["images"]) for r, s in zip(raw["segments"], doc["frames"]["segments"]))
    assert (raw["left_out"] is None) == complete
    assert complete == (room == "all") and raw["frames"] > 0


def test_player_switches_between_raw_and_filtered_frames(page_probe, tmp_path):
    path = tmp_path / "rec.html"
    export_recording_html(recording(), path, **RAW_KW)
    f = page_doc(path)["filters"]
    page = page_probe.open(path)
    page.wait_for_selector("html[data-state=ready]", state="attached", timeout=20_000)
    lit = "() => { const c = document.getElementById('frame'); const d = c.getContext('2d')" \
          ".getImageData(0, 0, c.width, c.height).data; let n = 0; for (let i = 0; i < d.length; i++) n += d[i]; return n; }"
    status, toggle = page.locator("[data-part=frames-shown]"), page.locator("[data-part=raw-toggle]")
    removed = sum(f["removed"].values())
    assert status.get_attribute("data-shown") == "filtered" and f"{removed:,} of {removed + f['kept']:,}" in status.inner_text()
    filtered = page.evaluate(lit)
    page.keyboard.press("r")
    page.wait_for_selector("#frame[data-frames=raw]", state="attached")
    assert toggle.get_attribute("aria-pressed") == "true" and status.get_attribute("data-shown") == "raw"
    assert "raw frame" in page.inner_text("#frame-label") and page.evaluate(lit) > filtered
    toggle.focus()
    page.keyboard.press("Enter")  # the switch is a button: the keyboard reaches it
    page.wait_for_selector("#frame[data-frames=filtered]", state="attached")
    assert toggle.get_attribute("aria-pressed") == "false" and page.evaluate(lit) == filtered
    assert probe_clean(page_probe, path)


def probe_clean(probe, path):
    return probe.errors == [] and probe.external_requests(path) == []


def busy_scene(path, n=700_000, cut=False):
    """An EVT 3.0 file of a drifting edge over noise, with a stuck pixel: over 1 MB, so the engine
    reads it in several pieces and decodes each on its second thread, buffer after buffer."""
    rng = np.random.default_rng(5)
    t = np.sort(rng.integers(0, 3_000_000, n))
    edge = rng.random(n) < 0.6
    x = np.where(edge, (t // 20_000 + rng.integers(0, 3, n)) % 128, rng.integers(0, 128, n))
    y = rng.integers(0, 96, n)
    x[::97], y[::97] = 7, 5
    data = writers.evt3(writers.records(x, y, t, rng.integers(0, 2, n)), geometry=(128, 96))
    path.write_bytes(data[:-3] if cut else data)
    return path


@pytest.mark.parametrize("name", ["sample_evt3.raw", "busy", "busy, cut short"])
def test_engine_feed_gives_the_page_of_the_record_pieces(name, tmp_path, monkeypatch):
    path = shared_recording(name) if name.endswith(".raw") else busy_scene(tmp_path / "busy.raw", cut="cut" in name)
    stood = []
    stands = filtering.stands
    monkeypatch.setattr(filtering, "stands", lambda *a: stood.append(stands(*a)) or stood[-1])
    pages = []
    for natively in (filtering.natively, lambda *a: False):
        monkeypatch.setattr(filtering, "natively", natively)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            out = export_recording_html(path, tmp_path / f"{len(pages)}.html", max_page_mb=3, **RAW_KW)
        pages.append(Path(out).read_bytes())
    # A cut file is not what the pieces give (they warn of the cut themselves): its pass is redone.
    assert stood == [name != "busy, cut short"]
    assert pages[0] == pages[1]
    doc = read_recording_document(pages[0].decode("utf-8"))
    assert doc["raw_frames"]["frames"] > 0
    if name != "sample_evt3.raw":  # the raw frames ran out of budget mid-file; the stuck pixel went
        assert doc["raw_frames"]["left_out"] is not None and doc["filters"]["removed"]["hot"] > 0
