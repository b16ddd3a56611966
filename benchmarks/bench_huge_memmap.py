"""Frame a memory-mapped recording larger than the free RAM, with bounded memory.

    python benchmarks/bench_huge_memmap.py [--dir DIR] [--gib N]

Writes a sparse recording (no disk space is used: the file is a hole, every record an OFF event
at (0, 0), plus a few ON events at the end) of N GiB, by default 1.25 times the available memory,
into DIR (default: the system temporary directory), and frames it through a read-only memory map.
Prints the throughput, the growth of anonymous memory (copies of the data would show there), the
peak resident memory (file pages that the kernel may drop count too), and, as the baseline, the
throughput of the NumPy transcription on a 20-million-event slice with the ratio between the two.
The file is removed at the end.
"""
import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from tests.support import binning_oracle as oracle  # noqa: E402
from common import _status, mib  # noqa: E402

from zelq.viz import spikes  # noqa: E402

EV_DTYPE = np.dtype([("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")])


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", default=tempfile.gettempdir())
    ap.add_argument("--gib", type=float, default=None)
    args = ap.parse_args()
    with open("/proc/meminfo") as f:
        available = next(int(line.split()[1]) << 10 for line in f if line.startswith("MemAvailable:"))
    size = int((args.gib or 1.25 * available / 2**30) * 2**30)
    n = size // EV_DTYPE.itemsize
    path = Path(args.dir) / f"zelqviz-huge-{os.getpid()}.bin"
    try:
        with open(path, "wb") as f:
            f.truncate(n * EV_DTYPE.itemsize)
        tail = np.memmap(path, EV_DTYPE, mode="r+", offset=(n - 3) * EV_DTYPE.itemsize, shape=(3,))
        tail["x"], tail["y"], tail["t"], tail["p"] = 5, 3, 1000, 1
        tail.flush()
        del tail

        events = np.memmap(path, EV_DTYPE, mode="r")
        anon0 = _status("RssAnon")
        Path("/proc/self/clear_refs").write_text("5")
        rss0 = _status("VmRSS")
        t0 = time.perf_counter()
        frames = spikes.events_to_frames(events, (8, 4), 2)
        seconds = time.perf_counter() - t0
        anon = _status("RssAnon") - anon0
        peak = _status("VmHWM") - rss0
        assert frames[0, 1, 0, 0] == np.float32(n - 3) and frames[1, 0, 3, 5] == 3

        piece = np.asarray(events[: 20_000_000])
        t1 = time.perf_counter()
        oracle.frames(piece, (8, 4), 2)
        base_rate = len(piece) / (time.perf_counter() - t1)
        del events, piece
    finally:
        path.unlink(missing_ok=True)

    rate = n / seconds
    print(f"recording: {size / 2**30:.1f} GiB, {n / 1e6:.0f} M events; available memory {available / 2**30:.1f} GiB")
    print(f"native framing through the memory map: {seconds:.1f} s, {rate / 1e6:.0f} M events/s")
    print(f"anonymous memory growth: {mib(anon):.1f} MiB; peak resident growth incl. file pages: {mib(peak):.0f} MiB")
    print(f"baseline (NumPy transcription, 20 M events in memory): {base_rate / 1e6:.1f} M events/s; "
          f"ratio {rate / base_rate:.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
