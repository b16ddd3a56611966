"""The recording page and a short video of the bundled recording.

    python examples/recording_page.py [OUT_DIR]

`write(out_dir)` writes out_dir/recording.html (the page a camera user keeps
open: player, timeline, event counts, rows over time, boxes) and
out_dir/recording.mp4 (the same frames as a video; skipped with a note when
PyAV, the `video` extra, is not installed) and returns their paths. The boxes
follow the bar, so the page and the video show the overlay too.
"""
import sys
from pathlib import Path

import numpy as np

from spike_page import load_events
from zelq.viz import stream

BOX = [("t", "<i8"), ("x", "<f4"), ("y", "<f4"), ("w", "<f4"), ("h", "<f4"), ("class_id", "<u4"),
       ("confidence", "<f4")]


def bar_boxes(events, every_us=50_000):
    """A box every 50 ms around the bar: the 5th to 95th percentiles of the events of that instant."""
    t = events["t"]
    starts = np.arange(int(t.min()), int(t.max()), every_us)
    boxes = np.zeros(len(starts), BOX)
    for i, s in enumerate(starts):  # one box per 50 ms, not per event
        sel = events[(t >= s) & (t < s + 2_000)]
        if len(sel) == 0:
            continue
        (x0, x1), (y0, y1) = np.percentile(sel["x"], [5, 95]), np.percentile(sel["y"], [5, 95])
        boxes[i] = (s + 1_000, x0, y0, x1 - x0 + 1, y1 - y0 + 1, 0, 0.8)
    return boxes


def write(out_dir: Path) -> list:
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    events = load_events()
    boxes = bar_boxes(events)
    classes = ["bar"]
    page = Path(stream.export_recording_html(events, out_dir / "recording.html", title="Rotating bar: recording",
                                             boxes=boxes, classes=classes))
    paths = [page]
    try:
        from zelq.viz.video import write_video
        paths.append(Path(write_video(events, out_dir / "recording.mp4", boxes=boxes, classes=classes)))
    except ImportError as e:
        print(f"no video: {e}")
    return paths


if __name__ == "__main__":
    for path in write(Path(sys.argv[1] if len(sys.argv) > 1 else "out")):
        print(path)
