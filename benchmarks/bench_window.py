"""Windows anywhere in a long EVT 3.0 recording, and the full-read decode rate.

    python benchmarks/bench_window.py                      # 60 s at 1 M events/s (60 M events)
    python benchmarks/bench_window.py --rate 6.67e6        # the 60 s, 400 M-event recording
    python benchmarks/bench_window.py --format evt2 --seconds 20

Synthesizes (once, cached under /work/bench-data/ or --dir) a seeded HD scene with
benchmarks/synth_recording.py, then times a 100 ms window at 5 s and at 55 s (best of 3;
the time index makes them cost alike: target ratio <= 1.5, both well under 100 ms), the
full read's decode rate, and faery's decode of the same file in the same run when faery
is installed (never a dependency). Every ratio is measured in this run.
"""
import argparse
import os
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent)]

from common import best_of, machine  # noqa: E402
from synth_recording import write_recording  # noqa: E402

from zelq.viz import iter_events, read_events  # noqa: E402


def faery_rate(path, repeat):
    """(events, best seconds) of faery decoding the file, or None without faery."""
    try:
        import faery
    except ImportError:
        return None
    counts = []
    best = best_of(lambda: counts.append(sum(len(chunk) for chunk in faery.events_stream_from_file(path))), repeat)
    return counts[0], best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--rate", type=float, default=1e6)
    ap.add_argument("--format", choices=["evt3", "evt2", "evt21"], default="evt3")
    ap.add_argument("--repeat", type=int, default=3, help="best of this many full decodes")
    ap.add_argument("--dir", type=Path, default=Path(os.environ.get("BENCH_DATA", "/work/bench-data")))
    args = ap.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    path = args.dir / f"window_{args.format}_{args.seconds:g}s_{args.rate:g}.raw"
    if not path.exists():
        t0 = time.perf_counter()
        n = write_recording(path.with_suffix(".part.raw"), args.seconds, args.rate, fmt=args.format)
        path.with_suffix(".part.raw").rename(path)
        print(f"wrote {path} ({n:,} events) in {time.perf_counter() - t0:.0f} s")
    print(f"{machine()}; {path.name}, {path.stat().st_size / 2**20:,.0f} MiB")
    early_at, late_at = 5_000_000, int(args.seconds * 1e6) - 5_000_000
    early = best_of(lambda: read_events(path, start=early_at, duration=100_000))
    late = best_of(lambda: read_events(path, start=late_at, duration=100_000))
    print(f"100 ms window at {early_at / 1e6:g} s: {early * 1e3:7.1f} ms; at {late_at / 1e6:g} s: "
          f"{late * 1e3:7.1f} ms; ratio {late / early:.2f} (target <= 1.5)")
    counts = []
    full = best_of(lambda: counts.append(sum(len(c) for c in iter_events(path))), args.repeat)
    n = counts[0]
    print(f"full decode (iter_events, bounded memory): {n:,} events in {full:.2f} s = {n / full / 1e6:.1f} M events/s")
    peer = faery_rate(path, args.repeat)
    if peer is None:
        print("faery: not installed, skipped")
    else:
        m, secs = peer
        print(f"faery decode of the same file: {m:,} events in {secs:.2f} s = {m / secs / 1e6:.1f} M events/s; "
              f"ours / faery speed {secs / full:.2f}x")


if __name__ == "__main__":
    main()
