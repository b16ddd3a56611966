"""The recording page's inspection parts in the browser: health, scores and worst frames, space-time view."""
import base64

import numpy as np
import pytest

from zelq.viz import export_recording_html, score_boxes

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
