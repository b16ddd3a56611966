"""A NumPy transcription of docs/recording-document.md: the recording document,
and the frames that the page and the video show, from a small event array.

Slow and plain on purpose: it is the oracle that the page, the video writer and
the native engine are checked against.
"""
from __future__ import annotations

import base64
import io
import math

import numpy as np
from PIL import Image

from tests.support import summary_standin
from zelq.viz._palettes import PALETTES
from zelq.viz.recording_page import render_recording_html

DEFAULT_PERIOD = 20_000
DEFAULT_DECAY = 30_000
HOT_PIXELS = 32
TIMELINE_BINS = 2000
RASTER_BINS = 500
OVERVIEW_WIDTH = 320
LEAD_DECAYS = 3


def png(rgb):
    buf = io.BytesIO()
    Image.fromarray(np.ascontiguousarray(rgb, dtype=np.uint8), "RGB").save(buf, format="PNG")
    return base64.b64encode(buf.getvalue()).decode("ascii")


def b64(array, dtype):
    return base64.b64encode(np.ascontiguousarray(array, dtype=dtype).tobytes()).decode("ascii")


def sorted_events(ev):
    return ev[np.argsort(ev["t"], kind="stable")]


def frame_counts(ev, size, start, period, n):
    """uint32 (n, H, W, 2) counts [ON, OFF] of frames k: start + k*period <= t < start + (k+1)*period."""
    w, h = size
    t = ev["t"].astype(np.int64)
    keep = (t >= start) & (t < start + n * period)
    k = (t[keep] - start) // period
    pol = np.where(ev["p"][keep] > 0, 0, 1)
    flat = ((k * h + ev["y"][keep].astype(np.int64)) * w + ev["x"][keep].astype(np.int64)) * 2 + pol
    return np.bincount(flat, minlength=n * h * w * 2).astype(np.uint32).reshape(n, h, w, 2)


def frame_png_rgb(counts):
    """The stored image of one frame: red OFF, green ON, clipped to 255."""
    c = np.minimum(counts, 255).astype(np.uint8)
    return np.stack([c[..., 1], c[..., 0], np.zeros_like(c[..., 0])], axis=-1)


def decayed(counts, period, decay):
    """S_k = a S_(k-1) + C_k over the frames, from S = 0, on the stored (clipped) counts."""
    a = math.exp(-period / decay)
    s = np.zeros(counts.shape[1:], np.float64)
    out = np.empty(counts.shape, np.float64)
    for k in range(len(counts)):  # frames, not events
        s = a * s + np.minimum(counts[k], 255)
        out[k] = s
    return out


def colours(surface, gain=1.0, palette="blue-red", background="dark"):
    """RGB uint8 of decayed surfaces (..., 2) [ON, OFF]: tone curve, then palette blend."""
    pal = PALETTES[palette][background]
    bg, on, off = (np.array(pal[k], np.float64) for k in ("background", "on", "off"))
    level = 1.0 - np.exp(-surface / gain)
    rgb = bg + level[..., 0:1] * (on - bg) + level[..., 1:2] * (off - bg)
    return np.floor(np.clip(rgb, 0, 255) + 0.5).astype(np.uint8)


def recording_frames(ev, size, *, frame_period=DEFAULT_PERIOD, decay=DEFAULT_DECAY, gain=1.0,
                     palette="blue-red", background="dark", start=None, duration=None):
    """(t_start, rgb (H, W, 3)) of every frame from `start` (default: the first event) for
    `duration` (default: to the last event), as the page and the video show them."""
    ev = sorted_events(ev)
    t0 = int(ev["t"][0]) if start is None else start
    end = int(ev["t"][-1]) + 1 if duration is None else t0 + duration
    n = max(0, -(-(end - t0) // frame_period))
    surface = decayed(frame_counts(ev, size, t0, frame_period, n), frame_period, decay)
    for k in range(n):
        yield t0 + k * frame_period, colours(surface[k], gain, palette, background)


def heat_level(c):
    return np.minimum(255, np.ceil(16 * np.log2(1 + c.astype(np.float64)))).astype(np.uint8)


def _columns(boxes, t0, t1):
    if boxes is None:
        return None
    t = boxes["t"] if "t" in boxes.dtype.names else boxes["ts"]
    keep = (t >= t0) & (t < t1)
    out = {"t": t[keep].astype(np.int64).tolist()}
    for f in ("x", "y", "w", "h"):
        out[f] = [float(v) for v in boxes[f][keep]]
    out["class_id"] = boxes["class_id"][keep].astype(np.int64).tolist()
    for f, kind in (("confidence", float), ("track_id", int)):
        out[f] = [kind(v) for v in boxes[f][keep]] if f in boxes.dtype.names else None
    return out


def _span_text(a, b):
    return f"{a / 1e6:.2f}\u2013{b / 1e6:.2f} s"


def build_document(ev, size, *, name="events.npy", fmt="event array", frame_period=DEFAULT_PERIOD,
                   decay=DEFAULT_DECAY, gain=1.0, palette="blue-red", background="dark",
                   max_bytes=100 * 10**6, window=None, boxes=None, predictions=None, classes=(),
                   title="Recording"):
    """The recording document of `ev` (whole, or the absolute `window` (start, end))."""
    w, h = size
    as_given = ev
    ev = sorted_events(ev)
    t_first, t_last = int(ev["t"][0]), int(ev["t"][-1])
    t0, t1 = (t_first, t_last + 1) if window is None else window
    inside = ev[(ev["t"] >= t0) & (ev["t"] < t1)]
    span = t1 - t0
    on = inside["p"] > 0

    tl_bin = max(1, span // TIMELINE_BINS)
    n_tl = -(-span // tl_bin)
    k = (inside["t"] - t0) // tl_bin
    timeline = {"start": t0, "bin_us": tl_bin, "on": b64(np.bincount(k[on], minlength=n_tl), "<u4"),
                "off": b64(np.bincount(k[~on], minlength=n_tl), "<u4")}

    pix = inside["y"].astype(np.int64) * w + inside["x"]
    on_px = np.bincount(pix[on], minlength=w * h)
    off_px = np.bincount(pix[~on], minlength=w * h)
    total = on_px + off_px
    heat = np.stack([heat_level(off_px), heat_level(on_px), np.zeros(w * h, np.uint8)], -1).reshape(h, w, 3)
    hot_idx = np.flatnonzero(summary_standin.local_hot(total.reshape(h, w)))
    order = hot_idx[np.lexsort((hot_idx, -total[hot_idx]))][:HOT_PIXELS]
    hot = [[int(i % w), int(i // w), int(on_px[i]), int(off_px[i])] for i in order]

    r_bins = min(RASTER_BINS, span)
    r_bin = -(-span // r_bins)
    r_bins = -(-span // r_bin)
    r = np.bincount(inside["y"].astype(np.int64) * r_bins + (inside["t"] - t0) // r_bin, minlength=h * r_bins)

    n = -(-span // frame_period)
    lead = 0
    if t0 > t_first:
        lead = min(math.ceil(LEAD_DECAYS * decay / frame_period), -(-(t0 - t_first) // frame_period))
    seg_start = t0 - lead * frame_period
    counts = frame_counts(ev, size, seg_start, frame_period, lead + n)
    images = [png(frame_png_rgb(c)) for c in counts]

    doc = {
        "kind": "recording", "version": 1,
        "source": {"name": name, "format": fmt, "sensor_size": [w, h], "t_first": t_first, "t_last": t_last,
                   "event_count": int(len(inside)), "on_count": int(on.sum()), "dropped": 0,
                   "cut_short": None, "warnings": []},
        "window": None if window is None else {"start": t0, "end": t1},
        "timeline": timeline,
        "heatmap": {"width": w, "height": h, "png": png(heat), "max": int(total.max(initial=0))},
        "hot_pixels": {"rule": summary_standin.HOT_RULE, "pixels": hot},
        "frames": {"period_us": frame_period, "decay_us": decay,
                   "segments": [{"start": seg_start, "lead": lead, "images": images}]},
        "overview": None,
        "raster": {"start": t0, "bin_us": r_bin, "bins": r_bins, "rows": h,
                   "counts": b64(np.minimum(r, 65535), "<u2")},
        "boxes": None if boxes is None and predictions is None else {
            "classes": list(classes), "labels": _columns(boxes, t0, t1),
            "predictions": _columns(predictions, t0, t1)},
        **inspection(as_given, size, t0, t1, max_bytes),
        "budget": {"max_bytes": max_bytes, "bytes": 0, "full_rate": [[t0, t0 + n * frame_period]], "left_out": ""},
        "view": {"palette": palette, "background": background, "gain": float(gain)},
    }
    if _page_bytes(doc, title) > max_bytes:
        _fit_to_budget(doc, ev, size, t0, n, lead, images, title)
    _settle_bytes(doc, title)
    return doc


def inspection(ev, size, t0, t1, max_bytes):
    """The health and space-time parts: the health report of the whole array (checked on its
    own in test_health) and the events of the span in the array's order, every step-th of them
    for the smallest power of two step that keeps at most the cap (12% of the budget, 2% under 10 MB)."""
    from zelq.viz import check_recording
    t = ev["t"].astype(np.int64)
    back = np.flatnonzero(t[1:] < t[:-1]) + 1
    inside = ev[(t >= t0) & (t < t1)]
    cap = int(min(1_000_000, max_bytes * (0.12 if max_bytes >= 10**7 else 0.02) // 12))
    step = 1
    while -(-len(inside) // step) > cap:
        step *= 2
    count, inside = len(inside), inside[::step]
    col = lambda v, dt: base64.b64encode(np.ascontiguousarray(v, dt).tobytes()).decode("ascii")
    return {"health": {"report": check_recording(ev, sensor_size=tuple(size)),
                       "first_backwards_t": int(t[back[0]]) if len(back) else None},
            "xyt": {"count": count, "step": step, "points": len(inside), "t_base": t0, "t_unit": 1,
                    "x": col(inside["x"], "<u2"), "y": col(inside["y"], "<u2"),
                    "t": col(inside["t"].astype(np.int64) - t0, "<u4"), "p": col(inside["p"] > 0, np.uint8)}}


def _page_bytes(doc, title):
    return len(render_recording_html(doc, title).encode("utf-8"))


def overview(ev, size, t0, n_frames, frame_period, decay):
    w, h = size
    step = max(1, 1_000_000 // frame_period)
    scale = max(1, -(-w // OVERVIEW_WIDTH))
    ow, oh = -(-w // scale), -(-h // scale)
    surface = decayed(frame_counts(ev, size, t0, frame_period, n_frames), frame_period, decay)[::step]
    padded = np.zeros((len(surface), oh * scale, ow * scale, 2))
    padded[:, :h, :w] = surface
    pooled = padded.reshape(len(surface), oh, scale, ow, scale, 2).sum(axis=(2, 4))
    level = np.minimum(255, np.floor(16 * pooled + 0.5)).astype(np.uint32)
    return {"period_us": step * frame_period, "start": t0, "scale": scale, "width": ow, "height": oh,
            "images": [png(frame_png_rgb(c)) for c in level]}


def _fit_to_budget(doc, ev, size, t0, n, lead, images, title):
    """Overview of everything, then full-rate frames from the start while they fit."""
    frames = doc["frames"]
    frames["segments"] = []
    doc["overview"] = overview(ev, size, t0, n, frames["period_us"], frames["decay_us"])
    doc["budget"]["full_rate"] = []
    room = doc["budget"]["max_bytes"] - _page_bytes(doc, title) - 256
    shown = 0
    for image in images[lead:]:
        room -= len(image) + 3
        if room < 0:
            break
        shown += 1
    period = frames["period_us"]
    if shown:
        frames["segments"] = [{"start": t0, "lead": 0, "images": images[lead:lead + shown]}]
        doc["budget"]["full_rate"] = [[t0, t0 + shown * period]]
    ov = doc["overview"]
    doc["budget"]["left_out"] = (
        f"Full-rate frames cover {_span_text(t0, t0 + shown * period)} of {_span_text(t0, t0 + n * period)}; "
        f"the rest is shown by {len(ov['images'])} overview frames, one every {ov['period_us'] / 1e6:g} s "
        f"at 1/{ov['scale']} resolution.")


def _settle_bytes(doc, title):
    for _ in range(4):  # the count's own digits change the size
        size = _page_bytes(doc, title)
        if doc["budget"]["bytes"] == size:
            return
        doc["budget"]["bytes"] = size
