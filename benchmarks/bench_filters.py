"""What the noise filters and the inspection pass cost the recording page, on an HD recording.

    python benchmarks/bench_filters.py [--recording FILE.raw] [--seconds 11] [--rate 1e7]

The default synthesizes about 100 M events of 1280 x 720 into a temporary folder (about
240 MB). Times in the same run, best of `--repeat`:
- a read pass: the file's bytes and a.max() over them (the floor of any pass);
- the page's health and space-time pass alone (check_recording's work, and the subsample);
- the page without filters, and with --denoise 2ms --refractory 1ms --drop-hot (which also
  holds the raw frames beside the filtered ones), in turn in each round, in wall and CPU time
  (all threads); beside them the filtered page by the record pieces (the path arrays and
  other readers take, and the one every file took before the engine filtered its bytes);
- filter_events on the whole array, and Tonic's Denoise + RefractoryPeriod on the same array
  (the reference definitions, a Python loop per event: on a slice of it, scaled).
Prints each time, the ratios and the machine's load; the target is filtered / unfiltered
page at most 1.30, in wall and in CPU time.

    python benchmarks/bench_filters.py --fold [--seconds 3] [--repeat 3]

times instead the filtered page (--denoise 2ms --refractory 1ms: filters a fold can run
before the health is known) with the health and space-time pass folded into its page pass,
against the same page with the separate pass first, beside the unfiltered page and a read
pass: medians of the rounds, the pages in turn in each round, wall and CPU time.
"""
from __future__ import annotations

import argparse
import os
import resource
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "benchmarks"))
sys.path.insert(0, str(ROOT / "src"))

from common import machine  # noqa: E402
from zelq.viz import check_recording, export_recording_html, filter_events, read_events, read_sensor_size  # noqa: E402
from zelq.viz.recording_page import filtering  # noqa: E402

FILTERS = dict(denoise_us=2000, refractory_us=1000, drop_hot=True)


def _cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)  # every thread of the process
    return r.ru_utime + r.ru_stime


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t, c = time.perf_counter(), _cpu()
        fn()
        times.append((time.perf_counter() - t, _cpu() - c))
    return min(times)[0]


def pieces_page(path, out):
    """The filtered page by the record pieces: the engine is not given the file's bytes to filter."""
    natively = filtering.natively
    filtering.natively = lambda *a: False
    try:
        export_recording_html(path, out, **FILTERS)
    finally:
        filtering.natively = natively


def pages(path, tmp, repeat):
    """Best (wall, CPU) of each page, the three taken in turn in each round: load that comes
    and goes reaches all of them alike."""
    runs = {"page": lambda: export_recording_html(path, tmp / "p.html"),
            "filtered": lambda: export_recording_html(path, tmp / "f.html", **FILTERS),
            "pieces": lambda: pieces_page(path, tmp / "q.html")}
    out = {name: [float("inf"), float("inf")] for name in runs}
    for _ in range(repeat):
        for name, fn in runs.items():
            t, c = time.perf_counter(), _cpu()
            fn()
            wall, cpu = time.perf_counter() - t, _cpu() - c
            out[name] = [min(out[name][0], wall), min(out[name][1], cpu)]
    return out


FOLDABLE = dict(denoise_us=2000, refractory_us=1000)


def fold_rounds(path, tmp, repeat):
    """Median (wall, CPU) of the folded and the separate filtered page, the unfiltered page and
    a read pass, in turn in each round; and whether the folded page stood without a second pass."""
    from zelq.viz.recording_page import folding, page
    foldable, filtered_pass, passes = folding.foldable, page._filtered_pass, []

    def counted(*a, **k):
        passes.append(1)
        return filtered_pass(*a, **k)

    def separate():
        folding.foldable = lambda *a: False
        try:
            export_recording_html(path, tmp / "s.html", **FOLDABLE)
        finally:
            folding.foldable = foldable

    def folded():
        page._filtered_pass = counted
        try:
            export_recording_html(path, tmp / "f.html", **FOLDABLE)
        finally:
            page._filtered_pass = filtered_pass

    runs = {"read pass (bytes, a.max())": lambda: np.fromfile(path, np.uint8).max(),
            "page, no filters": lambda: export_recording_html(path, tmp / "p.html"),
            "filtered page, separate health pass": separate, "filtered page, health folded": folded}
    times = {name: [] for name in runs}
    for _ in range(repeat):
        for name, fn in runs.items():
            t, c = time.perf_counter(), _cpu()
            fn()
            times[name].append((time.perf_counter() - t, _cpu() - c))
    same = (tmp / "s.html").read_bytes() == (tmp / "f.html").read_bytes()
    return {name: tuple(float(np.median([r[k] for r in rows])) for k in (0, 1)) for name, rows in times.items()}, \
        not passes, same


def fold_report(path, tmp, repeat):
    n = len(read_events(path))
    load = os.getloadavg()[0]
    med, stood, same = fold_rounds(path, tmp, repeat)
    print(f"{path.name}: {n:,} events, {path.stat().st_size / 1e6:,.0f} MB; {machine()}, load average "
          f"{load:.1f} before, {os.getloadavg()[0]:.1f} after; medians of {repeat} rounds")
    for name, (wall, cpu) in med.items():
        print(f"  {name:40s} wall {wall:6.2f} s  cpu {cpu:6.2f} s")
    fold, apart, plain = (med[k] for k in ("filtered page, health folded", "filtered page, separate health pass",
                                           "page, no filters"))
    print(f"  folded / separate: {fold[0] / apart[0]:.2f} wall, {fold[1] / apart[1]:.2f} cpu; "
          f"filtered / unfiltered: {fold[0] / plain[0]:.2f} wall, {fold[1] / plain[1]:.2f} cpu "
          f"(separate: {apart[0] / plain[0]:.2f}, {apart[1] / plain[1]:.2f})")
    print(f"  the fold stood in one pass: {stood}; the two pages byte for byte the same: {same}")
    return 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--recording", type=Path)
    ap.add_argument("--seconds", type=float, default=11.0)
    ap.add_argument("--rate", type=float, default=1e7)
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--fold", action="store_true", help="the filtered page with its health pass folded, and without")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = args.recording
        if path is None:
            from synth_recording import write_recording
            path = Path(tmp) / "hd.raw"
            write_recording(path, seconds=args.seconds, rate=args.rate)
        if args.fold:
            return fold_report(path, Path(tmp), args.repeat)
        data = path.read_bytes()
        read = best(lambda: np.frombuffer(data, np.uint8).max(), args.repeat)
        ev = read_events(path)
        sensor = read_sensor_size(path)
        n = len(ev)
        health = best(lambda: check_recording(path), args.repeat)
        load = os.getloadavg()[0]
        timed = pages(path, Path(tmp), args.repeat)
        load = (load, os.getloadavg()[0])
        (page, page_cpu), (filtered, filtered_cpu), (pieces, pieces_cpu) = (
            timed[k] for k in ("page", "filtered", "pieces"))
        array = best(lambda: filter_events(ev, sensor_size=sensor, denoise_us=2000, refractory_us=1000,
                                           hot_pixels=True), args.repeat)
        rows = [("read pass (bytes, a.max())", read), ("health + space-time pass", health),
                ("page, no filters", page), ("page, --denoise 2ms --refractory 1ms --drop-hot", filtered),
                ("the same, by the record pieces", pieces), ("filter_events on the array", array)]
        try:
            import tonic
            part = ev[:200_000]
            t = time.perf_counter()
            tonic.transforms.RefractoryPeriod(delta=1000)(tonic.transforms.Denoise(filter_time=2000)(part))
            rows.append(("Tonic Denoise + RefractoryPeriod (scaled from 200k events)", (time.perf_counter() - t) * n / len(part)))
        except ImportError:
            pass
    print(f"{path.name}: {n:,} events, {len(data) / 1e6:,.0f} MB, sensor {sensor}; {machine()}, "
          f"load average {load[0]:.1f} before the pages, {load[1]:.1f} after")
    for name, t in rows:
        print(f"  {name:58s} {t:7.2f} s  {n / t / 1e6:7.1f} M events/s  {t / read:6.1f}x read")
    print(f"  filtered / unfiltered page: {filtered / page:.2f} in wall time, {filtered_cpu / page_cpu:.2f} in CPU "
          f"time ({filtered_cpu:.2f} s / {page_cpu:.2f} s); target at most 1.30")
    print(f"  by the record pieces: {pieces / page:.2f} in wall time, {pieces_cpu / page_cpu:.2f} in CPU time "
          f"({pieces_cpu:.2f} s)")
    print(f"  filter_events vs Tonic: {rows[-1][1] / array:.0f}x faster" if len(rows) > 6 else "")
    return 0


if __name__ == "__main__":
    sys.exit(main())
