"""A filtered recording page's raw frames: the unfiltered page's frames pixel for pixel, within
the budget, and the player's switch between them and the filtered frames."""
import base64
import io

import numpy as np
import pytest
from PIL import Image

from tests.support.paths import shared_recording
from tests.recording_page.test_inspection_parts import recording
from zelq.viz import export_recording_html
from zelq.viz.recording_page import read_recording_document

FILTERS = dict(denoise_us=2000, refractory_us=1000, drop_hot=True)


def pixels(images):
    return [np.asarray(Image.open(io.BytesIO(base64.b64decode(s)))) for s in images]


def page_doc(path):
    return read_recording_document(path.read_text(encoding="utf-8"))


@pytest.mark.parametrize("source, small", [("sample_evt3.raw", 1.2), ("array", 0.4)])
@pytest.mark.parametrize("room", ["all", "some"])  # a budget with room for every raw frame, and one for some
def test_raw_frames_are_the_unfiltered_frames_within_the_budget(source, small, room, tmp_path):
    mb = 100 if room == "all" else small
    events = recording() if source == "array" else shared_recording(source)
    doc = page_doc(tmp_path / export_recording_html(events, tmp_path / "f.html", max_page_mb=mb, **FILTERS))
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
    export_recording_html(recording(), path, **FILTERS)
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
