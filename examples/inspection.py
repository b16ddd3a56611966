"""Looking into a recording: its health, the noise filters and the space-time view.

    python examples/inspection.py [OUT_DIR]

`write(out_dir)` takes the bundled rotating bar, adds what a real sensor adds (background
noise, a stuck pixel, a pause of 150 ms) and writes:
- out_dir/inspect_raw.html: the page as recorded: its health panel lists the gap and the
  hot pixel, the space-time view shows the bar sweeping through time with the noise around it;
- out_dir/inspect_filtered.html: the same with --drop-hot, --denoise 2ms and --refractory 1ms,
  the page saying what each filter removed, bin by bin;
and prints the health report and the filters' counts. Returns the pages' paths.
"""
import sys
from pathlib import Path

import numpy as np

from spike_page import load_events
from zelq.viz import check_recording, export_recording_html
from zelq.viz.filters import filter_counts

FILTERS = dict(denoise_us=2_000, refractory_us=1_000)


def noisy(events, seed=0):
    """The bar with 3% uniform noise, a pixel that fires every 2 ms, and a 150 ms pause."""
    rng = np.random.default_rng(seed)
    t0, t1 = int(events["t"].min()), int(events["t"].max())
    noise = np.zeros(len(events) // 30, events.dtype)
    noise["t"] = rng.integers(t0, t1, len(noise))
    noise["x"], noise["y"] = rng.integers(0, 128, len(noise)), rng.integers(0, 128, len(noise))
    noise["p"] = rng.choice([-1, 1], len(noise))
    stuck = np.zeros((t1 - t0) // 2_000, events.dtype)
    stuck["t"], stuck["x"], stuck["y"], stuck["p"] = t0 + 2_000 * np.arange(len(stuck)), 100, 20, 1
    ev = np.concatenate([events, noise, stuck])
    ev = ev[np.argsort(ev["t"], kind="stable")]
    mid = t0 + (t1 - t0) // 2
    return ev[(ev["t"] < mid) | (ev["t"] >= mid + 150_000)]


def write(out_dir: Path) -> list:
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    ev = noisy(load_events())
    report = check_recording(ev, sensor_size=(128, 128))
    print("health:", "ok" if report["verdict"] == "ok" else "; ".join(report["verdict"]))
    counts = filter_counts(ev, sensor_size=(128, 128), hot_pixels=True, **FILTERS)
    print(f"filters: {counts['hot']:,} events of hot pixels, {counts['denoise']:,} isolated, "
          f"{counts['refractory']:,} too soon at their pixel; {counts['kept']:,} of {len(ev):,} kept")
    raw = export_recording_html(ev, out_dir / "inspect_raw.html", sensor_size=(128, 128), title="Rotating bar, as recorded")
    filtered = export_recording_html(ev, out_dir / "inspect_filtered.html", sensor_size=(128, 128),
                                     title="Rotating bar, filtered", drop_hot=True, **FILTERS)
    return [Path(raw), Path(filtered)]


if __name__ == "__main__":
    for p in write(Path(sys.argv[1] if len(sys.argv) > 1 else "out")):
        print(p)
