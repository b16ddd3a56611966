"""Reading recording files: native decoding against a NumPy decoding and a plain read.

    python benchmarks/bench_read.py [--events 10000000]

Writes a DAT file and an EVT 2.0 file of the same synthetic events (346 x 260,
10 s), then times read_events on each, the NumPy decoding of the DAT records
(the recipe of the recordings' README) and np.fromfile of the DAT file (the
I/O yardstick), and a 100 ms window read. Every ratio is measured in this run.
Targets: DAT >= 2x the NumPy decoding; a 100 ms DAT window (found by
bisection) < 5% of the full read, an EVT window (found by bisection on the
time-high words; decoding stops after the window) < 60%; extra memory of a full read <= the output plus
32 MiB (decoded pages of the memory map are dropped as it goes).
"""
import argparse
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE)]

from common import best_of, machine, mib, peak_extra_bytes  # noqa: E402

from zelq.viz import read_events  # noqa: E402

WIDTH, HEIGHT = 346, 260


def synthetic(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.sort(rng.integers(0, 10_000_000, n))
    return rng.integers(0, WIDTH, n), rng.integers(0, HEIGHT, n), t, rng.integers(0, 2, n)


def write_dat(path, x, y, t, p):
    rec = np.empty(len(t), [("t", "<u4"), ("d", "<u4")])
    rec["t"], rec["d"] = t, x | (y << 14) | (p << 28)
    path.write_bytes(b"% Data file containing Event CD events.\n% Version 2\n" + bytes([0x0C, 8]))
    with open(path, "ab") as f:
        rec.tofile(f)


def write_evt2(path, x, y, t, p):
    high = t >> 6
    starts = np.flatnonzero(np.r_[True, high[1:] != high[:-1]])
    words = np.empty(len(t) + len(starts), "<u4")
    is_high = np.zeros(len(words), bool)
    is_high[starts + np.arange(len(starts))] = True
    words[is_high] = (0x8 << 28) | high[starts]
    words[~is_high] = (p << 28) | ((t & 63) << 22) | (x << 11) | y
    path.write_bytes(b"% evt 2.0\n% format EVT2;width=346;height=260\n% end\n")
    with open(path, "ab") as f:
        words.tofile(f)


def numpy_dat(path):
    raw = np.fromfile(path, np.uint8)
    start = raw.tobytes()[:4096].index(b"% Version 2\n") + len(b"% Version 2\n") + 2
    rec = raw[start:].view([("t", "<u4"), ("d", "<u4")])
    out = np.empty(len(rec), [("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")])
    d = rec["d"]
    out["x"], out["y"], out["t"] = d & 0x3FFF, (d >> 14) & 0x3FFF, rec["t"]
    out["p"] = np.where(d >> 28, 1, -1)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--events", type=int, default=10_000_000)
    n = ap.parse_args().events
    print(f"{machine()}; {n:,} events")
    with tempfile.TemporaryDirectory() as tmp:
        dat, raw = Path(tmp) / "r.dat", Path(tmp) / "r.raw"
        write_dat(dat, *synthetic(n))
        write_evt2(raw, *synthetic(n))
        assert np.array_equal(read_events(dat), numpy_dat(dat))
        fromfile = best_of(lambda: np.fromfile(dat, np.uint8))
        oracle = best_of(lambda: numpy_dat(dat))
        for name, path in (("DAT", dat), ("EVT 2.0", raw)):
            full = best_of(lambda: read_events(path))
            window = best_of(lambda: read_events(path, start=5_000_000, duration=100_000))
            extra = peak_extra_bytes(lambda: read_events(path))
            out = n * 13
            budget = out + 32 * 2**20
            print(f"{name:8s} read {full * 1e3:8.1f} ms ({n / full / 1e6:6.1f} M events/s); "
                  f"{full / fromfile:4.1f}x np.fromfile; NumPy decoding / read {oracle / full:4.1f}x; "
                  f"100 ms window {window * 1e3:6.1f} ms ({window / full:.1%}); "
                  f"extra memory {mib(extra):6.1f} MiB = {extra / budget:.2f}x budget")


if __name__ == "__main__":
    main()
