"""The spike viewer page in headless Chromium."""
import base64
import io
import os
import shutil
import webbrowser
from pathlib import Path

import numpy as np
import pytest

from tests.support import decoders as recordings

ROOT = Path(__file__).resolve().parents[2]
SCREENSHOTS = ROOT / "docs" / "screenshots"
VIRIDIS_TOP = (253, 231, 37)  # the colour of the busiest raster cell


# ---------------------------------------------------------------- documents

spikes = pytest.importorskip("zelq.viz.spikes")


def png_b64(img):
    from PIL import Image

    buf = io.BytesIO()
    Image.fromarray(np.ascontiguousarray(img, dtype=np.uint8)).save(buf, format="PNG")
    return base64.b64encode(buf.getvalue()).decode("ascii")


def write_page(tmp_path, doc, title="Spike page", name="page.html"):
    path = tmp_path / name
    path.write_text(spikes._render_spike_html(doc, title=title), encoding="utf-8")
    return path


def frame_page(tmp_path, frames, monkeypatch, title="Frame stack"):
    """The page that plot_frames writes, with the browser call replaced."""
    opened = []
    monkeypatch.setattr(webbrowser, "open", lambda url, *a, **k: opened.append(url) or True)
    temp = Path(spikes.plot_frames(frames, title=title))
    try:
        path = tmp_path / "frames.html"
        shutil.copy(temp, path)
    finally:
        temp.unlink()
    assert opened == ["file://" + str(temp)]
    return path


def synthetic_doc(raster, size=(4, 3), duration_us=1000, n_frames=3, event_count=None):
    w, h = size
    frame = png_b64(np.zeros((h, w, 3), np.uint8))
    raster = np.asarray(raster, dtype=np.float32)
    return {"event_count": int(raster.sum()) if event_count is None else event_count,
            "duration_us": duration_us, "sensor_size": [w, h],
            "grid_frames": [frame] * 2, "animation_frames": [frame] * n_frames, "raster": raster.tolist()}


def nmnist(recordings_dir):
    return recordings.read(recordings_dir, "sample_nmnist.bin")


def open_ready(probe, path, timeout=10_000):
    page = probe.open(path)
    page.wait_for_selector("html[data-state=ready]", state="attached", timeout=timeout)
    return page


def assert_clean(probe, path):
    assert probe.errors == []
    assert probe.external_requests(path) == []


def image_report(page):
    return page.evaluate("""() => Array.from(document.images).map(i => ({
        id: i.id, complete: i.complete, w: i.naturalWidth, h: i.naturalHeight}))""")


def raster_pixel(page, bin_, neuron):
    """RGB of the raster canvas at the centre of one cell, read through the canvas's plot rectangle."""
    return page.evaluate("""([b, j]) => {
        const c = document.getElementById('raster');
        const [l, t, w, h] = c.dataset.plot.split(',').map(Number);
        const [t0, t1, n0, n1] = c.dataset.view.split(',').map(Number);
        const x = l + (b + 0.5 - t0) / (t1 - t0) * w, y = t + (j + 0.5 - n0) / (n1 - n0) * h;
        const s = c.width / c.getBoundingClientRect().width;
        return Array.from(c.getContext('2d').getImageData(Math.floor(x * s), Math.floor(y * s), 1, 1).data.slice(0, 3));
    }""", [bin_, neuron])


def coloured_share(page, width_share, background):
    """Share of the raster plot's pixels, in its left `width_share`, that differ from the background."""
    return page.evaluate("""([share, bg]) => {
        const c = document.getElementById('raster');
        const [l, t, w, h] = c.dataset.plot.split(',').map(Number);
        const s = c.width / c.getBoundingClientRect().width;
        const x0 = Math.ceil((l + 1) * s), y0 = Math.ceil((t + 1) * s);
        const pw = Math.floor(w * share * s) - 2, ph = Math.floor((h - 2) * s) - 2;
        const d = c.getContext('2d').getImageData(x0, y0, pw, ph).data;
        let n = 0;
        for (let i = 0; i < d.length; i += 4) if (d[i] !== bg[0] || d[i + 1] !== bg[1] || d[i + 2] !== bg[2]) n++;
        return n / (pw * ph);
    }""", [width_share, background])


def cell_centre(page, bin_, neuron):
    """Viewport coordinates of a raster cell's centre (the raster is scrolled into view first)."""
    return page.evaluate("""([b, j]) => {
        const c = document.getElementById('raster');
        c.scrollIntoView({block: 'nearest'});
        const r = c.getBoundingClientRect();
        const [l, t, w, h] = c.dataset.plot.split(',').map(Number);
        const [t0, t1, n0, n1] = c.dataset.view.split(',').map(Number);
        return [r.left + l + (b + 0.5 - t0) / (t1 - t0) * w, r.top + t + (j + 0.5 - n0) / (n1 - n0) * h];
    }""", [bin_, neuron])


def css_colour(page, name):
    hexa = page.evaluate(f"getComputedStyle(document.documentElement).getPropertyValue('{name}').trim()")
    return [int(hexa[i:i + 2], 16) for i in (1, 3, 5)]


# ---------------------------------------------------------------- the event page

def test_event_page_on_a_real_recording(page_probe, recordings_dir, tmp_path, artifacts_dir):
    events = nmnist(recordings_dir)
    doc = spikes.serialize_events(events)
    path = write_page(tmp_path, doc, title="N-MNIST digit")
    page = open_ready(page_probe, path)

    images = image_report(page)
    assert len(images) == len(doc["grid_frames"]) + 1  # the grid row and the player
    assert all(i["complete"] and i["w"] == 34 and i["h"] == 34 for i in images)

    cards = page.locator(".card").all_inner_texts()
    summary = " | ".join(cards).replace("\n", " ")
    assert "4,325" in summary and "310,521 µs" in summary and "311 ms" in summary
    assert "34 × 34" in summary
    assert f"{4325 / 0.310521 / 1000:.1f} k ev/s" in summary

    # every grid image carries its time range: five equal fifths of the duration
    captions = page.locator("#grid figcaption span:first-child").all_inner_texts()
    step_ms = doc["duration_us"] / 5 / 1000
    assert captions == [f"{i * step_ms:.1f}–{(i + 1) * step_ms:.1f} ms" for i in range(5)]

    # the raster is drawn: left of the time cursor (parked on the last frame), a share of the plot
    # area near the share of non-empty cells is coloured, and the busiest cell has the top colour
    page.keyboard.press("End")
    page.wait_for_timeout(50)
    raster = np.array(doc["raster"])
    coloured = coloured_share(page, 0.9, css_colour(page, "--plot-bg"))
    expected = (raster[: int(len(raster) * 0.9)] > 0).mean()
    assert expected > 0.01 and 0.5 * expected < coloured < 3 * expected
    hot = np.unravel_index(np.argmax(raster), raster.shape)
    page.mouse.move(*cell_centre(page, *map(int, hot)))
    for _ in range(8):  # zoom in until the cell spans several pixels
        page.mouse.wheel(0, -500)
    page.wait_for_timeout(50)
    assert raster_pixel(page, *map(int, hot)) == list(VIRIDIS_TOP)
    page.dblclick("#raster")
    page.mouse.move(0, 0)
    cold = np.argwhere(raster == 0)[len(np.argwhere(raster == 0)) // 2]

    assert page.inner_text("#raster-info") == "100 bins × 1,000 neurons · first 1,000 of 1,156 pixels"
    page.keyboard.press("Home")
    for _ in range(3):  # a busy moment of the digit
        page.keyboard.press("ArrowRight")
    page.screenshot(path=str(artifacts_dir / "spikes-light.png"), full_page=True)
    page.emulate_media(color_scheme="dark")
    page.wait_for_timeout(100)
    assert raster_pixel(page, *map(int, cold)) == css_colour(page, "--plot-bg")  # redrawn in the new theme
    page.screenshot(path=str(artifacts_dir / "spikes-dark.png"), full_page=True)
    if os.environ.get("ZELQVIZ_UPDATE_SCREENSHOTS") == "1":
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)
        for name in ("spikes-light.png", "spikes-dark.png"):
            shutil.copy(artifacts_dir / name, SCREENSHOTS / name)
    assert_clean(page_probe, path)


@pytest.fixture
def nmnist_page(page_probe, recordings_dir, tmp_path):
    path = write_page(tmp_path, spikes.serialize_events(nmnist(recordings_dir)), title="digit")
    return open_ready(page_probe, path), path


def wait_until(page, expression, timeout_ms=3000):
    """Poll from Python: the page's CSP forbids the eval behind Playwright's own waiting for a function."""
    for _ in range(timeout_ms // 20):
        if page.evaluate(expression):
            return
        page.wait_for_timeout(20)
    raise AssertionError(f"timed out waiting for {expression}")


def current_frame(page):
    return int(page.get_attribute("#frame-img", "data-frame"))


def test_animation_plays_steps_and_stops(nmnist_page, page_probe, recordings_dir):
    page, path = nmnist_page
    assert current_frame(page) == 0
    page.fill("#fps", "60")
    page.click("#stage")  # keys typed into the speed box stay there
    page.keyboard.press("Space")
    wait_until(page, "document.getElementById('frame-img').dataset.frame >= 3")
    page.keyboard.press("Space")  # pause
    paused = current_frame(page)
    page.wait_for_timeout(150)
    assert current_frame(page) == paused
    # the frame image really changes with the frame
    page.keyboard.press("Home")
    first = page.get_attribute("#frame-img", "src")
    page.keyboard.press("ArrowRight")
    assert current_frame(page) == 1 and page.get_attribute("#frame-img", "src") != first
    page.keyboard.press("ArrowLeft")
    assert current_frame(page) == 0 and page.get_attribute("#frame-img", "src") == first
    # without loop, playing stops on the last frame; with loop, the left arrow wraps
    page.uncheck("#loop")
    page.fill("#slider", "17")
    page.dispatch_event("#slider", "input")
    page.click("#play")
    wait_until(page, "document.getElementById('play').getAttribute('aria-pressed') === 'false'")
    assert current_frame(page) == 19
    page.check("#loop")
    page.keyboard.press("Home")
    page.keyboard.press("ArrowLeft")
    assert current_frame(page) == 19
    # export follows the current frame, at sensor resolution
    assert page.get_attribute("#export", "href") == page.get_attribute("#frame-img", "src")
    assert page.get_attribute("#export", "download").endswith("-frame-020.png")
    with page.expect_download() as info:
        page.click("#export")
    saved = Path(info.value.path()).read_bytes()
    assert info.value.suggested_filename == "digit-frame-020.png"
    assert base64.b64encode(saved).decode() == spikes.serialize_events(nmnist(recordings_dir))["animation_frames"][19]
    assert_clean(page_probe, path)


def test_player_scales_crisply_and_fits(nmnist_page):
    page, _ = nmnist_page
    box = page.locator("#frame-img").bounding_box()
    stage = page.locator("#player-panel").bounding_box()
    assert 34 * 8 < box["width"] <= stage["width"] and abs(box["width"] - box["height"]) <= 1
    assert page.eval_on_selector("#frame-img", "e => getComputedStyle(e).imageRendering") == "pixelated"
    page.select_option("#zoom", "2")
    assert page.locator("#frame-img").bounding_box()["width"] == 68


def test_raster_tooltip_zoom_pan_and_cursor(page_probe, tmp_path):
    raster = np.zeros((10, 12))
    raster[7, 5] = 9
    raster[2, 11] = 3
    path = write_page(tmp_path, synthetic_doc(raster, size=(4, 3), duration_us=10_000, n_frames=5))
    page = open_ready(page_probe, path)
    assert raster_pixel(page, 7, 5) == list(VIRIDIS_TOP)
    linear = raster_pixel(page, 2, 11)
    assert linear not in (list(VIRIDIS_TOP), css_colour(page, "--plot-bg"))
    page.select_option("#scale", "log")  # a compressed scale lifts the small count towards the top colour
    page.wait_for_timeout(50)
    assert raster_pixel(page, 7, 5) == list(VIRIDIS_TOP)
    assert sum(raster_pixel(page, 2, 11)[:2]) > sum(linear[:2])
    assert page.inner_text("#cbar-max") == "9"

    page.mouse.move(*cell_centre(page, 7, 5))
    tip = page.inner_text("#tooltip")
    assert "bin 7 / 10" in tip and "7–8 ms" in tip and "neuron 5 (x 1, y 1)" in tip and "count 9" in tip

    # zooming keeps the cell under the mouse, and narrows the view
    x, y = cell_centre(page, 7, 5)
    page.mouse.wheel(0, -600)
    page.wait_for_timeout(50)
    t0, t1, n0, n1 = map(float, page.get_attribute("#raster", "data-view").split(","))
    assert t1 - t0 < 10 and n1 - n0 < 12 and t0 <= 7.5 <= t1 and n0 <= 5.5 <= n1
    page.mouse.move(x + 1, y)
    assert "count 9" in page.inner_text("#tooltip")
    # drag pans, double-click resets
    page.mouse.down()
    page.mouse.move(x + 60, y, steps=4)
    page.mouse.up()
    panned = list(map(float, page.get_attribute("#raster", "data-view").split(",")))
    assert panned[0] < t0
    page.dblclick("#raster")
    page.wait_for_timeout(50)
    assert page.get_attribute("#raster", "data-view") == "0,10,0,12"

    # a click on the raster seeks the animation; the cursor band follows (bins 6-8 of 10 = frame 4 of 5)
    page.mouse.click(*cell_centre(page, 9, 0))
    assert current_frame(page) == 4
    page.wait_for_timeout(50)
    assert raster_pixel(page, 9, 0) != css_colour(page, "--plot-bg")  # under the cursor band
    assert raster_pixel(page, 0, 0) == css_colour(page, "--plot-bg")
    assert_clean(page_probe, path)


def test_rate_curve_sums_neurons(page_probe, tmp_path):
    raster = np.zeros((4, 6))
    raster[1, :] = 2  # 12 events in bin 1
    raster[3, 0] = 1
    page = open_ready(page_probe, write_page(tmp_path, synthetic_doc(raster, duration_us=4_000_000)))
    box = page.locator("#rate").bounding_box()
    left, top, width, height = map(float, page.get_attribute("#rate", "data-plot").split(","))
    for bin_, events, rate in ((1, "12", "12.0 ev/s"), (3, "1", "1.00 ev/s")):
        page.mouse.move(box["x"] + left + (bin_ + 0.5) / 4 * width, box["y"] + top + height / 2)
        tip = page.inner_text("#tooltip")
        assert f"events {events}\n" in tip + "\n" and f"rate {rate}" in tip


# ---------------------------------------------------------------- documents without events or with odd sensors

def test_frame_document_hides_the_raster(page_probe, tmp_path, monkeypatch, artifacts_dir):
    rng = np.random.default_rng(3)
    frames = rng.poisson(0.3, size=(12, 2, 24, 40)).astype(np.float32)
    path = frame_page(tmp_path, frames, monkeypatch)
    page = open_ready(page_probe, path)
    assert page.locator("#raster-panel").is_hidden()
    assert page.locator("#player-panel").is_visible()
    images = image_report(page)
    assert len(images) == 5 + 1 and all(i["w"] == 40 and i["h"] == 24 for i in images)
    assert page.locator("#grid figcaption span:first-child").all_inner_texts() == [f"frame {i}" for i in range(1, 6)]
    summary = page.inner_text("#summary")
    assert "Frames\n12" in summary and "40 × 24" in summary
    page.click("#grid figure:nth-child(4)")
    assert current_frame(page) == 3
    page.screenshot(path=str(artifacts_dir / "spikes-frames.png"), full_page=True)
    assert_clean(page_probe, path)


def one_d_events(n=500, width=64):
    rng = np.random.default_rng(1)
    ev = np.zeros(n, dtype=[("x", "<i2"), ("t", "<i8"), ("p", "i1")])
    ev["x"] = rng.integers(0, width, n)
    ev["t"] = np.sort(rng.integers(0, 50_000, n))
    ev["p"] = rng.choice([-1, 1], n)
    return ev


def single_pixel_events():
    ev = np.zeros(1, dtype=recordings.EVENT_DTYPE)
    ev["t"], ev["p"] = 42, 1
    return ev


@pytest.mark.parametrize("case", ["empty-events", "single-pixel", "one-d", "zero-frames", "one-frame", "1-d-frames"])
def test_odd_documents_load_without_errors(case, page_probe, tmp_path, monkeypatch):
    if case == "empty-events":
        doc = spikes.serialize_events(np.zeros(0, dtype=recordings.EVENT_DTYPE), (8, 6))
        path, width = write_page(tmp_path, doc), 8
    elif case == "single-pixel":
        doc = spikes.serialize_events(single_pixel_events())
        path, width = write_page(tmp_path, doc), 1
    elif case == "one-d":
        doc = spikes.serialize_events(one_d_events())
        path, width = write_page(tmp_path, doc), 64
    elif case == "zero-frames":
        path, width = frame_page(tmp_path, np.zeros((0, 2, 5, 7)), monkeypatch), None
    elif case == "one-frame":
        path, width = frame_page(tmp_path, np.ones((1, 9, 11)), monkeypatch), 11
    else:
        path, width = frame_page(tmp_path, np.ones((6, 2, 1, 30)), monkeypatch), 30
    page = open_ready(page_probe, path)
    sensor_note = {"empty-events": "48 pixels", "single-pixel": "1 pixel", "one-d": "1-D sensor, 64 channels",
                   "zero-frames": "35 pixels", "one-frame": "99 pixels", "1-d-frames": "1-D sensor, 30 channels"}
    assert sensor_note[case] in page.inner_text("#summary")
    images = image_report(page)
    if width is None:
        assert images == [] and page.locator(".empty").count() == 2
        assert page.is_disabled("#play")
    else:
        assert images and all(i["complete"] and i["w"] == width for i in images)
        assert page.locator("#frame-img").bounding_box()["height"] >= 40  # even a 1-pixel-high strip is visible
    page.keyboard.press("Space")
    page.keyboard.press("ArrowRight")
    page.wait_for_timeout(100)
    if case in ("empty-events", "single-pixel", "one-d"):
        assert page.locator("#raster-panel").is_visible()
        assert page.get_attribute("#raster", "data-plot") is not None
    else:
        assert page.locator("#raster-panel").is_hidden()
    assert_clean(page_probe, path)


@pytest.mark.parametrize("duration_us, shown", [(0, "0 µs"), (640, "640 µs"), (1500, "1.50 ms"),
                                                (310_521, "311 ms"), (2_500_000, "2.50 s"),
                                                (150_000_000, "2.50 min"), (5_400_000_000, "1.50 h")])
def test_duration_unit_fits_the_value(duration_us, shown, page_probe, tmp_path):
    doc = synthetic_doc(np.ones((5, 2)), duration_us=duration_us, event_count=10)
    page = open_ready(page_probe, write_page(tmp_path, doc))
    assert page.inner_text("#summary .card:nth-child(2) .v") == shown
    rate = page.inner_text("#summary .card:nth-child(4) .v")
    assert rate == "—" if duration_us == 0 else rate.endswith("ev/s")


# ---------------------------------------------------------------- safety and theme

HOSTILE = "<img src=x onerror=\"window.pwned=1\"><script>window.pwned=2</script> ${data_json} $title & 'q' µ"


def test_hostile_title_is_text_and_runs_nothing(page_probe, tmp_path):
    doc = synthetic_doc(np.ones((3, 3)))
    path = write_page(tmp_path, doc, title=HOSTILE)
    page = open_ready(page_probe, path)
    assert page.inner_text("#title") == HOSTILE
    assert page.title() == HOSTILE
    assert page.evaluate("window.pwned") is None
    assert page.locator("img[src='x']").count() == 0 and page.locator("script").count() == 2
    assert_clean(page_probe, path)


def test_theme_follows_the_system_and_toggles(page_probe, tmp_path):
    page = open_ready(page_probe, write_page(tmp_path, synthetic_doc(np.ones((3, 3)))))
    background = lambda: page.evaluate("getComputedStyle(document.body).backgroundColor")  # noqa: E731
    light = background()
    page.emulate_media(color_scheme="dark")
    dark = background()
    assert light != dark
    page.click("#theme")  # the toggle overrides the system
    assert page.get_attribute("html", "data-theme") == "light" and background() == light
    page.click("#theme")
    assert background() == dark
