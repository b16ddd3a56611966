"""Generate the bundled example recording: a bar rotating in front of a
128 x 128 event camera, with sensor noise.

    python examples/make_recording.py   # rewrites examples/data/rotating_bar.npy

Pixels that the bar starts to cover emit ON events, pixels it leaves emit OFF
events; timestamps are microseconds. The record layout is the documented one:
[("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")], polarity -1 or 1.
"""
from pathlib import Path

import numpy as np

EVENT_DTYPE = np.dtype([("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")])
OUT = Path(__file__).resolve().parent / "data" / "rotating_bar.npy"


def bar_mask(angle, size=128, length=54.0, half_width=2.5):
    yy, xx = np.mgrid[0:size, 0:size].astype(np.float64) - (size - 1) / 2
    along = xx * np.cos(angle) + yy * np.sin(angle)
    across = -xx * np.sin(angle) + yy * np.cos(angle)
    return (np.abs(along) <= length) & (np.abs(across) <= half_width)


def rotating_bar(duration_us=1_000_000, step_us=1000, turns=2.0, noise_rate=0.002, seed=7):
    rng = np.random.default_rng(seed)
    parts = []
    previous = bar_mask(0.0)
    for t in range(step_us, duration_us + 1, step_us):
        mask = bar_mask(2 * np.pi * turns * t / duration_us)
        for polarity, changed in ((1, mask & ~previous), (-1, previous & ~mask)):
            ys, xs = np.nonzero(changed)
            jitter = rng.integers(0, step_us, len(xs))
            parts.append((xs, ys, t - step_us + jitter, np.full(len(xs), polarity)))
        noisy = rng.random((128, 128)) < noise_rate
        ys, xs = np.nonzero(noisy)
        parts.append((xs, ys, t - step_us + rng.integers(0, step_us, len(xs)), rng.choice([-1, 1], len(xs))))
        previous = mask
    x, y, t, p = (np.concatenate(c) for c in zip(*parts))
    order = np.argsort(t, kind="stable")
    events = np.empty(len(t), EVENT_DTYPE)
    events["x"], events["y"], events["t"], events["p"] = x[order], y[order], t[order], p[order]
    return events


if __name__ == "__main__":
    events = rotating_bar()
    OUT.parent.mkdir(exist_ok=True)
    np.save(OUT, events)
    print(f"{len(events):,} events -> {OUT} ({OUT.stat().st_size / 1e6:.1f} MB)")
