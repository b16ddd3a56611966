"""Spike pages for the bundled recording: the event page and a frame-stack page.

    python examples/spike_page.py [OUT_DIR]

`write(out_dir)` writes out_dir/spikes.html (the events of
examples/data/rotating_bar.npy) and out_dir/frames.html (a frame stack of the
same recording) and returns both paths. It opens no browser.
"""
import shutil
import sys
from pathlib import Path

import numpy as np

from zelq.viz import spikes

DATA = Path(__file__).resolve().parent / "data" / "rotating_bar.npy"
DTYPE = [("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")]


def synthetic_bar(width=64, height=48, n=60_000, seed=0):
    """A bar turning about the sensor centre: ON events on its leading edge, OFF on its trailing one."""
    rng = np.random.default_rng(seed)
    t = np.sort(rng.integers(0, 1_000_000, n))
    angle = t / 1_000_000 * np.pi  # half a turn per second
    r = rng.uniform(-0.45, 0.45, n) * min(width, height)
    side = rng.choice([-1, 1], n)
    x = width / 2 + r * np.cos(angle) - side * 1.5 * np.sin(angle)
    y = height / 2 + r * np.sin(angle) + side * 1.5 * np.cos(angle)
    ev = np.zeros(n, DTYPE)
    ev["x"], ev["y"], ev["t"] = np.clip(x, 0, width - 1), np.clip(y, 0, height - 1), t
    ev["p"] = side
    return ev


def load_events():
    return np.load(DATA) if DATA.exists() else synthetic_bar()


class _NoBrowser:
    """Stands in for the webbrowser module while the frame page is written: it reports
    the page as shown, so plot_frames has nothing to warn about on a machine without
    a display."""

    @staticmethod
    def open(url, *args, **kwargs):
        return True


def write(out_dir: Path) -> list[Path]:
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    events = load_events()
    page = Path(spikes.export_events_html(events, out_dir / "spikes.html", title="Rotating bar: events"))

    # plot_frames shows its page from a temporary file; keep that file as frames.html.
    stack = spikes.events_to_frames(events, n_frames=12)
    real_browser = spikes.webbrowser
    spikes.webbrowser = _NoBrowser()
    try:
        temporary = Path(spikes.plot_frames(stack, title="Rotating bar: frame stack"))
    finally:
        spikes.webbrowser = real_browser
    frames_page = out_dir / "frames.html"
    shutil.move(str(temporary), frames_page)
    frames_page.chmod(0o644)  # temporary files are private; this one is a deliverable
    return [page, frames_page]


if __name__ == "__main__":
    for path in write(Path(sys.argv[1] if len(sys.argv) > 1 else "out")):
        print(path)
