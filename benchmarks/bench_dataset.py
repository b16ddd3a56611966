"""Dataset summaries on Dask against a plain loop, measured in the same run.

    python benchmarks/bench_dataset.py [--scale 1.0] [--data /work/bench-data/zelqviz-dataset]

Writes (once, then reuses) two synthetic datasets: 1,000 files of 250,000 events
(128 x 128, EVT 3.0, DVS Gesture-sized) and 10,000 N-MNIST files of about 4,000
events (34 x 34). The baseline is a plain loop that reads each file with
read_events and computes the same numbers with NumPy (tests/support/summary_standin.py).
summarize_dataset runs on an already-started local cluster of two single-threaded
worker processes passed as client=, then on one of one worker (each started before
its clock, and only one up at a time: an idle cluster's heartbeats and monitors
would take CPU from the measured one); the default local cluster (client=None) is
timed on the same files to show what starting it adds.
Targets: big files >= 4x the loop; small files >= 2x; two workers >= 1.6x one;
the default cluster adds <= 2 s. Each contender runs --repeat times, interleaved, and
the medians are compared; also printed: files/s, CPU seconds (this process and the
cluster's workers: what the work costs whatever else loads the machine), each
worker's peak memory and the load average before and after.
`--scale 0.1` writes and times a tenth of the files, for quick runs.
"""
import argparse
import contextlib
import logging
import os
import resource
import statistics
import sys
import time
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent)]

from common import machine  # noqa: E402

from tests.support import summary_standin  # noqa: E402
from tests.support import writers  # noqa: E402

SETS = {  # name: (files, events a file, sensor side, writer, suffix)
    "big": (1_000, 250_000, 128, "evt3", ".raw"),
    "small": (10_000, 4_000, 34, "nmnist", ".bin"),
}


def make(folder: Path, name: str, scale: float):
    files, events, side, fmt, suffix = SETS[name]
    n_files = max(4, round(files * scale))
    out = folder / name
    paths = [out / f"class{k % 10}" / f"r{k:05d}{suffix}" for k in range(n_files)]
    missing = [p for p in paths if not p.exists()]
    rng = np.random.default_rng(len(missing))
    for k, p in enumerate(missing):  # one file per iteration; each written whole by NumPy
        p.parent.mkdir(parents=True, exist_ok=True)
        n = int(events * rng.uniform(0.8, 1.2))
        ev = writers.records(rng.integers(0, side, n), rng.integers(0, side, n),
                             np.sort(rng.integers(0, 6_000_000 if name == "big" else 300_000, n)),
                             rng.integers(0, 2, n))
        options = {} if fmt == "nmnist" else {"geometry": (side, side)}
        writers.write(p, ev, fmt, **options)
    return [str(p) for p in paths]


def plain_loop(paths):
    return [summary_standin.summarize_recording(p) for p in paths]


def own_peak_bytes():
    # VmHWM: the process's own peak; ru_maxrss also counts the parent's at fork, and the
    # workers start after the plain loop has grown this process.
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def worker_peaks(client):
    return client.run(own_peak_bytes)


def cpu_seconds(client=None):
    """CPU time used so far by this process, plus by the client's workers when one is given."""
    own = time.process_time()
    if client is None:
        return own
    used = client.run(lambda: sum(resource.getrusage(resource.RUSAGE_SELF)[:2]))
    return own + sum(used.values())


def run(fn, client=None):
    """(wall seconds, CPU seconds of this process and the client's workers, result)."""
    c0, t0 = cpu_seconds(client), time.perf_counter()
    out = fn()
    wall = time.perf_counter() - t0
    return wall, cpu_seconds(client) - c0, out


def load():
    return "load average " + " ".join(f"{v:.1f}" for v in os.getloadavg())


def main() -> int:
    import distributed

    from zelq.viz import dataset

    ap = argparse.ArgumentParser()
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--data", default="/work/bench-data/zelqviz-dataset")
    ap.add_argument("--sets", nargs="*", default=list(SETS))
    ap.add_argument("--repeat", type=int, default=3, help="runs of each, the median reported")
    args = ap.parse_args()
    print(machine())
    folder = Path(args.data)
    warnings.filterwarnings("ignore", message="Port .* is already in use", category=UserWarning)
    logging.getLogger("distributed").setLevel(logging.ERROR)

    @contextlib.contextmanager
    def started(n, paths):
        """A client of a local cluster of n single-threaded workers that have imported the package.
        Only the measured cluster is up: an idle one's heartbeats and monitors would take CPU from it."""
        with dataset.environ_kept():  # the plain loop runs with this process's own settings
            cluster = distributed.LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                               dashboard_address=None, silence_logs=logging.ERROR)
        client = distributed.Client(cluster, set_as_default=False)
        try:
            dataset.summarize_dataset(paths[:4], client=client)  # before the clock starts
            yield client
        finally:
            client.close()
            cluster.close()

    ok = True
    for name in args.sets:
        paths = make(folder, name, args.scale)
        gb = sum(Path(p).stat().st_size for p in paths) / 1e9
        print(f"\n{name}: {len(paths):,} files, {gb:.2f} GB; {load()}")
        # Interleaved repeats: a burst of other load hits every contender alike.
        times = {k: [] for k in ("loop", "two", "one", "own")}
        cpus = {k: [] for k in times}
        want = got = peaks = None
        for _ in range(args.repeat):
            wall, cpu, want = run(lambda: plain_loop(paths))
            times["loop"].append(wall), cpus["loop"].append(cpu)
            with started(2, paths) as client:
                wall, cpu, got = run(lambda: dataset.summarize_dataset(paths, client=client), client)
                times["two"].append(wall), cpus["two"].append(cpu)
                peaks = worker_peaks(client)
            with started(1, paths) as client:
                wall, cpu, _ = run(lambda: dataset.summarize_dataset(paths, client=client), client)
                times["one"].append(wall), cpus["one"].append(cpu)
            wall, cpu, _ = run(lambda: dataset.summarize_dataset(paths))
            times["own"].append(wall), cpus["own"].append(cpu)
        bad = [g["path"] for g, w in zip(got, want) if g["event_count"] != w["event_count"]
               or g["hot_count"] != w["hot_count"] or g["rate_peak"] != w["rate_peak"]]
        loop_s, two_s, one_s, own_s = (statistics.median(times[k]) for k in ("loop", "two", "one", "own"))
        cpu = {k: statistics.median(v) for k, v in cpus.items()}
        target = 4.0 if name == "big" else 2.0
        ratio, scaling = loop_s / two_s, one_s / two_s
        print(f"  events {sum(w['event_count'] for w in want) / 1e6:.0f} M; medians of {args.repeat} runs;"
              " CPU = this process and the cluster's workers")
        print(f"  plain loop (read_events + NumPy) {loop_s:7.2f} s  {len(paths) / loop_s:8.0f} files/s"
              f"  CPU {cpu['loop']:6.2f} s")
        print(f"  two workers                      {two_s:7.2f} s  {len(paths) / two_s:8.0f} files/s"
              f"  CPU {cpu['two']:6.2f} s  {ratio:5.2f}x the loop (target {target:.0f}x)")
        print(f"  one worker                       {one_s:7.2f} s  {len(paths) / one_s:8.0f} files/s"
              f"  CPU {cpu['one']:6.2f} s  two workers {scaling:.2f}x one (target 1.6x)")
        print(f"  default local cluster            {own_s:7.2f} s  {len(paths) / own_s:8.0f} files/s"
              f"  CPU {cpu['own']:6.2f} s  adds {own_s - two_s:+.2f} s (target <= 2 s)")
        print("  runs (s): " + "; ".join(f"{k} " + " ".join(f"{v:.2f}" for v in times[k]) for k in times))
        print("  peak memory per worker: " + ", ".join(f"{v / 2**20:.0f} MiB" for v in peaks.values())
              + f"; {load()}")
        if bad:
            print(f"  MISMATCH with the loop on {len(bad)} files, e.g. {bad[0]}")
        ok &= not bad and ratio >= target and scaling >= 1.6 and own_s - two_s <= 2.0
    print("\nall targets met" if ok else "\nsome targets missed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
