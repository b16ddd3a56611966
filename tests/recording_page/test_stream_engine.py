"""The streaming recording engine against NumPy transcriptions of the recording document's rules:
timeline, heat map, hot pixels, frames, overview and raster of the page; the frame iterator's
decay, tone curve and palette; cut-short files; the page budget; memory on a file larger
than the address-space limit."""
import base64
import errno
import io
import json
import math
import os
import re
import stat
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import numpy as np
from tests.support import summary_standin
import pytest
from PIL import Image

from tests.support import writers
from tests.support.paths import shared_recording
from zelq.viz import pagefiles, read_events
from zelq.viz.recordings import RecordingError, RecordingWarning
from zelq.viz._palettes import PALETTES
from zelq.viz.recording_page import read_recording_document
from zelq.viz.stream import export_recording_html, recording_frames, summarize_recording

from tests.support.decoders import EVENT_DTYPE as RECORD


# ---------------------------------------------------------------- oracles

def document(path):
    return read_recording_document(Path(path).read_text(encoding="utf-8"))


def png(text):
    return np.asarray(Image.open(io.BytesIO(base64.b64decode(text))).convert("RGB"))


def level(c):
    return np.minimum(255, np.ceil(16 * np.log2(1 + c.astype(np.float64))))


def per_pixel(ev, w, h, weights=None):
    """(on, off) counts per pixel, (h, w)."""
    on = ev["p"] > 0
    flat = ev["y"].astype(np.int64) * w + ev["x"]
    return (np.bincount(flat[on], minlength=w * h).reshape(h, w),
            np.bincount(flat[~on], minlength=w * h).reshape(h, w))


def frame_counts(ev, w, h, start, period, n):
    """(n, h, w, 2) counts per frame [start + k period, ...), ON in channel 0."""
    k = (ev["t"] - start) // period
    keep = (ev["t"] >= start) & (k < n)
    idx = ((k[keep] * h + ev["y"][keep]) * w + ev["x"][keep]) * 2 + (ev["p"][keep] <= 0)
    return np.bincount(idx, minlength=n * h * w * 2).reshape(n, h, w, 2)


def check_document(doc, ev, w, h, period, decay, t_first=None):
    """Every part of a page's document against the rules; `ev` holds at least every event of the
    decoded span [t0, t1) and of the lead-in before it, time-sorted."""
    t0 = doc["timeline"]["start"]
    t1 = doc["window"]["end"] if doc["window"] else int(ev["t"][-1]) + 1
    t_first = int(ev["t"][0]) if t_first is None else t_first
    inside = ev[(ev["t"] >= t0) & (ev["t"] < t1)]
    span, off, on = t1 - t0, inside["t"] - t0, inside["p"] > 0
    assert doc["source"]["event_count"] == len(inside)
    assert doc["source"]["on_count"] == int(np.count_nonzero(on))

    tl = doc["timeline"]
    b = max(1, span // 2000)
    assert tl["bin_us"] == b
    for key, sel in (("on", on), ("off", ~on)):
        got = np.frombuffer(base64.b64decode(tl[key]), "<u4")
        assert np.array_equal(got, np.bincount(off[sel] // b, minlength=-(-span // b)))

    pon, poff = per_pixel(inside, w, h)
    heat = png(doc["heatmap"]["png"])
    assert np.array_equal(heat[..., 0], level(poff)) and np.array_equal(heat[..., 1], level(pon))
    assert not heat[..., 2].any() and doc["heatmap"]["max"] == int((pon + poff).max())
    total = (pon + poff).ravel()
    hot_idx = np.flatnonzero(summary_standin.local_hot((pon + poff).reshape(h, w)))
    hot = hot_idx[np.lexsort((hot_idx, -total[hot_idx]))][:32]
    assert doc["hot_pixels"]["pixels"] == [[i % w, i // w, pon.flat[i], poff.flat[i]] for i in hot]

    fr = doc["frames"]
    assert fr["period_us"] == period
    for seg in fr["segments"]:
        images = np.array([png(t) for t in seg["images"]])
        want = np.minimum(frame_counts(ev, w, h, seg["start"], period, len(images)), 255)
        assert np.array_equal(images[..., 1], want[..., 0]) and np.array_equal(images[..., 0], want[..., 1])
        shown = seg["start"] + seg["lead"] * period
        lead = 0 if shown <= t_first else min(math.ceil(3 * decay / period), -(-(shown - t_first) // period))
        assert seg["lead"] == lead
    for (a, z), seg in zip(doc["budget"]["full_rate"], fr["segments"]):
        assert a == seg["start"] + seg["lead"] * period and z == seg["start"] + len(seg["images"]) * period

    r = doc["raster"]
    r_bin = -(-span // min(500, span))
    assert (r["bin_us"], r["bins"]) == (r_bin, -(-span // r_bin))
    counts = np.frombuffer(base64.b64decode(r["counts"]), "<u2").reshape(h, r["bins"])
    want = np.bincount(inside["y"].astype(np.int64) * r["bins"] + off // r_bin, minlength=h * r["bins"])
    assert np.array_equal(counts.ravel(), np.minimum(want, 65535))

    ov = doc["overview"]
    if ov is not None:
        s = ov["scale"]
        assert s == max(1, -(-w // 320)) and (ov["width"], ov["height"]) == (-(-w // s), -(-h // s))
        n_frames = -(-span // period)
        step = ov["period_us"] // period
        assert ov["period_us"] % (period * max(1, 1_000_000 // period)) == 0 and len(ov["images"]) == -(-n_frames // step)
        counts = frame_counts(inside, w, h, t0, period, n_frames).astype(np.float64)
        pad = np.zeros((n_frames, ov["height"] * s, ov["width"] * s, 2))
        pad[:, :h, :w] = np.minimum(counts, 255)
        pooled = pad.reshape(n_frames, ov["height"], s, ov["width"], s, 2).sum(axis=(2, 4))
        a = math.exp(-period / decay)
        surface, samples = np.zeros(pooled.shape[1:]), []
        for j in range(n_frames):
            surface = a * surface + pooled[j]
            if j % step == 0:
                samples.append(surface)
        for text, S in zip(ov["images"], samples):
            image = png(text)
            for channel, pol in ((1, 0), (0, 1)):
                exact = np.minimum(255, 16 * S[..., pol] + 0.5)
                assert np.all((image[..., channel] <= exact + 1e-6) & (image[..., channel] > exact - 1 - 1e-6))


def scene(seed=0, w=40, h=30, span=300_000, noise=3000, t0=1_000_000):
    """A dot crossing the sensor plus uniform noise, time-sorted."""
    rng = np.random.default_rng(seed)
    t_dot = np.arange(t0, t0 + span, 100)
    dot = np.zeros(len(t_dot), RECORD)
    dot["t"] = t_dot
    dot["x"] = ((t_dot - t0) * (w - 1) // span).astype(np.int16)
    dot["y"] = h // 2
    dot["p"] = 1
    rnd = np.zeros(noise, RECORD)
    rnd["t"] = rng.integers(t0, t0 + span, noise)
    rnd["x"], rnd["y"] = rng.integers(0, w, noise), rng.integers(0, h, noise)
    rnd["p"] = rng.choice([-1, 1], noise)
    ev = np.concatenate([dot, rnd])
    return ev[np.argsort(ev["t"], kind="stable")]


# ---------------------------------------------------------------- the page

@pytest.mark.parametrize("windows, shuffled", [(None, False), (None, True), ([(50_000, 90_000), (200_000, 230_000)], False)])
def test_page_of_an_event_array_follows_the_rules(tmp_path, windows, shuffled):
    ev = scene()
    given = ev[np.random.default_rng(1).permutation(len(ev))] if shuffled else ev
    out = export_recording_html(given, tmp_path / "p.html", sensor_size=(40, 30), frame_period=10_000, decay=20_000,
                                windows=windows, title="</script><b>")
    doc = document(out)
    check_document(doc, ev, 40, 30, 10_000, 20_000)
    assert doc["source"]["t_first"] == ev["t"][0] and doc["source"]["t_last"] == ev["t"][-1]
    segments = doc["frames"]["segments"]
    if windows is None:
        assert len(segments) == 1 and segments[0]["lead"] == 0 and doc["overview"] is None
        assert doc["budget"]["left_out"] == "" and doc["budget"]["full_rate"] == [[ev["t"][0], ev["t"][0] + 300_000]]
    else:
        shown = [(a - ev["t"][0], b - ev["t"][0]) for a, b in doc["budget"]["full_rate"]]
        assert shown == windows and [s["lead"] for s in segments] == [5, 6] and doc["overview"] is not None
    assert doc["budget"]["bytes"] == os.path.getsize(out) and "</script><b>" not in Path(out).read_text()


@pytest.mark.parametrize("noise", [3_000, 400_000])
def test_hd_frames_sparse_or_dense_follow_the_rules(tmp_path, noise):
    # HD frames are megabytes: sparse ones are deflated in one block across their zero spans
    ev = scene(w=1280, h=720, span=60_000, noise=noise)
    out = export_recording_html(ev, tmp_path / "p.html", sensor_size=(1280, 720), frame_period=10_000)
    check_document(document(out), ev, 1280, 720, 10_000, 30_000)


@pytest.mark.parametrize("name", ["sample_evt3.raw", "sample_ncars.dat", "sample_nmnist.bin"])
def test_page_of_each_shared_recording_follows_the_rules(tmp_path, name):
    path = shared_recording(name)
    ev = read_events(path)
    w, h = int(ev["x"].max()) + 1, int(ev["y"].max()) + 1
    umask = os.umask(0o022)
    os.umask(umask)
    out = export_recording_html(path, tmp_path / "p.html", sensor_size=(w, h), max_page_mb=0.5)
    check_document(document(out), ev, w, h, 20_000, 30_000)
    # as readable as any file the user writes (not a private temporary file's mode)
    assert stat.S_IMODE(os.stat(out).st_mode) == 0o666 & ~umask
    assert os.listdir(tmp_path) == ["p.html"]


def test_a_small_budget_keeps_the_page_within_it_and_overviews_the_rest(tmp_path):
    ev = scene(w=120, h=90, span=4_000_000, noise=200_000)
    out = export_recording_html(ev, tmp_path / "p.html", sensor_size=(120, 90), frame_period=5_000, max_page_mb=0.5)
    doc = document(out)
    size = os.path.getsize(out)
    assert doc["budget"]["bytes"] == size <= 500_000 and doc["budget"]["max_bytes"] == 500_000
    assert doc["overview"] is not None and doc["overview"]["period_us"] <= 1_000_000 and doc["budget"]["left_out"]
    assert doc["budget"]["full_rate"][0][1] < ev["t"][-1]
    check_document(doc, ev, 120, 90, 5_000, 30_000)


def quiet_then_busy(w=64, h=48, seconds=20, busy=1_000_000, seed=0):
    """A slow dot for the whole span, and dense noise over its second half only."""
    rng = np.random.default_rng(seed)
    span = seconds * 1_000_000
    t_dot = np.arange(0, span, 2_000)
    dot = np.zeros(len(t_dot), RECORD)
    dot["t"], dot["x"], dot["y"], dot["p"] = t_dot, t_dot * (w - 1) // span, h // 2, 1
    noise = np.zeros(busy, RECORD)
    noise["t"] = rng.integers(span // 2, span, busy)
    noise["x"], noise["y"], noise["p"] = rng.integers(0, w, busy), rng.integers(0, h, busy), rng.choice([-1, 1], busy)
    ev = np.concatenate([dot, noise])
    return ev[np.argsort(ev["t"], kind="stable")]


def test_an_overview_across_quiet_seconds_repeats_its_blank_image_until_events_return(tmp_path):
    # The surface fades over the first quiet seconds, then is blank: the images from there
    # repeat that one, and the burst after the quiet shows again.
    ev = np.concatenate([scene(3, 64, 48, 400_000, 500, 1_000_000), scene(4, 64, 48, 300_000, 500, 9_000_000)])
    doc = document(export_recording_html(ev, tmp_path / "p.html", sensor_size=(64, 48), max_page_mb=0.3, decay=500_000))
    images = doc["overview"]["images"]
    assert doc["overview"]["period_us"] == 1_000_000 and len(images) == 9
    assert png(images[3]).any() and len(set(images[6:8])) == 1 and not png(images[6]).any() and png(images[8]).any()
    check_document(doc, ev, 64, 48, 20_000, 500_000)


@pytest.mark.parametrize("max_page_mb", [0.35, 0.45])
def test_an_overview_denser_than_its_start_keeps_one_image_a_second_and_the_budget(tmp_path, max_page_mb):
    # The quiet start lets frames take most of the budget; the busy half's overview images
    # then need more than was left them, and the last frames give way.
    ev = quiet_then_busy()
    out = export_recording_html(ev, tmp_path / "p.html", sensor_size=(64, 48), max_page_mb=max_page_mb)
    doc = document(out)
    assert doc["budget"]["bytes"] == os.path.getsize(out) <= max_page_mb * 1e6
    assert doc["overview"]["period_us"] == 1_000_000 and len(doc["overview"]["images"]) == 20
    assert 0 < doc["budget"]["full_rate"][0][1] < 20_000_000
    check_document(doc, ev, 64, 48, 20_000, 30_000)


def _copy_nothing(*args):
    raise OSError(errno.EXDEV, "cross-device link")


def _copy_a_little_then_nothing(src, dst, count, offset_src, offset_dst):
    if offset_dst > 200_000:
        _copy_nothing()
    return os.copy_file_range(src, dst, min(count, 4097), offset_src, offset_dst)


@pytest.mark.skipif(not hasattr(os, "copy_file_range"), reason="the kernel's copy is Linux's")
@pytest.mark.parametrize("copy", [None, _copy_nothing, _copy_a_little_then_nothing])
def test_frames_reach_the_page_whether_the_kernel_copies_them_or_not(tmp_path, monkeypatch, copy):
    # Blocks of frames are copied from the spool by the kernel; where it cannot (another file
    # system, another system), or stops part way, they are read and written by Python instead.
    ev = scene(w=120, h=90, span=2_000_000, noise=100_000)
    kernel = export_recording_html(ev, tmp_path / "kernel.html", sensor_size=(120, 90), frame_period=5_000,
                                   max_page_mb=0.6)
    if copy is None:
        monkeypatch.delattr(os, "copy_file_range")
    else:
        monkeypatch.setattr(os, "copy_file_range", copy)
    other = export_recording_html(ev, tmp_path / "other.html", sensor_size=(120, 90), frame_period=5_000,
                                  max_page_mb=0.6)
    assert Path(other).read_bytes() == Path(kernel).read_bytes()
    check_document(document(other), ev, 120, 90, 5_000, 30_000)


def test_a_spool_that_holds_bytes_is_emptied_before_frames_go_in(tmp_path, monkeypatch):
    # Spools are opened without truncation (ext4 writes a truncated file back as it closes),
    # but one that holds bytes, as one rewritten by a second pass does, starts empty.
    ev = scene(w=120, h=90, span=1_000_000)
    clean = export_recording_html(ev, tmp_path / "clean.html", sensor_size=(120, 90), frame_period=5_000)
    made, spools = pagefiles.beside, []

    def beside_holding_junk(target, suffix):
        path = made(target, suffix)
        Path(path).write_bytes(b"\0" * 3_000_000)
        return path

    def remove_and_keep(path):
        if str(path).endswith(".frames"):
            spools.append(Path(path).read_bytes())
        os.unlink(path)

    monkeypatch.setattr(pagefiles, "beside", beside_holding_junk)
    monkeypatch.setattr(pagefiles, "remove", remove_and_keep)
    junk = export_recording_html(ev, tmp_path / "junk.html", sensor_size=(120, 90), frame_period=5_000)
    assert Path(junk).read_bytes() == Path(clean).read_bytes()
    assert spools and all(b"\0" not in s and s.startswith(b" ") for s in spools)


def test_a_budget_too_small_for_the_summary_is_said(tmp_path):
    with pytest.warns(RecordingWarning, match="over its budget of 10,000"):
        out = export_recording_html(scene(), tmp_path / "p.html", max_page_mb=0.01)
    doc = document(out)
    assert doc["budget"]["bytes"] == os.path.getsize(out) > 10_000 and doc["frames"]["segments"] == []


def test_window_page_knows_its_place(tmp_path):
    ev = scene()
    out = export_recording_html(ev, tmp_path / "p.html", start=100_000, duration=50_000, frame_period=10_000)
    doc = document(out)
    t0 = ev["t"][0] + 100_000
    assert doc["window"] == {"start": t0, "end": t0 + 50_000}
    assert (doc["source"]["t_first"], doc["source"]["t_last"]) == (ev["t"][0], ev["t"][-1])
    [segment] = doc["frames"]["segments"]
    assert segment["lead"] == 9 and segment["start"] == t0 - 90_000 and len(segment["images"]) == 9 + 5
    check_document(doc, ev, 40, 30, 10_000, 30_000)
    with pytest.raises(ValueError, match="no events in the time window"):
        export_recording_html(ev, tmp_path / "q.html", start=10 ** 9)
    assert not (tmp_path / "q.html").exists() and sorted(os.listdir(tmp_path)) == ["p.html"]


def test_events_outside_the_sensor_are_refused_or_dropped_as_the_readers_do(tmp_path):
    ev = scene()
    outside = ev[ev["x"] >= 20]
    first = f"x={outside['x'][0]}, y={outside['y'][0]}, t={outside['t'][0]}"
    with pytest.raises(ValueError, match=rf"{len(outside):,} events outside the 20 × 30 sensor given; the first: {first}"):
        export_recording_html(ev, tmp_path / "p.html", sensor_size=(20, 30))
    assert os.listdir(tmp_path) == []
    # A file whose header declares a smaller sensor than its events reach: refused natively, or dropped.
    path = writers.write(tmp_path / "g.raw", ev, "evt3", geometry=(20, 30))
    with pytest.raises(RecordingError, match=rf"{path}: {len(outside):,} events outside the 20 × 30 sensor its header"):
        export_recording_html(path, tmp_path / "p.html")
    with pytest.raises(RecordingError, match="outside the 20 × 30 sensor"):
        summarize_recording(path)
    with pytest.raises(RecordingError, match="outside the 20 × 30 sensor"):
        list(recording_frames(path))
    with pytest.warns(RecordingWarning, match=rf"dropped {len(outside):,} events outside .* \(the first: {first}\)"):
        doc = document(export_recording_html(path, tmp_path / "p.html", outside="drop", frame_period=10_000))
    assert doc["source"]["dropped"] == len(outside) and len(doc["source"]["warnings"]) == 1
    check_document(doc, ev[ev["x"] < 20], 20, 30, 10_000, 30_000)
    with pytest.warns(RecordingWarning, match="dropped"):
        assert summarize_recording(path, outside="drop")["event_count"] == len(ev) - len(outside)


# ---------------------------------------------------------------- frames for video

@pytest.mark.parametrize("gain, palette, background, scale", [(1.0, "blue-red", "dark", 1),
                                                              (2.5, "okabe-ito", "light", 2)])
def test_frames_follow_the_decay_tone_curve_and_palette(gain, palette, background, scale):
    ev = scene(span=120_000, noise=1500)
    frames = list(recording_frames(ev, frame_period=8_000, decay=12_000, gain=gain, palette=palette,
                                   background=background, scale=scale))
    n = int((ev["t"][-1] - ev["t"][0]) // 8_000 + 1)
    counts = np.minimum(frame_counts(ev, 40, 30, ev["t"][0], 8_000, n), 255).astype(np.float64)
    colours = {k: np.array(v, np.float64) for k, v in PALETTES[palette][background].items()}
    a, S = math.exp(-8_000 / 12_000), np.zeros((30, 40, 2))
    assert [t for t, _ in frames] == [ev["t"][0] + k * 8_000 for k in range(n)]
    for k, (_, image) in enumerate(frames):
        S = a * S + counts[k]
        lv = 1 - np.exp(-S / gain)
        bg = colours["background"]
        want = bg + lv[..., :1] * (colours["on"] - bg) + lv[..., 1:] * (colours["off"] - bg)
        want = np.floor(np.clip(want, 0, 255) + 0.5).astype(np.uint8).repeat(scale, 0).repeat(scale, 1)
        assert image.dtype == np.uint8 and np.array_equal(image, want), k


def test_frames_of_a_file_match_those_of_its_events():
    path = shared_recording("sample_evt3.raw")
    from_file = list(recording_frames(path, start=50_000, duration=100_000))
    from_array = list(recording_frames(read_events(path), start=50_000, duration=100_000))
    assert len(from_file) == len(from_array) >= 4
    for (ta, a), (tb, b) in zip(from_file, from_array):
        assert ta == tb and np.array_equal(a, b)


@pytest.mark.parametrize("fmt", ["evt3", "evt21", "dat"])
def test_a_late_window_of_a_long_file_is_that_of_its_events(tmp_path, fmt):
    ev = scene(span=40_000_000, noise=20_000)  # EVT 3's 24-bit clock wraps twice: the index must count it
    path = writers.write(tmp_path / f"s{writers.SUFFIX[fmt]}", ev, fmt, geometry=(40, 30))
    window = dict(start=35_000_000, duration=200_000, frame_period=10_000)
    from_file = list(recording_frames(path, **window))
    from_array = list(recording_frames(ev, **window))
    assert len(from_file) == len(from_array) == 20
    assert all(ta == tb and np.array_equal(a, b) for (ta, a), (tb, b) in zip(from_file, from_array))
    check_document(document(export_recording_html(path, tmp_path / "p.html", **window)), ev, 40, 30, 10_000, 30_000)


@pytest.mark.parametrize("fmt", ["evt3", "dat"])
def test_a_window_over_times_that_go_backwards_warns_and_is_that_of_the_sorted_events(tmp_path, fmt):
    ev = scene(span=3_000_000, noise=6000)
    mid = int(np.searchsorted(ev["t"], ev["t"][0] + 1_200_000))
    ev["t"][mid] -= 150_000               # late inside the window: it belongs to an earlier frame
    ev["t"][mid + 1] = ev["t"][0] - 5000  # before the first event: the window's anchor moves
    path = writers.write(tmp_path / f"s{writers.SUFFIX[fmt]}", ev, fmt, geometry=(40, 30))
    window = dict(start=1_000_000, duration=400_000, frame_period=10_000)
    with pytest.warns(RecordingWarning, match=rf"{path.name}: times go backwards at byte \d+; the window is taken "
                                              "from a read of the whole file"):
        from_file = document(export_recording_html(path, tmp_path / "f.html", **window))
    from_array = document(export_recording_html(ev, tmp_path / "a.html", **window))
    for key in ("window", "timeline", "heatmap", "hot_pixels", "frames", "overview", "raster"):
        assert from_file[key] == from_array[key], key
    assert from_file["source"]["t_first"] == from_array["source"]["t_first"] == int(ev["t"].min())
    check_document(from_file, np.sort(ev, order="t", kind="stable"), 40, 30, 10_000, 30_000)


@pytest.mark.parametrize("window", [{}, dict(start=1_000_000, duration=400_000)])
def test_frames_over_times_that_go_backwards_warn_once(tmp_path, window):
    ev = scene(span=3_000_000, noise=6000)
    ev["t"][int(np.searchsorted(ev["t"], ev["t"][0] + 1_200_000))] -= 150_000  # inside the window
    path = writers.write(tmp_path / "s.raw", ev, "evt3", geometry=(40, 30))
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        frames = list(recording_frames(path, frame_period=10_000, **window))
    said = [str(w.message) for w in seen if issubclass(w.category, RecordingWarning)]
    assert frames and len(said) == 1 and re.search(rf"{path.name}: times go backwards at byte \d+", said[0]), said


@pytest.mark.parametrize("crowded", [600, 70_000])  # 70,000: more than a frame keeps as events
def test_pixel_counts_hold_what_frame_images_clip_or_must_not_count(tmp_path, crowded):
    # Full-rate frames reach the pixel counts through their images: a pixel past 255 events in a
    # frame, and an event from before the page's start counted in a frame, must still come out right.
    ev = scene(noise=3000)
    crowd = np.zeros(crowded, RECORD)
    crowd["t"], crowd["x"], crowd["y"], crowd["p"] = ev["t"][100], 5, 7, 1
    ev = np.sort(np.concatenate([ev, crowd]), order="t", kind="stable")
    ev["t"][len(ev) // 2] = ev["t"][0] - 1000  # before the first event in file order
    path = writers.write(tmp_path / "s.dat", ev, "dat", geometry=(40, 30))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        doc = document(export_recording_html(path, tmp_path / "p.html"))
    inside = ev[ev["t"] >= doc["timeline"]["start"]]
    assert doc["timeline"]["start"] == ev["t"][0] and doc["source"]["event_count"] == len(inside) == len(ev) - 1
    on, off = per_pixel(inside, 40, 30)
    heat = png(doc["heatmap"]["png"])
    assert np.array_equal(heat[..., 1], level(on)) and np.array_equal(heat[..., 0], level(off))
    assert doc["heatmap"]["max"] == int((on + off).max()) >= crowded
    assert doc["hot_pixels"]["pixels"][0] == [5, 7, int(on[7, 5]), int(off[7, 5])]


def test_a_frame_of_more_events_than_it_keeps_follows_the_rules(tmp_path):
    # A frame of more events than its image has pixels fills its image as it is counted, and
    # what its pixels clip is tallied in runs; frames, counts and overview must not show it.
    rng = np.random.default_rng(3)
    w, h, t0 = 16, 8, 1_000_000
    crowd = np.zeros(300_000, RECORD)
    crowd["t"] = rng.integers(t0 + 100_000, t0 + 110_000, len(crowd))
    crowd["x"], crowd["y"] = rng.integers(0, w, len(crowd)), rng.integers(0, h, len(crowd))
    crowd["p"] = rng.choice([-1, 1], len(crowd))
    ev = np.sort(np.concatenate([scene(w=w, h=h, noise=2000, t0=t0), crowd]), order="t", kind="stable")
    out = export_recording_html(ev, tmp_path / "p.html", sensor_size=(w, h), frame_period=10_000,
                                windows=[(80_000, 150_000)])
    doc = document(out)
    assert doc["overview"] is not None and doc["budget"]["full_rate"] == [[t0 + 80_000, t0 + 150_000]]
    check_document(doc, ev, w, h, 10_000, 30_000)


def test_a_frame_of_few_events_folds_as_a_crowded_one_does(tmp_path):
    # A frame of few events folds into the overview from its sorted events, a crowded one from
    # its image on a worker. Cells far from the crowd meet the same arithmetic either way (several
    # pixels a cell, a pixel past 255 events, lead-in frames that do not fold): their overview and
    # frame pixels must be the same. The overview image of frame 100 still shows frames 95 to 99
    # (a decay of one frame period).
    rng = np.random.default_rng(7)
    w, h, period = 700, 9, 10_000  # overview cells of 3 x 3 pixels
    t0 = 1_100_000  # the page's start; its events from 1,000,000
    ev = np.zeros(3300, RECORD)
    ev["t"] = np.sort(np.concatenate([[1_000_000], rng.integers(t0 - 100_000, t0 + 1_200_000, 2999),
                                      np.full(300, t0 + 955_000)]))
    ev["x"], ev["y"] = rng.integers(0, 60, len(ev)), rng.integers(0, h, len(ev))
    ev["p"] = rng.choice([-1, 1], len(ev))
    hot = ev["t"] == t0 + 955_000  # one pixel past 255 events in frame 95
    ev["x"][hot], ev["y"][hot], ev["p"][hot] = 4, 4, 1
    crowd = np.zeros(11 * 17_000, RECORD)  # frames 90 to 100 crowded, far to the right
    crowd["t"] = rng.integers(t0 + 900_000, t0 + 1_010_000, len(crowd))
    crowd["x"], crowd["y"], crowd["p"] = rng.integers(600, w, len(crowd)), rng.integers(0, h, len(crowd)), 1
    both = np.concatenate([ev, crowd])
    docs = []
    for events in (ev, both[np.argsort(both["t"], kind="stable")]):
        out = export_recording_html(events, tmp_path / "p.html", frame_period=period, decay=period, sensor_size=(w, h),
                                    start=t0 - 1_000_000, duration=1_200_000, windows=[(0, 1_100_000)])
        docs.append(document(out))
    few, crowded = docs
    assert few["timeline"]["start"] == t0 and few["frames"]["segments"][0]["lead"] > 0
    assert few["overview"]["period_us"] == 100 * period and len(few["overview"]["images"]) == 2
    shown = png(few["overview"]["images"][1])[:, :20]
    assert 0 < shown[1, 1, 1] < 255  # the clipped pixel's cell, neither gone nor saturated
    assert np.array_equal(shown, png(crowded["overview"]["images"][1])[:, :20])
    (a,), (b,) = few["frames"]["segments"], crowded["frames"]["segments"]
    assert len(a["images"]) == len(b["images"]) > 100
    assert all(np.array_equal(png(x)[:, :60], png(y)[:, :60]) for x, y in zip(a["images"], b["images"]))


# ---------------------------------------------------------------- damaged files and summaries

@pytest.mark.parametrize("name", ["sample_evt3.raw", "sample_evt2.raw", "sample_ncars.dat"])
def test_a_recording_cut_short_gives_the_events_before_the_cut(tmp_path, name):
    data = shared_recording(name).read_bytes()
    damaged = tmp_path / ("cut" + Path(name).suffix)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RecordingWarning)
        for length in range(len(data) * 2 // 3, 0, -1):  # the longest prefix of whole words, read whole
            damaged.write_bytes(data[:length])
            try:
                ev = read_events(damaged)
                break
            except (ValueError, RecordingWarning):
                continue
    damaged.write_bytes(data[:length + 1])
    cut = rf"{damaged}: cut short: the file ends at byte {length + 1}, inside the .* at byte {length};"
    with pytest.warns(RecordingWarning, match=cut) as caught:
        out = export_recording_html(damaged, tmp_path / "p.html")
    assert len(caught) == 1
    doc = document(out)
    assert doc["source"]["event_count"] == len(ev) > 0 and doc["source"]["cut_short"]["offset"] == length
    with pytest.warns(RecordingWarning, match=cut):
        summary = summarize_recording(damaged)
    assert summary["status"] == "cut short" and summary["event_count"] == len(ev)
    assert summary["offset"] == length and str(damaged) in summary["message"]


@pytest.mark.parametrize("name", ["sample_evt3.raw", "sample_nmnist.bin", "sample.aedat4"])
def test_summary_of_a_recording(name):
    path = shared_recording(name)
    ev = read_events(path)
    s = summarize_recording(path)
    t = ev["t"]
    assert (s["t_first"], s["t_last"], s["event_count"]) == (t.min(), t.max(), len(ev))
    assert s["on_count"] == np.count_nonzero(ev["p"] > 0) and s["status"] == "ok" and s["offset"] is None
    assert s["rate_peak"] == np.bincount((t - t[0]) // 10_000).max() * 100
    assert s["rate_mean"] == pytest.approx(len(ev) / ((t.max() - t.min()) / 1e6))
    w, h = s["sensor_size"]
    pon, poff = per_pixel(ev, w, h)
    total = (pon + poff).ravel()
    top = [[i % w, i // w, total[i]] for i in np.argsort(-total, kind="stable")[:len(s["hot_pixels"])]]
    assert s["hot_pixels"] == top and len(s["hot_pixels"]) == min(16, s["hot_count"])
    assert max(png(s["thumbnail"]).shape[:2]) <= 64


def test_a_page_is_written_without_importing_pillow(tmp_path):
    # Its images are all written natively; Pillow's import alone took 20 ms of a page.
    script = textwrap.dedent(f"""
        import sys
        from zelq.viz.stream import export_recording_html
        export_recording_html({str(shared_recording("sample_evt3.raw"))!r}, {str(tmp_path / "p.html")!r})
        print("PIL" in sys.modules)
    """)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=600)
    assert r.returncode == 0 and r.stdout.split() == ["False"], r.stderr


@pytest.mark.no_sanitizer  # the sanitizer's shadow memory cannot map under an address-space limit
def test_memory_stays_bounded_on_a_file_larger_than_the_address_space_limit(tmp_path):
    # A sparse 2 GiB EVT 2.0 file: zero words (events before any time base, so none), then events.
    path = tmp_path / "big.raw"
    words = ([0x80000000 | 1] + [(1 << 28) | (6 << 22) | (x << 11) | 5 for x in range(100)]
             + [0x80000000 | 9000] + [(9 << 22) | (3 << 11) | 7] * 10)
    with open(path, "wb") as f:
        f.write(b"% evt 2.0\n% geometry 128x64\n")
        f.seek(2 << 30)
        f.write(np.array(words, "<u4").tobytes())
    script = textwrap.dedent(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        from zelq.viz.stream import export_recording_html
        export_recording_html({str(path)!r}, {str(tmp_path / "p.html")!r}, max_page_mb=2)
        # VmHWM: this process's own peak (ru_maxrss also counts the parent's at fork)
        print(next(l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM:")))
    """)
    env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "PYTHONPATH": os.pathsep.join(sys.path)}
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=600)
    assert r.returncode == 0, r.stderr
    assert int(r.stdout) < 300_000, r.stdout  # kB
    doc = document(tmp_path / "p.html")
    assert doc["source"]["event_count"] == 110 and doc["frames"]["segments"][0]["images"]
