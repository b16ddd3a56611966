"""A per-file summary written from read_events and NumPy: the oracle of the dataset tests and
the baseline loop of the dataset benchmark. It follows the engine's record contract
(`zelq.viz.stream.summarize_recording`), with a whole read instead of one streaming pass."""
import base64
import io
import os

import numpy as np
from PIL import Image

from zelq.viz.recordings import FORMATS, read_events, read_sensor_size

RATE_BIN_US = 10_000
HOT_FACTOR = 10
HOT_MIN = 16
HOT_RULE = ("pixels with at least 16 events and at least 10 times the median count of their "
            "eight neighbours (those that exist at a border)")
THUMB_SIDE = 64


def pixel_counts(x, y, width, height):
    return np.bincount(y.astype(np.int64) * width + x, minlength=width * height).reshape(height, width)


def local_hot(counts):
    """The local hot-pixel rule, vectorised: count >= HOT_MIN and >= HOT_FACTOR x the median of
    the eight neighbours that exist (NaN pads the border; a pixel with none is never hot)."""
    h, w = counts.shape
    padded = np.full((h + 2, w + 2), np.nan)
    padded[1:-1, 1:-1] = counts
    around = np.stack([padded[1 + dy:h + 1 + dy, 1 + dx:w + 1 + dx]
                       for dy in (-1, 0, 1) for dx in (-1, 0, 1) if (dx, dy) != (0, 0)])
    with np.errstate(invalid="ignore"), __import__("warnings").catch_warnings():
        __import__("warnings").simplefilter("ignore", RuntimeWarning)  # all-NaN slices of a 1 x 1 sensor
        median = np.nanmedian(around, axis=0)
        return (counts >= HOT_MIN) & (counts >= HOT_FACTOR * median)


def local_hot_oracle(counts):
    """The local rule pixel by pixel (the oracle of local_hot and of the native rule): count >= 16 and >= 10 x median of the existing 8 neighbours."""
    h, w = counts.shape
    hot = []
    for y in range(h):
        for x in range(w):
            around = [counts[j, i] for j in range(y - 1, y + 2) for i in range(x - 1, x + 2)
                      if (i, j) != (x, y) and 0 <= i < w and 0 <= j < h]
            if counts[y, x] >= 16 and around and counts[y, x] >= 10 * np.median(around):
                hot.append([x, y])
    return hot


def hot_pixels(counts):
    ys, xs = np.nonzero(local_hot(counts))
    c = counts[ys, xs]
    order = np.lexsort((xs, ys, -c))
    return np.stack([xs[order], ys[order], c[order]], axis=1).astype(np.int64)


def thumbnail(counts):
    """Counts summed over square blocks to at most THUMB_SIDE a side, log tone-mapped to grey PNG."""
    h, w = counts.shape
    k = max(1, -(-max(h, w) // THUMB_SIDE))
    padded = np.zeros((-(-h // k) * k, -(-w // k) * k), np.int64)
    padded[:h, :w] = counts
    blocks = padded.reshape(padded.shape[0] // k, k, padded.shape[1] // k, k).sum(axis=(1, 3))
    top = blocks.max()
    level = np.zeros(blocks.shape, np.uint8) if top == 0 else \
        np.ceil(255 * np.log1p(blocks) / np.log1p(top)).astype(np.uint8)
    buf = io.BytesIO()
    Image.fromarray(level, "L").save(buf, "PNG")
    return base64.b64encode(buf.getvalue()).decode("ascii")


def summarize_recording(path):
    path = os.fspath(path)
    ev = read_events(path)
    size = read_sensor_size(path)
    x, y, t, p = (ev[f].astype(np.int64) for f in ("x", "y", "t", "p"))
    n = len(ev)
    rec = {"path": path, "format": FORMATS[os.path.splitext(path)[1].lower()],
           "sensor_size": list(size) if size else None, "t_first": None, "t_last": None, "duration_us": 0,
           "event_count": n, "on_count": int((p > 0).sum()), "rate_mean": 0.0, "rate_peak": 0.0,
           "hot_pixels": [], "hot_count": 0, "hot_rule": HOT_RULE, "thumbnail": "",
           "status": "ok" if n else "empty", "offset": None, "message": ""}
    if not n:
        return rec
    t_first, t_last = int(t.min()), int(t.max())
    duration = t_last - t_first
    width, height = size if size else (int(x.max()) + 1, int(y.max()) + 1)
    bins = np.bincount((t - t_first) // RATE_BIN_US)
    counts = pixel_counts(x, y, width, height)
    hot = hot_pixels(counts)
    rec.update(t_first=t_first, t_last=t_last, duration_us=duration,
               rate_mean=n / (duration * 1e-6) if duration else 0.0,
               rate_peak=float(bins.max()) / (RATE_BIN_US * 1e-6),
               hot_pixels=hot[:16].tolist(), hot_count=len(hot), thumbnail=thumbnail(counts))
    return rec


REFUSED = "summarised again"


def refuse(path):
    """A summary that refuses every file: a file that reaches it was read when it should not be."""
    raise RuntimeError(f"{path}: {REFUSED}")
