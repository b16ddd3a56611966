"""Windows of a long AEDAT 4 recording read by its data table, and of the same packets without
a table by a native survey, against the survey of the record pieces that both took before (the
baseline, timed in the same run).

    python benchmarks/bench_aedat4_window.py [--seconds 60] [--rate 1e6] [--repeat 5] [--dir DIR]

Writes (once, kept in --dir) a seeded HD scene in LZ4 packets of 20k events with the data
table after them, as camera software leaves it, and a copy without the table, then times,
interleaved, read_events of a 100 ms window at 5 s and 5 s before the end, and iter_events of
the late one: by the table (and the late read of the copy, by the native survey), and by the
survey of the record pieces. Prints medians of wall and CPU time (this process, all threads),
their ratios, and the load average before and after; a read pass (a.max() over the window's
packets' bytes) shows the floor.
"""
from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent), str(HERE.parent / "src")]

import numpy as np  # noqa: E402
from common import machine  # noqa: E402
from synth_recording import synth_chunks  # noqa: E402

from tests.support import writers  # noqa: E402
from zelq.viz import iter_events, read_events  # noqa: E402
from zelq.viz.recordings import _aedat4, _pieces  # noqa: E402
from zelq.viz.recordings._registry import File, Window  # noqa: E402

PACKET = 20_000


def write(path: Path, seconds: float, rate: float) -> int:
    import lz4.frame
    header = bytearray(writers._aedat_header(writers._aedat_info(1280, 720)))
    parts, entries, count = [b"#!AER-DAT4.0\r\n", len(header).to_bytes(4, "little"), header], [], 0
    at = 18 + len(header)
    for ev in synth_chunks(seconds, rate, seed=5, width=1280, height=720, t_start=1_600_000_000_000_000):
        p = (ev["p"] > 0).astype(np.uint8)
        for lo in range(0, len(ev), PACKET):
            part = slice(lo, lo + PACKET)
            data = writers._aedat_packet(ev["x"][part], ev["y"][part], ev["t"][part], p[part])
            parts += [np.array([0, len(data)], "<i4").tobytes(), data]
            t = ev["t"][part]
            entries.append((at + 8, 0, len(data), len(t), int(t[0]), int(t[-1])))
            at += 8 + len(data)
        count += len(ev)
    parts.append(lz4.frame.compress(writers._aedat_table(entries)))
    header[40:48] = at.to_bytes(8, "little", signed=True)
    path.write_bytes(b"".join(parts))
    return count


def timed(call):
    w0, c0 = time.perf_counter(), time.process_time()
    n = call()
    return n, time.perf_counter() - w0, time.process_time() - c0


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--rate", type=float, default=1e6)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--dir", type=Path)
    args = ap.parse_args()
    print(f"{machine()}; load average {os.getloadavg()[0]:.1f}")
    with tempfile.TemporaryDirectory() as tmp:
        folder = args.dir or Path(tmp)
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / f"window_{args.seconds:g}s_{args.rate:g}.aedat4"
        if not path.exists():
            print(f"wrote {write(path, args.seconds, args.rate):,} events")
        file = File(path, ".aedat4", b"", path.stat().st_size)
        print(f"{path.name}: {file.size / 2**20:,.0f} MiB")
        bare = path.with_name(path.stem + "_no_table.aedat4")
        if not bare.exists():
            data = bytearray(path.read_bytes())
            at = int.from_bytes(data[58:66], "little", signed=True)
            data[58:66] = (-1).to_bytes(8, "little", signed=True)
            bare.write_bytes(bytes(data[:at]))
        bare_file = File(bare, ".aedat4", b"", bare.stat().st_size)
        late = int(args.seconds * 1e6) - 5_000_000
        survey_file = _aedat4._piece_file(file)
        rows = {}
        for at in (5_000_000, late):
            w = Window(at, 100_000)
            rows[f"read_events, 100 ms at {at / 1e6:g} s"] = (
                lambda at=at: len(read_events(path, start=at, duration=100_000)),
                lambda w=w: len(_pieces.read(survey_file, w)))
        w = Window(late, 100_000)
        rows[f"read_events without a table, 100 ms at {late / 1e6:g} s"] = (
            lambda: len(read_events(bare, start=late, duration=100_000)),
            lambda: len(_pieces.read(_aedat4._piece_file(bare_file), w)))
        rows[f"iter_events, 100 ms at {late / 1e6:g} s"] = (
            lambda: sum(map(len, iter_events(path, start=late, duration=100_000))),
            lambda: sum(map(len, _pieces.iterate(survey_file, w, 65_536))))
        for name, (ours, survey) in rows.items():
            got: dict = {"table": [], "survey": []}
            counts = set()
            for i in range(args.repeat):
                for kind, call in (("table", ours), ("survey", survey))[::1 if i % 2 else -1]:
                    n, wall, cpu = timed(call)
                    counts.add(n)
                    got[kind].append((wall, cpu))
            if len(counts) != 1:
                raise SystemExit(f"{name}: the routes read {sorted(counts)} events")
            med = {k: [statistics.median(c) for c in zip(*v)] for k, v in got.items()}
            print(f"  {name} ({counts.pop():,} events): ours {med['table'][0] * 1e3:7.1f} ms wall "
                  f"({med['table'][1] * 1e3:6.1f} CPU), record pieces {med['survey'][0] * 1e3:7.1f} ms "
                  f"({med['survey'][1] * 1e3:6.1f} CPU): {med['survey'][0] / med['table'][0]:.1f}x wall, "
                  f"{med['survey'][1] / med['table'][1]:.1f}x CPU")
        plan = _aedat4._Plan(file, (1280, 720))
        first = plan.first_inside()
        picked = plan.table.overlapping(first + late, first + late + 100_000)
        plan.close()
        data = np.memmap(path, np.uint8, "r")
        lo, hi = int(picked[0, 0]), int(picked[-1, 0] + 8 + picked[-1, 1])
        floor = min(timed(lambda: int(data[lo:hi].max()))[1] for _ in range(args.repeat))
        print(f"  read pass over the late window's {len(picked)} packets ({(hi - lo) / 2**20:.1f} MiB): "
              f"{floor * 1e3:.2f} ms")
    print(f"load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
