"""Whole-file readers and streams against the peers, on one synthetic HD scene in three formats.

    python benchmarks/bench_readers.py [--events 12e6] [--repeat 5] [--formats evt3,evt2,dat,aedat4,aedat4_stored] [--dir DIR]
                                       [--small 100K,1M,4M,16M] [--small-formats evt2,dat]

Writes the seeded scene of synth_recording.py (1280 x 720, moving shapes over noise) as
EVT 3.0, EVT 2.0, DAT and AEDAT 4 (LZ4 packets as cameras write them, and uncompressed
packets; aedat4_zstd: ZSTD packets, needing zstandard) files of about --events events (kept in --dir when given, so a
second run skips the writing), then times, on each file, in one process and interleaved
(each round runs every reader once; the best round and the median are printed, with the range):
  read_events    our whole read (one record array)
  read_events@1  the same with the process held to one core (its threads share it)
  read_events/unbacked  AEDAT 4: the whole read without backing its array's pages ahead
                 (the page policy's baseline)
  evt3           evt3.decode_file (EVT 3.0 only; NumPy columns)
  expelliarmus   Wizard(encoding).read (one structured array; not AEDAT 4)
  aedat          aedat.Decoder, its packets' events joined into one array (AEDAT 4 only)
  iter_events    our stream, 64 Ki-event pieces, each dropped
  faery          faery.events_stream_from_file, each packet dropped
Peers are timed only when installed; they are never dependencies. Each reader's first
result is checked to hold the file's event count. Printed: M events/s (best, and the range
over rounds), best and median times, and their ratios, of best times and of medians:
read_events against the fastest whole-file peer, iter_events against faery's stream.
Targets: both at least 1.5x.
Small files (--small, sizes in bytes with K or M; '' for none) of the same scene, in the
--small-formats, are read whole by read_events and the peers' whole-file readers many times
a round (about 20 ms of calls), interleaved the same way: printed per call, in µs of wall
and of CPU time, with the ratios (the fixed costs of a read: opening, the header, allocation).
On a shared machine the wall times drift with the load; CPU times (this process, all
threads: user and system, the system part mostly page faults of the output) and the page
faults (fewest over rounds) are printed beside them, with the events per CPU second, and the
load average before and after.
"""
from __future__ import annotations

import argparse
import os
import resource
import sys
import tempfile
import time
from pathlib import Path
from statistics import median

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "src")]

import numpy as np  # noqa: E402
from common import machine  # noqa: E402
from synth_recording import write_recording  # noqa: E402

from zelq.viz import iter_events, read_events  # noqa: E402

SUFFIX = {"evt3": ".raw", "evt2": ".raw", "dat": ".dat", "aedat4": ".aedat4", "aedat4_stored": ".aedat4",
          "aedat4_zstd": ".aedat4"}
RATE = 8.9e6  # events per second of the scene: about the 12.5 s, 111 M-event preset


def peer(name):
    try:
        return __import__(name)
    except ImportError:
        return None


def on_one_core(call):
    """call, with this process held to one of the cores it may use."""
    def pinned():
        allowed = os.sched_getaffinity(0)
        os.sched_setaffinity(0, {min(allowed)})
        try:
            return call()
        finally:
            os.sched_setaffinity(0, allowed)
    return pinned


def unbacked(path):
    """An AEDAT 4 whole read whose array takes its page faults as the records land."""
    from zelq.viz.recordings import _aedat4

    def call():
        _aedat4.BACK_PAGES = False
        try:
            return len(read_events(path))
        finally:
            _aedat4.BACK_PAGES = True
    return call


def readers(fmt, path):
    """(name, kind, call returning the number of events) for each reader of this file."""
    out = [("read_events", "whole", lambda: len(read_events(path)))]
    if hasattr(os, "sched_setaffinity") and len(os.sched_getaffinity(0)) > 1:
        out.append(("read_events@1", "whole", on_one_core(out[0][2])))
    if fmt.startswith("aedat4"):
        out.append(("read_events/unbacked", "whole", unbacked(path)))
    evt3 = peer("evt3")
    if evt3 is not None and fmt == "evt3":
        out.append(("evt3", "whole", lambda: len(evt3.decode_file(str(path)).t)))
    aedat = peer("aedat")
    if aedat is not None and fmt.startswith("aedat4"):
        def aedat_whole():  # its packets' events joined into one array: a whole read
            parts = [p["events"] for p in aedat.Decoder(str(path)) if "events" in p]
            return len(np.concatenate(parts))
        out.append(("aedat", "whole", aedat_whole))
    expelliarmus = peer("expelliarmus")
    if expelliarmus is not None and not fmt.startswith("aedat4"):
        wizard = expelliarmus.Wizard(encoding=fmt)
        out.append(("expelliarmus", "whole", lambda: len(wizard.read(str(path)))))
    out.append(("iter_events", "stream", lambda: sum(len(piece) for piece in iter_events(path))))
    faery = peer("faery")
    if faery is not None:
        out.append(("faery", "stream", lambda: sum(len(p) for p in faery.events_stream_from_file(str(path)))))
    return out


def parse_size(text):
    text = text.strip().upper()
    scale = {"K": 1 << 10, "M": 1 << 20}.get(text[-1:], 1)
    return int(float(text.rstrip("KM")) * scale)


def write_sized(path, fmt, size):
    """The scene in `fmt`, its length chosen so that the file holds about `size` bytes; returns
    its event count (one writing to measure the bytes per second of scene, one at the length)."""
    seconds = size / 4 / RATE  # a first guess: 4 bytes an event
    write_recording(path, seconds, RATE, fmt=fmt)
    seconds *= size / max(path.stat().st_size, 1)
    return write_recording(path, seconds, RATE, fmt=fmt)


def bench_small(fmt, path, expected, repeat):
    whole = [(name, call) for name, kind, call in readers(fmt, path) if kind == "whole" and name != "read_events@1"]
    reps = max(1, int(2e6 / max(expected, 1)))
    wall = {name: float("inf") for name, _ in whole}
    cpu = dict(wall)
    for _ in range(repeat):
        for name, call in whole:
            w0, c0 = time.perf_counter(), time.process_time()
            for _ in range(reps):
                n = call()
            w, c = (time.perf_counter() - w0) / reps, (time.process_time() - c0) / reps
            if n != expected:
                raise SystemExit(f"{name} read {n:,} events of {path.name}, not {expected:,}")
            wall[name], cpu[name] = min(wall[name], w), min(cpu[name], c)
    line = f"  {fmt.upper():7s} {path.stat().st_size / 1024:8,.0f} KiB {expected:9,} events:"
    for name, _ in whole:
        line += f"  {name} {wall[name] * 1e6:8.0f} us ({cpu[name] * 1e6:7.0f} CPU)"
    print(line)
    for name, _ in whole:
        if name != "read_events":
            print(f"{'':40s}read_events / {name}: {wall[name] / wall['read_events']:.2f}x wall, "
                  f"{cpu[name] / cpu['read_events']:.2f}x CPU")


def timed(call):
    r0, w0 = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    n = call()
    w1, r1 = time.perf_counter(), resource.getrusage(resource.RUSAGE_SELF)
    user, system = r1.ru_utime - r0.ru_utime, r1.ru_stime - r0.ru_stime
    return n, w1 - w0, user + system, system, r1.ru_minflt - r0.ru_minflt


def bench(fmt, path, expected, repeat):
    rows = readers(fmt, path)
    walls = {name: [] for name, _, _ in rows}
    cpus = {name: [] for name, _, _ in rows}
    systems = {name: [] for name, _, _ in rows}
    faults = {name: [] for name, _, _ in rows}
    for _ in range(repeat):
        for name, _, call in rows:
            n, wall, cpu, system, flt = timed(call)
            if n != expected:
                raise SystemExit(f"{name} read {n:,} events of {path.name}, not {expected:,}")
            walls[name].append(wall)
            cpus[name].append(cpu)
            systems[name].append(system)
            faults[name].append(flt)
    print(f"\n{fmt.upper()} ({path.stat().st_size / 2**20:,.0f} MiB, {expected:,} events)")
    for name, kind, _ in rows:
        w, c = walls[name], cpus[name]
        print(f"  {name:13s} {kind:6s} {expected / min(w) / 1e6:7.1f} M ev/s  (range {expected / max(w) / 1e6:6.1f}"
              f"-{expected / min(w) / 1e6:6.1f}; best {min(w) * 1e3:7.0f} ms wall, {min(c) * 1e3:7.0f} ms CPU"
              f" of which {min(systems[name]) * 1e3:5.0f} ms system, {min(faults[name]):,} page faults;"
              f" median {median(w) * 1e3:7.0f} ms wall, {median(c) * 1e3:7.0f} ms CPU;"
              f" {expected / min(c) / 1e6:.1f} M ev per CPU second)")

    def ratio(peer, ours, note=""):
        print(f"  {ours} / {peer}: {min(walls[peer]) / min(walls[ours]):.2f}x wall, "
              f"{min(cpus[peer]) / min(cpus[ours]):.2f}x CPU (best); {median(walls[peer]) / median(walls[ours]):.2f}x "
              f"wall, {median(cpus[peer]) / median(cpus[ours]):.2f}x CPU (median){note}")

    whole = [name for name, kind, _ in rows if kind == "whole" and not name.startswith("read_events")]
    if whole:
        fastest = min(whole, key=lambda name: min(walls[name]))
        ratio(fastest, "read_events", " (target 1.5x)")
        if "read_events/unbacked" in walls:
            ratio("read_events/unbacked", "read_events")
        if "read_events@1" in walls:
            ratio(fastest, "read_events@1")
    if "faery" in walls:
        ratio("faery", "iter_events", " (target 1.5x)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--events", type=float, default=12e6)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--formats", default="evt3,evt2,dat,aedat4,aedat4_stored")
    ap.add_argument("--dir", type=Path, help="keep the files here (and reuse them)")
    ap.add_argument("--small", default="100K,1M,4M,16M", help="sizes of the small files ('' for none)")
    ap.add_argument("--small-formats", default="evt2,dat")
    args = ap.parse_args()
    seconds = args.events / RATE
    print(f"{machine()}; load average {os.getloadavg()[0]:.1f}")
    with tempfile.TemporaryDirectory() as tmp:
        folder = args.dir or Path(tmp)
        folder.mkdir(parents=True, exist_ok=True)
        for fmt in filter(None, args.formats.split(",")):
            path = folder / f"scene_{args.events:.0f}_{fmt}{SUFFIX[fmt]}"
            count = folder / (path.name + ".count")
            if not (path.exists() and count.exists()):
                count.write_text(str(write_recording(path, seconds, RATE, fmt=fmt)))
            bench(fmt, path, int(count.read_text()), args.repeat)
        sizes = [parse_size(v) for v in args.small.split(",") if v.strip()]
        if sizes:
            print("\nSmall files, read whole (per call)")
        for size in sizes:
            for fmt in args.small_formats.split(","):
                path = folder / f"small_{size}_{fmt}{SUFFIX[fmt]}"
                count = folder / (path.name + ".count")
                if not (path.exists() and count.exists()):
                    count.write_text(str(write_sized(path, fmt, size)))
                bench_small(fmt, path, int(count.read_text()), args.repeat)
    print(f"\nload average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
