"""Video of an HD recording: write_video against faery's render-to-MP4 pipeline on the same events.

    python benchmarks/bench_video.py [--frames 750] [--rate 2e6] [--boxes 1e6] [--keep DIR]

Synthesizes a seeded 1280 x 720 recording (moving bars and blobs plus noise) of
`frames` periods of 20 ms, then times, in the same run:
  - write_video(events, out.mp4): frames at the page's period and decay, H.264;
  - faery (when installed; never a dependency): regularize at 50 Hz, exponential
    decay of the same tau, to MP4 - the peer's nearest pipeline;
  - frames only: the frame iterator without drawing or encoding (where the time goes);
  - the frames with `boxes` boxes drawn on them, half labels (classes, tracks), half
    predictions (with confidences): the drawing's cost is the difference to the frames
    alone, printed as a ratio to them (target: about 1); then write_video with those boxes.
Prints seconds, frames a second and the ratio to faery (target: at most 0.5).
"""
import argparse
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import machine  # noqa: E402

W, H = 1280, 720
PERIOD = 20_000


def synthetic(frames, rate, seed=0):
    """Events at `rate` a second: 70% on three moving bars and a circling blob, 30% noise."""
    rng = np.random.default_rng(seed)
    span = frames * PERIOD
    n = int(rate * span / 1e6)
    t = np.sort(rng.integers(0, span, n))
    x = np.empty(n, np.int64)
    y = np.empty(n, np.int64)
    kind = rng.integers(0, 10, n)
    bar = kind < 5
    x[bar] = (t[bar] * 600 // 1_000_000 + 320 * (kind[bar] % 3) + rng.integers(0, 8, bar.sum())) % W
    y[bar] = rng.integers(100, 620, bar.sum())
    blob = (kind >= 5) & (kind < 7)
    angle = t[blob] / 1e6 * 2.0
    x[blob] = (640 + 300 * np.cos(angle) + rng.normal(0, 12, blob.sum())).astype(np.int64).clip(0, W - 1)
    y[blob] = (360 + 200 * np.sin(angle) + rng.normal(0, 12, blob.sum())).astype(np.int64).clip(0, H - 1)
    noise = kind >= 7
    x[noise], y[noise] = rng.integers(0, W, noise.sum()), rng.integers(0, H, noise.sum())
    ev = np.zeros(n, [("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")])
    ev["x"], ev["y"], ev["t"], ev["p"] = x, y, t, rng.integers(0, 2, n)
    return ev


def synthetic_boxes(frames, count, seed=1, predicted=False):
    """`count` boxes of 5 classes and 200 tracks (predictions: with confidences) over the frames."""
    rng = np.random.default_rng(seed)
    fields = [("t", "<i8"), ("x", "<f4"), ("y", "<f4"), ("w", "<f4"), ("h", "<f4"), ("class_id", "<u4"),
              ("track_id" if not predicted else "confidence", "<i4" if not predicted else "<f4")]
    b = np.zeros(count, fields)
    b["t"] = np.sort(rng.integers(0, frames * PERIOD, count))
    b["x"], b["y"] = rng.uniform(-20, W, count), rng.uniform(-20, H, count)
    b["w"], b["h"] = rng.uniform(4, 120, count), rng.uniform(4, 120, count)
    b["class_id"] = rng.integers(0, 5, count)
    if predicted:
        b["confidence"] = rng.random(count)
    else:
        b["track_id"] = rng.integers(0, 200, count)
    return b


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--frames", type=int, default=750)
    ap.add_argument("--rate", type=float, default=2e6, help="events a second")
    ap.add_argument("--boxes", type=float, default=1e6, help="boxes: half labels, half predictions")
    ap.add_argument("--no-peer", action="store_true", help="leave faery out")
    ap.add_argument("--keep", type=Path, help="keep the videos in this directory")
    args = ap.parse_args()
    from zelq.viz import video

    ev = synthetic(args.frames, args.rate)
    print(f"{machine()}; {len(ev):,} events, {args.frames} frames of {W} x {H}")
    out = args.keep or Path(tempfile.mkdtemp())
    out.mkdir(parents=True, exist_ok=True)
    ours = timed(lambda: video.write_video(ev, out / "zelq.mp4"))
    engine = video._engine_frames()
    frames = (lambda: engine(ev)) if engine else (lambda: video.array_frames(ev, (W, H)))
    frames_only = timed(lambda: sum(1 for _ in frames()))
    print(f"write_video      {ours:7.2f} s  {args.frames / ours:6.1f} frames/s")
    print(f"  frames only    {frames_only:7.2f} s  ({'streaming engine' if engine else 'NumPy frames'}; "
          "the rest is drawing and encoding)")
    count = int(args.boxes) // 2
    labels, preds = synthetic_boxes(args.frames, count), synthetic_boxes(args.frames, count, 2, predicted=True)
    from zelq.viz.boxes import boxes_of
    from zelq.viz.video_drawing import Painter
    sets = ((boxes_of(labels, "boxes"), False), (boxes_of(preds, "predictions"), True))

    def drawn():
        painter = Painter(W, H, 1.0, 1.0, ("car", "person", "bike", "bus", "truck"))
        for t, rgb in frames():
            rgb = np.array(rgb, copy=True)
            for found, predicted in sets:
                painter.boxes(rgb, found, found.between(t, t + PERIOD), predicted)

    with_boxes = timed(drawn)
    boxed = timed(lambda: video.write_video(ev, out / "boxes.mp4", boxes=labels, predictions=preds,
                                            classes="car,person,bike,bus,truck"))
    print(f"  frames + {2 * count:,} boxes drawn {with_boxes:7.2f} s  drawing {with_boxes - frames_only:6.2f} s = "
          f"{(with_boxes - frames_only) / frames_only:.2f} x the frames alone (target: about 1)")
    print(f"write_video with the boxes {boxed:7.2f} s  (the encoder's share grows with the detail drawn)")
    if args.no_peer:
        return
    try:
        import faery
    except ImportError:
        print("faery not installed: no peer timing")
        return
    fev = np.zeros(len(ev), faery.EVENTS_DTYPE)
    fev["t"], fev["x"], fev["y"], fev["on"] = ev["t"], ev["x"], ev["y"], ev["p"] > 0
    peer = timed(lambda: faery.events_stream_from_array(fev, (W, H)).regularize(frequency_hz=1e6 / PERIOD)
                 .render(decay="exponential", tau="00:00:00.030000", colormap=faery.colormaps.managua.flipped())
                 .to_file(out / "faery.mp4", frame_rate=1e6 / PERIOD))
    print(f"faery            {peer:7.2f} s  {args.frames / peer:6.1f} frames/s")
    print(f"ratio write_video / faery: {ours / peer:.2f} (target <= 0.5)")


if __name__ == "__main__":
    main()
