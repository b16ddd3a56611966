"""What the noise filters and the inspection pass cost the recording page, on an HD recording.

    python benchmarks/bench_filters.py [--recording FILE.raw] [--seconds 3] [--rate 1e7]

Times in the same run, best of `--repeat`:
- a read pass: the file's bytes and a.max() over them (the floor of any pass);
- the page's health and space-time pass alone (check_recording's work, and the subsample);
- the page without filters, and with --denoise 2ms --refractory 1ms --drop-hot (which also
  holds the raw frames beside the filtered ones), in wall and CPU time;
- filter_events on the whole array, and Tonic's Denoise + RefractoryPeriod on the same array
  (the reference definitions, a Python loop per event: on a slice of it, scaled).
Prints each time and the ratios; the target is filtered / unfiltered page at most 1.30.
"""
from __future__ import annotations

import argparse
import resource
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "benchmarks"))
sys.path.insert(0, str(ROOT / "src"))

from zelq.viz import check_recording, export_recording_html, filter_events, read_events, read_sensor_size  # noqa: E402

FILTERS = dict(denoise_us=2000, refractory_us=1000, drop_hot=True)


def _cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)  # every thread of the process
    return r.ru_utime + r.ru_stime


CPU = {}  # name -> the CPU time of its best run: on a shared machine, wall times wander


def best(fn, repeat, name=None):
    times = []
    for _ in range(repeat):
        t, c = time.perf_counter(), _cpu()
        fn()
        times.append((time.perf_counter() - t, _cpu() - c))
    wall, cpu = min(times)
    if name:
        CPU[name] = cpu
    return wall


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--recording", type=Path)
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--rate", type=float, default=1e7)
    ap.add_argument("--repeat", type=int, default=2)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = args.recording
        if path is None:
            from synth_recording import write_recording
            path = Path(tmp) / "hd.raw"
            write_recording(path, seconds=args.seconds, rate=args.rate)
        data = path.read_bytes()
        read = best(lambda: np.frombuffer(data, np.uint8).max(), args.repeat)
        ev = read_events(path)
        sensor = read_sensor_size(path)
        n = len(ev)
        health = best(lambda: check_recording(path), args.repeat)
        page = best(lambda: export_recording_html(path, Path(tmp) / "p.html"), args.repeat, "page")
        filtered = best(lambda: export_recording_html(path, Path(tmp) / "f.html", **FILTERS), args.repeat, "filtered")
        array = best(lambda: filter_events(ev, sensor_size=sensor, denoise_us=2000, refractory_us=1000,
                                           hot_pixels=True), args.repeat)
        rows = [("read pass (bytes, a.max())", read), ("health + space-time pass", health),
                ("page, no filters", page), ("page, --denoise 2ms --refractory 1ms --drop-hot", filtered),
                ("filter_events on the array", array)]
        try:
            import tonic
            part = ev[:200_000]
            t = time.perf_counter()
            tonic.transforms.RefractoryPeriod(delta=1000)(tonic.transforms.Denoise(filter_time=2000)(part))
            rows.append(("Tonic Denoise + RefractoryPeriod (scaled from 200k events)", (time.perf_counter() - t) * n / len(part)))
        except ImportError:
            pass
    print(f"{path.name}: {n:,} events, {len(data) / 1e6:,.0f} MB, sensor {sensor}")
    for name, t in rows:
        print(f"  {name:58s} {t:7.2f} s  {n / t / 1e6:7.1f} M events/s  {t / read:6.1f}x read")
    print(f"  filtered / unfiltered page: {filtered / page:.2f} (target at most 1.30); in CPU time "
          f"{CPU['filtered']:.2f} s / {CPU['page']:.2f} s = {CPU['filtered'] / CPU['page']:.2f}")
    print(f"  filter_events vs Tonic: {rows[-1][1] / array:.0f}x faster" if len(rows) > 5 else "")
    return 0


if __name__ == "__main__":
    sys.exit(main())
