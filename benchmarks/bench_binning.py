"""Native event binning against the NumPy transcription and Tonic's ToFrame.

    python benchmarks/bench_binning.py [--events 10000000]

10 million time-sorted events on a 346 x 260 sensor, record dtype
[x <i2, y <i2, t <i8, p i1]. The yardstick is a read pass, `a.max()` over the
records' bytes. Every ratio is measured in this run; the native calls and the
read pass are timed in interleaved rounds (best wall and best CPU time of
each), and the load average is printed beside them. Targets: framing (single thread) within 2x
of the read pass and >= 30x the transcription, >= 5x Tonic; the spike page's
raster (1000 neurons, 100 bins, sensor size detected) within 15 ms, also as
the median CPU time beside the same raster in two passes; the full
raster >= 10x the transcription, and its medians beside its two passes;
framing again as median CPU times of interleaved rounds beside the read pass;
extra memory <= output + 1 MiB. `--only rasters` and `--only framing` time those
medians alone.
"""
import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent)]

from common import best_interleaved, best_of, interleaved_medians, load_average, machine, mib, peak_extra_bytes  # noqa: E402

from tests.support import binning_oracle as oracle  # noqa: E402
from zelq.viz import spikes  # noqa: E402

WIDTH, HEIGHT = 346, 260
DTYPE = np.dtype([("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")])


def make_events(n, seed=0):
    rng = np.random.default_rng(seed)
    ev = np.empty(n, DTYPE)
    ev["x"] = rng.integers(0, WIDTH, n)
    ev["y"] = rng.integers(0, HEIGHT, n)
    ev["t"] = np.sort(rng.integers(0, 10_000_000, n)) + 1_605_537_493_718_345
    ev["p"] = rng.choice(np.array([-1, 1], np.int8), n)
    return ev


def read_pass(ev):
    return ev.view(np.uint8).max()


def memory_probe(path, what):
    """Run in a child process: peak extra memory of one call, in bytes."""
    ev = np.load(path)
    calls = {
        "frames": lambda: spikes.events_to_frames(ev, (WIDTH, HEIGHT), 10),
        "frames_acc": lambda: spikes.events_to_frames(ev, (WIDTH, HEIGHT), 10, True),
        "raster": lambda: spikes.events_to_raster(ev, None, 100),
    }
    extra = peak_extra_bytes(calls[what])
    out = calls[what]()
    print(extra, out.nbytes)


def framing_medians(ev, rounds):
    """Median CPU and wall ms of framing, plain and accumulated, against the read pass
    over the same record bytes, in interleaved rounds: the figure the 2x target is on."""
    size = (WIDTH, HEIGHT)
    med = interleaved_medians({"read pass": lambda: read_pass(ev),
                               "framing": lambda: spikes.events_to_frames(ev, size, 10),
                               "framing accumulate": lambda: spikes.events_to_frames(ev, size, 10, True)}, rounds)
    read_cpu = med["read pass"][0]
    print(f"\nframing, median of {rounds} interleaved rounds ({load_average()}); "
          f"the read pass takes {ev.nbytes / 1e6:.0f} MB of records")
    for name, (c, w) in med.items():
        print(f"  {name:24} cpu {c * 1e3:6.2f} ms  wall {w * 1e3:6.2f} ms  {c / read_cpu:5.2f}x the read pass (cpu)")
    print(f"  framing target <= 2x the read pass (cpu): {'met' if med['framing'][0] <= 2 * read_cpu else 'NOT met'}")


def raster_medians(ev, rounds):
    """Median CPU and wall ms of the page raster (1000 neurons) and the full raster
    (n_neurons=None), each beside the same raster in two passes (the sensor size found
    first, as a replaced detection forces), and of the read pass, in interleaved rounds."""
    own = spikes._detect_sensor_size

    def two_passes(n_neurons):
        spikes._detect_sensor_size = lambda events: own(events)
        try:
            return spikes.events_to_raster(ev, n_neurons, 100)
        finally:
            spikes._detect_sensor_size = own

    for n_neurons in (1000, None):
        assert np.array_equal(two_passes(n_neurons), spikes.events_to_raster(ev, n_neurons, 100))
    calls = {"read pass": lambda: read_pass(ev), "page raster": lambda: spikes.events_to_raster(ev, 1000, 100),
             "page raster, two passes": lambda: two_passes(1000),
             "full raster": lambda: spikes.events_to_raster(ev, None, 100),
             "full raster, two passes": lambda: two_passes(None)}
    med = interleaved_medians(calls, rounds)
    print(f"\nrasters, median of {rounds} interleaved rounds (load average {os.getloadavg()[0]:.2f})")
    for name, (c, w) in med.items():
        print(f"  {name:24} cpu {c * 1e3:6.2f} ms  wall {w * 1e3:6.2f} ms  "
              f"{c / med['read pass'][0]:5.2f}x the read pass (cpu), {w / med['read pass'][1]:5.2f}x (wall)")
    for what in ("page raster", "full raster"):
        print(f"  {what}, one pass / two passes: {med[what][0] / med[what + ', two passes'][0]:.2f} (cpu), "
              f"{med[what][1] / med[what + ', two passes'][1]:.2f} (wall)")
    print(f"  page raster target <= 15 ms: {'met' if med['page raster'][0] <= 0.015 else 'NOT met'}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--events", type=int, default=10_000_000)
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--only", choices=["rasters", "framing"], help="only the rasters' or framing's medians")
    ap.add_argument("--probe", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.probe:
        return memory_probe(*args.probe)

    n = args.events
    ev = make_events(n)
    size = (WIDTH, HEIGHT)
    print(f"{n:,} events, {WIDTH} x {HEIGHT} sensor; {machine()}")
    if args.only == "rasters":
        return raster_medians(ev, 3 * args.rounds)
    if args.only == "framing":
        return framing_medians(ev, 3 * args.rounds)

    both = best_interleaved({
        "read": lambda: read_pass(ev),
        "frames": lambda: spikes.events_to_frames(ev, size, 10),
        "frames_acc": lambda: spikes.events_to_frames(ev, size, 10, True),
        "page_raster": lambda: spikes.events_to_raster(ev, 1000, 100),
        "raster": lambda: spikes.events_to_raster(ev, None, 100),
    }, args.rounds)
    load = load_average()
    t = {name: wall for name, (wall, _) in both.items()}
    cpu = {name: c for name, (_, c) in both.items()}
    t_read, t_nat, t_nat_acc, t_page, t_rnat = (t[k] for k in ("read", "frames", "frames_acc", "page_raster", "raster"))
    rows = [("read pass a.max() (yardstick)", t_read, None, None)]
    t_np = best_of(lambda: oracle.frames(ev, size, 10), repeat=1)
    rows.append(("framing, native", t_nat, t_np, "numpy"))
    t_np_acc = best_of(lambda: oracle.frames(ev, size, 10, True), repeat=1)
    rows.append(("framing accumulate, native", t_nat_acc, t_np_acc, "numpy"))
    t_pnp = best_of(lambda: oracle.raster(ev, 1000, 100), repeat=1)
    rows.append(("page raster (1000 neurons)", t_page, t_pnp, "numpy"))
    t_rnp = best_of(lambda: oracle.raster(ev, None, 100), repeat=1)
    rows.append(("raster, native", t_rnat, t_rnp, "numpy"))
    t_tonic = None
    if spikes.TONIC_AVAILABLE:
        tonic_ev = ev.copy()
        tonic_ev["p"] = ev["p"] > 0
        window = (int(ev["t"].max() - ev["t"].min()) // 10) + 1
        to_frame = spikes.tonic.transforms.ToFrame(sensor_size=(WIDTH, HEIGHT, 2), time_window=window)
        to_frame(tonic_ev[:1000])  # compile once outside the timing
        t_tonic = best_of(lambda: to_frame(tonic_ev))

    print(f"\n{'operation':32} {'seconds':>9} {'Mev/s':>8} {'vs numpy':>9}")
    for name, t, base, _ in rows:
        ratio = f"{base / t:8.1f}x" if base else ""
        print(f"{name:32} {t:9.4f} {n / t / 1e6:8.1f} {ratio:>9}")
    if t_tonic:
        print(f"{'Tonic ToFrame':32} {t_tonic:9.4f} {n / t_tonic / 1e6:8.1f}")
    print(f"\n{load} on {os.cpu_count()} cores; read pass {ev.nbytes / t_read / 1e9:.1f} GB/s")
    print("ratios (target); framing, its CPU time over the read pass's: "
          f"{cpu['frames'] / cpu['read']:.2f} ({cpu['frames'] * 1e3:.1f} / {cpu['read'] * 1e3:.1f} ms), "
          f"accumulate {cpu['frames_acc'] / cpu['read']:.2f}")
    print(f"  framing vs numpy transcription: {t_np / t_nat:6.1f}x  (>= 30x)")
    if t_tonic:
        print(f"  framing vs Tonic ToFrame:       {t_tonic / t_nat:6.1f}x  (>= 5x)")
    print(f"  raster vs numpy transcription:  {t_rnp / t_rnat:6.1f}x  (>= 10x)")
    print(f"  framing / read pass:            {t_nat / t_read:6.2f}   (<= 2)")
    print(f"  accumulate / read pass:         {t_nat_acc / t_read:6.2f}   (<= 2)")
    print(f"  page raster:                    {t_page * 1e3:6.1f} ms (<= 15 ms), {t_page / t_read:.2f}x the read pass")

    framing_medians(ev, 3 * args.rounds)
    raster_medians(ev, 3 * args.rounds)

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "events.npy"
        np.save(path, ev)
        print("\npeak extra memory (target: output + 1 MiB)")
        for what in ("frames", "frames_acc", "raster"):
            out = subprocess.run([sys.executable, __file__, "--probe", str(path), what],
                                 capture_output=True, text=True, check=True).stdout.split()
            extra, output = int(out[0]), int(out[1])
            print(f"  {what:11} extra {mib(extra):7.2f} MiB, output {mib(output):7.2f} MiB, "
                  f"over output {mib(extra - output):+6.2f} MiB")


if __name__ == "__main__":
    main()
