"""The recording page: template, safe JSON, and the page in headless Chromium on
documents from the NumPy reference builder."""
import json
import math
import re
from pathlib import Path

import numpy as np
import pytest

from tests.support import recording_oracle as rr
from tests.support.browser import wait_until
from zelq.viz import show
from zelq.viz._palettes import PALETTES
from zelq.viz.recording_page import json_for_script, read_recording_document, render_recording_html, template_parts

ROOT = Path(__file__).resolve().parents[2]
TEMPLATE = ROOT / "src" / "zelq" / "viz" / "templates" / "recording.html"
from tests.support.decoders import EVENT_DTYPE as EVENT
BOX = [("t", "<i8"), ("x", "<f4"), ("y", "<f4"), ("w", "<f4"), ("h", "<f4"), ("class_id", "<u4"),
       ("confidence", "<f4")]
HOSTILE = "</script><img src=x onerror=\"window.pwned=1\"><!-- {{data_json}} {{title}} & \u2028 \ud800"
T0 = 5_000_000  # the recording's own clock does not start at 0
SIZE = (200, 40)


def moving_dot(speed_px_s=1000, span_ms=200):
    """A dot crossing row 20 (ON) with its OFF edge on row 21: one event per pixel it enters."""
    n = span_ms * speed_px_s // 1000
    x = np.arange(n)
    t = T0 + x * 1_000_000 // speed_px_s
    ev = np.zeros(2 * n, EVENT)
    ev["x"], ev["y"], ev["t"], ev["p"] = np.tile(x, 2), np.repeat([20, 21], n), np.tile(t, 2), np.repeat([1, 0], n)
    return ev


def dot_boxes():
    b = np.zeros(4, BOX)
    b["t"] = T0 + np.array([10_000, 50_000, 90_000, 130_000])
    b["x"], b["y"], b["w"], b["h"] = b["t"] // 1000 - T0 // 1000 - 4, 16, 8, 8
    b["class_id"] = [0, 1, 0, 1]
    return b


# ---------------------------------------------------------------- template and JSON

def test_committed_template_is_assembled_from_sources(build_pages):
    assert TEMPLATE.read_text(encoding="utf-8") == build_pages.build_recording()


@pytest.mark.parametrize("value", [HOSTILE, {"k": [HOSTILE, 1, 2.5, None, True]}, "a\u2029b<>&", ""])
def test_json_cannot_close_its_script_and_reads_back(value):
    text = json_for_script(value)
    assert not set(text) & set("<>&") and text.isascii()
    assert json.loads(text) == value


def test_page_is_head_json_tail_with_an_escaped_title():
    doc = {"kind": "recording", "source": {"name": HOSTILE}}
    head, tail = template_parts(HOSTILE)
    page = render_recording_html(doc, HOSTILE)
    assert page == head + json_for_script(doc) + tail
    assert page.lower().count("</script") == 2 and "{{" not in render_recording_html({}, "plain")
    page.encode("utf-8")  # a lone surrogate in the title does not stop the page being written
    assert json.loads(page.split('id="palettes" type="application/json">')[1].split("</script>")[0]) == \
        json.loads(json.dumps(PALETTES))
    with pytest.raises(ValueError):
        json_for_script({"x": float("nan")})


def busy_events(n=30_000, span=3_500_000, seed=3):
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, EVENT)
    ev["t"] = np.sort(rng.integers(T0, T0 + span, n))
    ev["x"], ev["y"], ev["p"] = rng.integers(0, 64, n), rng.integers(0, 32, n), rng.integers(0, 2, n)
    return ev


@pytest.mark.parametrize("extra", [None, HOSTILE, "--><script>window.pwned=1</script>"])
def test_page_carries_the_document_in_a_summary_and_image_blocks(extra):
    doc = rr.build_document(busy_events(), (64, 32), max_bytes=230_000)  # an overview and a segment
    if extra is not None:  # a list that is not all base64 stays whole, and safe, in the summary
        doc["frames"]["segments"][0]["images"].append(extra)
    page = render_recording_html(doc, "Recording")
    assert read_recording_document(page) == json.loads(json.dumps(doc))
    summary = json.loads(page.split('<div id="doc" hidden><!--', 1)[1].split("-->", 1)[0])
    assert summary["overview"]["images"] == [] and summary["overview"]["count"] == len(doc["overview"]["images"])
    segment = summary["frames"]["segments"][0]
    assert (segment["images"] == [] and segment["count"] > 0) == (extra is None)
    assert page.lower().count("</script") == 2
    blocks = page.split('<div id="images" hidden>', 1)[1]
    assert blocks.startswith("<!--F0 " if extra is None else "<!--O ")  # what the first view shows comes first


# ---------------------------------------------------------------- the document's own sums

def test_reference_document_accounts_for_every_event():
    ev = moving_dot()
    doc = rr.build_document(ev, SIZE)
    src = doc["source"]
    assert (src["event_count"], src["on_count"], src["t_first"], src["t_last"]) == (
        len(ev), int((ev["p"] > 0).sum()), int(ev["t"].min()), int(ev["t"].max()))
    tl = doc["timeline"]
    on, off = (np.frombuffer(rr.base64.b64decode(tl[k]), "<u4") for k in ("on", "off"))
    assert len(on) >= 1000 and on.sum() + off.sum() == len(ev)
    raster = np.frombuffer(rr.base64.b64decode(doc["raster"]["counts"]), "<u2")
    assert raster.sum() == len(ev)
    frames = doc["frames"]["segments"][0]["images"]
    assert sum(int(rr.np.asarray(decode(f), np.int64).sum()) for f in frames) == len(ev)
    assert doc["hot_pixels"]["pixels"] == []  # a moving dot: no pixel is ten times its neighbours
    assert doc["budget"]["bytes"] == len(render_recording_html(doc, "Recording").encode())


def decode(b64):
    import io
    from PIL import Image
    return np.asarray(Image.open(io.BytesIO(rr.base64.b64decode(b64))))


# ---------------------------------------------------------------- in Chromium

def write(tmp_path, doc, title="Recording", name="rec.html"):
    path = tmp_path / name
    path.write_text(render_recording_html(doc, title), encoding="utf-8")
    return path


def open_ready(probe, path):
    page = probe.open(path)
    page.wait_for_selector("html[data-state=ready]", state="attached", timeout=15_000)
    return page


def go_to_step(page, step):
    page.evaluate(
        "s => { const el = document.getElementById('slider'); el.value = s; el.dispatchEvent(new Event('input')); }",
        step)
    wait_until(page, "s => document.getElementById('frame').dataset.step === String(s)", step)


def frame_pixels(page):
    data = page.evaluate("""() => { const c = document.getElementById('frame');
        return [c.width, c.height, Array.from(c.getContext('2d').getImageData(0, 0, c.width, c.height).data)]; }""")
    w, h, px = data
    return np.array(px, np.uint8).reshape(h, w, 4)[..., :3]


def assert_clean(probe, path):
    assert probe.errors == []
    assert probe.external_requests(path) == []


def test_default_frame_of_a_moving_dot_is_sharp_and_matches_the_reference(page_probe, tmp_path):
    ev = moving_dot()
    path = write(tmp_path, rr.build_document(ev, SIZE, boxes=dot_boxes(), classes=["car", "ped"]))
    page = open_ready(page_probe, path)
    for part in ("timeline", "frame", "heatmap", "boxes"):
        assert page.locator(f"[data-part={part}]").count() == 1, part
    expected = list(rr.recording_frames(ev, SIZE))
    go_to_step(page, 5)
    got = frame_pixels(page)
    t, want = expected[5]
    assert page.get_attribute("#frame", "data-t") == str(t)
    assert np.abs(got.astype(int) - want).max() <= 1
    label = page.inner_text("#frame-label")
    assert "5.100000 s" in label and "+0.100 s" in label
    # the trail: the newest pixel is bright, and nothing 100 ms behind it is above a third of that
    pal = PALETTES["blue-red"]["dark"]
    level = (got[20, :, 1].astype(float) - pal["background"][1]) / (pal["on"][1] - pal["background"][1])
    head = 119  # the dot's pixel at the end of frame 5 (100-120 ms)
    assert level[head] > 0.6 and level[head + 1:].max() < 0.01
    lit = np.flatnonzero(level > level[head] / 3)
    assert lit.min() >= head - 100 and lit.max() == head
    # the page's controls change the frame without writing it again
    page.fill("#decay", "5")
    page.dispatch_event("#decay", "change")
    wait_until(page, "() => document.getElementById('frame-label').textContent.includes('frame 6/')")
    page.wait_for_timeout(200)
    sharper = frame_pixels(page)
    _, want5 = list(rr.recording_frames(ev, SIZE, decay=5_000))[5]
    assert np.abs(sharper.astype(int) - want5).max() <= 1
    assert_clean(page_probe, path)


def test_first_view_is_drawn_before_the_images_are_read(page_probe, tmp_path):
    doc = rr.build_document(moving_dot(), SIZE)
    noise = rr.png(np.random.default_rng(0).integers(0, 256, (SIZE[1], SIZE[0], 3), dtype=np.uint8))
    doc["overview"] = {"period_us": 1_000_000, "start": T0, "scale": 1, "width": SIZE[0], "height": SIZE[1],
                       "images": [noise] * (20_000_000 // len(noise))}  # 20 MB for the parser to read
    page = open_ready(page_probe, write(tmp_path, doc))
    page.wait_for_selector("html[data-loaded=true]", state="attached", timeout=60_000)
    ready, loaded = page.evaluate("[document.documentElement.dataset.readyMs, document.documentElement.dataset.loadedMs]")
    assert float(ready) < float(loaded)
    assert page.evaluate("document.getElementById('frame').dataset.step") == "0" and not page.query_selector("#reading")
    assert_clean(page_probe, tmp_path / "rec.html")


def test_timeline_click_jumps_and_boxes_step(page_probe, tmp_path):
    ev = moving_dot()
    path = write(tmp_path, rr.build_document(ev, SIZE, boxes=dot_boxes(), classes=["car", "ped"]))
    page = open_ready(page_probe, path)
    left, right, s0, s1 = map(float, page.get_attribute("#timeline", "data-plot").split(","))
    target = T0 + 150_000
    box = page.locator("#timeline").bounding_box()
    page.mouse.click(box["x"] + left + (target - s0) / (s1 - s0) * (right - left), box["y"] + box["height"] / 2)
    wait_until(page, f"() => document.getElementById('frame').dataset.t === '{T0 + 140_000}'")
    # boxes: listed, filtered by class, and stepped through
    assert page.locator("#box-list tbody tr").count() == 4
    page.select_option("#box-class", "1")
    assert page.locator("#box-list tbody tr").count() == 2
    for frame_ms in (120, 40):  # class-1 boxes at 130 ms and 50 ms, before 140 ms
        page.click("#box-prev")
        wait_until(page, f"() => document.getElementById('frame').dataset.t === '{T0 + frame_ms * 1000}'")
    assert page.get_attribute("#overlay", "data-boxes") == "1"
    assert page.locator("#box-list tbody tr.current").count() == 1
    assert_clean(page_probe, path)


def test_hostile_strings_stay_text(page_probe, tmp_path):
    ev = moving_dot()
    doc = rr.build_document(ev, SIZE, name=HOSTILE, boxes=dot_boxes(), classes=[HOSTILE, HOSTILE])
    doc["source"]["warnings"] = [HOSTILE]
    doc["hot_pixels"]["rule"] = HOSTILE
    path = write(tmp_path, doc, title=HOSTILE)
    page = open_ready(page_probe, path)
    shown = HOSTILE.replace("\ud800", "\ufffd")
    assert page.inner_text("#title") == shown and page.title() == shown
    assert page.evaluate("window.pwned") is None
    assert page.locator("img").count() == 0 and page.locator("script").count() == 2
    assert HOSTILE in page.inner_text("#kind") and HOSTILE in page.inner_text("#holds")
    assert page.locator("#box-list tbody td", has_text="onerror").count() == 4
    assert_clean(page_probe, path)


def test_overview_and_window_pages_say_what_they_hold(page_probe, tmp_path):
    ev = busy_events()
    doc = rr.build_document(ev, (64, 32), max_bytes=230_000)
    assert doc["overview"] and doc["frames"]["segments"] and doc["budget"]["left_out"]
    path = write(tmp_path, doc)
    page = open_ready(page_probe, path)
    assert doc["budget"]["left_out"] in page.inner_text("#holds")
    shown = len(doc["frames"]["segments"][0]["images"])
    go_to_step(page, shown)  # the first overview frame after the full-rate ones
    assert page.get_attribute("#frame", "data-kind") == "overview"
    ov = doc["overview"]
    t_ov = int(page.get_attribute("#frame", "data-t"))
    j = (t_ov - ov["start"]) // ov["period_us"]
    t0 = int(ev["t"].min())
    surface = rr.decayed(rr.frame_counts(ev, (64, 32), t0, 20_000, j * 50 + 1), 20_000, 30_000)[-1]
    want = rr.colours(np.minimum(255, np.floor(16 * surface + 0.5)) / 16)
    assert np.abs(frame_pixels(page).astype(int) - want).max() <= 1
    assert page.locator("#place").is_hidden()
    assert_clean(page_probe, path)

    page_probe.requests.clear()
    window = (T0 + 2_000_000, T0 + 2_100_000)
    path = write(tmp_path, rr.build_document(ev, (64, 32), window=window), name="win.html")
    page = open_ready(page_probe, path)
    assert page.locator("#place").is_visible()
    assert "+2.000 s to +2.100 s" in page.inner_text("#place-text")
    assert page.get_attribute("#frame", "data-t") == str(window[0])
    assert "7.000000 s" in page.inner_text("#frame-label")
    assert_clean(page_probe, path)


@pytest.mark.parametrize("theme", ["light", "dark"])
def test_theme_attribute_is_honoured_and_show_knows_the_page(page_probe, tmp_path, theme):
    path = write(tmp_path, rr.build_document(moving_dot(), SIZE))
    inline = show(path, theme=theme)
    assert inline.kind == "recording" and "recording page" in repr(inline)
    themed = tmp_path / "themed.html"
    themed.write_text(inline.html, encoding="utf-8")
    page = open_ready(page_probe, themed)
    page.emulate_media(color_scheme="light" if theme == "dark" else "dark")
    bg = page.evaluate("getComputedStyle(document.body).backgroundColor")
    assert (bg == "rgb(14, 16, 20)") == (theme == "dark")
    assert show(rr.build_document(moving_dot(), SIZE)).kind == "recording"


# ---------------------------------------------------------------- the engine against the reference

def images_decoded(doc):
    """The document with every PNG decoded to nested lists, and the writer-specific sizes dropped."""
    doc = json.loads(json.dumps(doc))
    doc["budget"].pop("bytes")
    doc["source"].pop("name")
    doc["heatmap"]["png"] = decode(doc["heatmap"]["png"]).tolist()
    for seg in doc["frames"]["segments"]:
        seg["images"] = [decode(i).tolist() for i in seg["images"]]
    return doc


@pytest.mark.parametrize("window", [None, (50_000, 100_000)])
def test_engine_document_equals_the_reference(tmp_path, window):
    stream = pytest.importorskip("zelq.viz.stream")
    ev = moving_dot()
    kw = {} if window is None else {"start": window[0], "duration": window[1]}
    out = tmp_path / "engine.html"
    stream.export_recording_html(ev, out, sensor_size=SIZE, boxes=dot_boxes(), classes=["car", "ped"], **kw)
    text = out.read_text(encoding="utf-8")
    engine = read_recording_document(text)
    absolute = None if window is None else (T0 + window[0], T0 + window[0] + window[1])
    reference = rr.build_document(ev, SIZE, window=absolute, boxes=dot_boxes(), classes=["car", "ped"])
    assert images_decoded(engine) == images_decoded(reference)


# ---------------------------------------------------------------- what the eye meets (boxes and contrast)

def luminance(css_colour):
    """WCAG relative luminance of a computed "rgb(r, g, b)"."""
    r, g, b = (float(v) / 255 for v in re.findall(r"[\d.]+", css_colour)[:3])
    lin = [c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4 for c in (r, g, b)]
    return 0.2126 * lin[0] + 0.7152 * lin[1] + 0.0722 * lin[2]


def contrast(a, b):
    la, lb = sorted((luminance(a), luminance(b)), reverse=True)
    return (la + 0.05) / (lb + 0.05)


def inside(inner, outer, slack=0.5):
    return (inner["x"] >= outer["x"] - slack and inner["y"] >= outer["y"] - slack
            and inner["x"] + inner["width"] <= outer["x"] + outer["width"] + slack
            and inner["y"] + inner["height"] <= outer["y"] + outer["height"] + slack)


@pytest.mark.parametrize("theme", ["light", "dark"])
def test_rows_over_time_has_a_legend_whose_single_event_reads_faint(page_probe, tmp_path, theme):
    path = write(tmp_path, rr.build_document(busy_events(), (64, 32)))
    page = open_ready(page_probe, path)
    page.evaluate("t => document.documentElement.setAttribute('data-theme', t)", theme)
    page.evaluate("window.dispatchEvent(new Event('resize'))")
    page.wait_for_timeout(100)
    busiest = int(page.inner_text("#raster-info").rsplit("busiest cell ", 1)[1].replace(",", ""))
    assert page.inner_text("#raster-top-label") == f"{busiest} events" and busiest > 5
    head = page.locator("#raster-panel .panel-head").bounding_box()
    for part in ("#raster-one", "#raster-ramp", "#raster-top"):
        box = page.locator(part).bounding_box()
        assert box and box["width"] >= 8 and inside(box, head), part
    colour = lambda sel: page.evaluate(f"getComputedStyle(document.querySelector('{sel}')).backgroundColor")
    bg = page.evaluate("getComputedStyle(document.documentElement).getPropertyValue('--plot-bg')")
    bg = "rgb({}, {}, {})".format(*(int(bg.strip()[i:i + 2], 16) for i in (1, 3, 5)))
    one, top = contrast(colour("#raster-one"), bg), contrast(colour("#raster-top"), bg)
    # one event is seen, but well below the busiest cell
    assert 1.1 < one and top > 3 and one < top / 2.5, (one, top)
    if theme == "light":
        assert luminance(colour("#raster-one")) > luminance(colour("#raster-top")) + 0.3
    assert_clean(page_probe, path)


@pytest.mark.parametrize("size", [(34, 34), (78, 42), (640, 480)])
def test_event_count_map_of_a_small_sensor_fills_its_panel_at_a_whole_zoom(page_probe, tmp_path, size):
    rng = np.random.default_rng(5)
    ev = np.zeros(3000, EVENT)
    ev["x"], ev["y"] = rng.integers(0, size[0], 3000), rng.integers(0, size[1], 3000)
    ev["t"], ev["p"] = np.sort(rng.integers(0, 200_000, 3000)), 1
    page = open_ready(page_probe, write(tmp_path, rr.build_document(ev, size)))
    stage = page.locator(".heat-stage").bounding_box()
    box = page.locator("#heatmap").bounding_box()
    zoom = box["width"] / size[0]
    assert inside(box, stage) and page.evaluate("getComputedStyle(heatmap).imageRendering") in ("pixelated", "crisp-edges")
    if size[0] * 2 <= stage["width"]:
        # whole pixels, as large as the panel's width (or 480 px of height) allows
        assert zoom == int(zoom) >= 2 and box["height"] == size[1] * zoom
        assert (zoom + 1) * size[0] > stage["width"] or (zoom + 1) * size[1] > 480
    else:
        assert box["width"] <= stage["width"] + 0.5  # a large sensor is shrunk to fit


@pytest.mark.parametrize("columns", [(), ("confidence",), ("confidence", "track_id")])
def test_box_table_columns_fit_their_panel(page_probe, tmp_path, columns):
    b = np.zeros(4, [("t", "<i8"), ("x", "<f4"), ("y", "<f4"), ("w", "<f4"), ("h", "<f4"), ("class_id", "<u4")]
                 + [(c, "<f4" if c == "confidence" else "<i4") for c in columns])
    b["t"] = T0 + np.array([10_000, 50_000, 90_000, 130_000])
    b["x"], b["y"], b["w"], b["h"], b["class_id"] = [83.25, 1234.5, 7, 0.125], 16.75, 123.4, 98.5, [0, 1, 0, 1]
    for c in columns:
        b[c] = [0.93, 0.5, 0.25, 1] if c == "confidence" else [3, 14, 159, 2653]
    page = open_ready(page_probe, write(tmp_path, rr.build_document(moving_dot(), SIZE, boxes=b,
                                                                   classes=["pedestrian", "two-wheeler"])))
    wrap = page.locator("#boxes-panel .table-wrap")
    scroll_width, client_width = wrap.evaluate("w => [w.scrollWidth, w.clientWidth]")
    # Without scores and tracks the columns fit the side panel; with both they may scroll,
    # header and all: scrolled to its end, the last column shows whole under its header.
    assert scroll_width <= client_width or len(columns) == 2, "a column is cut off to the right"
    wrap.evaluate("w => { w.scrollLeft = w.scrollWidth; }")
    room = wrap.bounding_box()
    shown = page.locator("#box-list th:visible")
    first = page.locator("#box-list tbody tr").first.locator("td:visible").all()
    assert shown.count() == len(first) == 3 + len(columns)
    assert inside(shown.last.bounding_box(), room) and inside(first[-1].bounding_box(), room)
    for th, td in zip(shown.all(), first):  # the header stands over its column
        assert abs(th.bounding_box()["x"] - td.bounding_box()["x"]) < 0.5
    if scroll_width <= client_width:
        for cell in shown.all() + first:
            assert inside(cell.bounding_box(), room)
    assert first[2].text_content() == "83.25,\u00a016.75 · 123.4×98.5"


# ---------------------------------------------------------------- the page's box budget

def _page_sets(n_times, per_time, seed=3):
    """Labels and predictions at `n_times` label times; a few predictions at other times."""
    rng = np.random.default_rng(seed)
    box = [("t", "<i8"), ("x", "<f8"), ("y", "<f8"), ("w", "<f8"), ("h", "<f8"), ("class_id", "<i4")]
    times = np.arange(n_times) * 1000 + 500
    truth = np.zeros(n_times * per_time, box)
    truth["t"] = np.repeat(times, per_time)
    truth["x"], truth["y"] = rng.uniform(0, 60, len(truth)), rng.uniform(0, 40, len(truth))
    truth["w"], truth["h"], truth["class_id"] = 6.5, 7.25, rng.integers(0, 3, len(truth))
    pred = np.zeros(len(truth), box + [("confidence", "<f4")])
    for f, _ in box:
        pred[f] = truth[f]
    pred["x"] += rng.normal(0, 2, len(pred))
    pred["t"][::7] += 1  # not at a label time
    pred["confidence"] = rng.random(len(pred))
    return truth, pred


@pytest.mark.parametrize("n_times, per_time, max_mb, thinned", [
    (40, 3, 1.0, False),       # fits: every box of the window, no note
    (4000, 3, 0.6, True),      # beyond: every k-th label time
    (3, 8000, 0.6, True),      # a few times hold them all: every k-th box
])
def test_page_boxes_keep_within_their_share_and_say_what_they_left_out(tmp_path, n_times, per_time, max_mb, thinned):
    from zelq.viz import export_recording_html, score_boxes
    from zelq.viz.pagefiles import comment_json
    from zelq.viz.recording_page.box_budget import BOX_SHARE
    truth, pred = _page_sets(n_times, per_time)
    in_order = pred[np.argsort(pred["t"], kind="stable")]  # the page's boxes come in time order
    ev = np.zeros(2000, EVENT)
    ev["t"] = np.linspace(0, n_times * 1000, len(ev)).astype(np.int64)
    ev["x"], ev["y"] = np.arange(len(ev)) % 64, np.arange(len(ev)) % 48
    path = tmp_path / "r.html"
    export_recording_html(ev, path, boxes=truth, predictions=pred, max_page_mb=max_mb)
    doc = read_recording_document(path.read_text(encoding="utf-8"))
    boxes, scores, notes = doc["boxes"], doc["scores"], doc["source"]["warnings"]
    held_truth, held_pred = np.array(boxes["labels"]["t"]), np.array(boxes["predictions"]["t"])
    assert ("left_out" in boxes) == thinned == any(n.startswith("boxes:") for n in notes)
    if not thinned:
        assert len(held_truth) == len(truth) and len(held_pred) == len(pred)
        return
    assert len(comment_json({k: boxes[k] for k in ("labels", "predictions")})) <= BOX_SHARE * max_mb * 1e6
    held, total = len(held_truth) + len(held_pred), len(truth) + len(pred)
    assert boxes["left_out"]["held"] == held < total == boxes["left_out"]["total"]
    assert f"the page holds {held:,} of {total:,}" in " ".join(notes)
    # The rows kept, found again from the input: whole label times evenly spaced, or every k-th box.
    step = boxes["left_out"]["step"]
    if boxes["left_out"]["by"] == "time":
        times = np.union1d(truth["t"], pred["t"])[::step]
        want_truth, want_pred = np.isin(truth["t"], times), np.isin(in_order["t"], times)
    else:
        want_truth, want_pred = np.arange(len(truth)) % step == 0, np.arange(len(pred)) % step == 0
    np.testing.assert_array_equal(held_truth, truth["t"][want_truth])
    np.testing.assert_array_equal(boxes["predictions"]["x"], in_order["x"][want_pred])
    # Scores count every box; the page's flags are those of the boxes it holds.
    full = score_boxes(truth, pred)
    assert scores["all"] == full["all"]
    assert len(scores["labels"]) == len(held_truth) and len(scores["predictions"]) == len(held_pred)
