"""Peak memory of `zelqviz events` and `iter_events` on a long AEDAT 4 recording, which is read
packet by packet (target: at most 512 MB for 20 minutes of 640 x 480).

    python benchmarks/bench_aedat4_memory.py [--minutes 20] [--rate 50000] [--keep FILE]

Writes a seeded synthetic recording (moving shapes plus noise, LZ4 packets of 20k events), then
runs each measurement in a fresh interpreter and reads its peak resident set (VmHWM):
the baseline is a read pass (a.max() over the file's bytes, a slice at a time) in the same
kind of process; read_events, which holds the whole recording, is shown for scale.
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent))

import numpy as np  # noqa: E402

from tests.support import writers  # noqa: E402
from synth_recording import synth_chunks  # noqa: E402

TARGET_MB = 512
PACKET = 20_000

_PROBE = r"""
import sys, time
path, job = sys.argv[1], sys.argv[2]
t0 = time.perf_counter()
if job == "pass":
    import mmap, numpy as np
    import zelq.viz  # noqa: F401  (the same imports as the others)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        top = 0
        for at in range(0, len(mm) - len(mm) % 8, 16 << 20):
            a = np.frombuffer(mm, np.uint8, min(16 << 20, len(mm) - at), at)
            top = max(top, int(a.max()))
            del a
            mm.madvise(mmap.MADV_DONTNEED, at, min(16 << 20, len(mm) - at))
elif job == "iter":
    from zelq.viz import iter_events
    n = sum(len(piece) for piece in iter_events(path))
elif job == "read":
    from zelq.viz import read_events
    n = len(read_events(path))
else:
    from zelq.viz.cli import main
    main(["events", path, "-q", "-o", sys.argv[3]])
# VmHWM, not ru_maxrss: the latter keeps the forking parent's peak across exec.
hwm = [int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmHWM:")][0]
print(hwm, time.perf_counter() - t0)
"""


def write_aedat4(path: Path, minutes: float, rate: float) -> int:
    """The scene at 640 x 480, streamed to the file a packet at a time; returns the event count."""
    count = 0
    with open(path, "wb") as f:
        header = writers._aedat_header(writers._aedat_info(640, 480))
        f.write(b"#!AER-DAT4.0\r\n" + len(header).to_bytes(4, "little") + header)
        for ev in synth_chunks(minutes * 60, rate, width=640, height=480, seed=4, t_start=1_600_000_000_000_000):
            p = (ev["p"] > 0).astype(np.uint8)
            for lo in range(0, len(ev), PACKET):
                part = slice(lo, lo + PACKET)
                data = writers._aedat_packet(ev["x"][part], ev["y"][part], ev["t"][part], p[part])
                f.write(np.array([0, len(data)], "<i4").tobytes() + data)
            count += len(ev)
    return count


def probe(job: str, path: Path, out: Path) -> tuple:
    env = dict(os.environ, PYTHONPATH=str(HERE.parent / "src") + os.pathsep + os.environ.get("PYTHONPATH", ""))
    r = subprocess.run([sys.executable, "-c", _PROBE, str(path), job, str(out)], capture_output=True, text=True,
                       env=env, check=True)
    peak, seconds = r.stdout.split()[-2:]
    return int(peak), float(seconds)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--minutes", type=float, default=20.0)
    ap.add_argument("--rate", type=float, default=50_000.0, help="events per second")
    ap.add_argument("--keep", type=Path, help="write the recording here and keep it")
    ap.add_argument("--no-read", action="store_true", help="skip read_events (which holds the whole recording)")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = args.keep or Path(tmp) / "long.aedat4"
        if not path.exists():
            t0 = time.perf_counter()
            n = write_aedat4(path, args.minutes, args.rate)
            print(f"wrote {n:,} events ({args.minutes:g} min, 640 x 480) in {path.stat().st_size / 1e6:,.0f} MB "
                  f"in {time.perf_counter() - t0:.0f} s")
        base, base_s = probe("pass", path, Path(tmp) / "x")
        print(f"read pass (a.max() over the bytes): peak {base / 2**20:,.0f} MiB, {base_s:.1f} s")
        jobs = ["events", "iter"] + ([] if args.no_read else ["read"])
        for job in jobs:
            peak, seconds = probe(job, path, Path(tmp) / "page.html")
            verdict = f" (target {TARGET_MB} MB: {'met' if peak <= TARGET_MB * 1e6 else 'MISSED'})" \
                if job == "events" else ""
            label = {"events": "zelqviz events", "iter": "iter_events pass", "read": "read_events (whole)"}[job]
            print(f"{label}: peak {peak / 2**20:,.0f} MiB = {peak / base:.2f} x the read pass; "
                  f"{seconds:.1f} s = {seconds / base_s:.1f} x{verdict}")


if __name__ == "__main__":
    main()
