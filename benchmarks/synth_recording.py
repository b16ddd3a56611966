"""A seeded synthetic HD event recording: moving shapes plus noise, written in chunks.

    python benchmarks/synth_recording.py OUT.raw --seconds 60 --rate 6.7e6
    python benchmarks/synth_recording.py OUT.raw --preset b      # 60 s, 400 M events
    python benchmarks/synth_recording.py OUT.dat --preset a --format dat

Presets: a = 12.5 s, 111 M events; b = 60 s, 400 M; h = 1 h, 180 M (all 1280 x 720).
Circles drift and bounce across the sensor; their edges fire in short horizontal bursts
(one time, one row, rising x: what EVT 3 vector words carry), the leading edge ON and the
trailing edge OFF, over uniform noise. Events are generated and written about two
million at a time, so memory stays bounded whatever the length. The same seed gives
the same file. Formats: evt3 (default), evt2, evt21, dat, aedat4 (LZ4 packets, as cameras write
them: linked 64 KiB blocks, no sizes) and aedat4_stored (uncompressed packets).

Benchmarks import `write_recording` and `synth_chunks` (add this directory and the
tests directory to sys.path).
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Iterator

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from tests.support import writers  # noqa: E402

PRESETS = {"a": (12.5, 111e6), "b": (60.0, 400e6), "h": (3600.0, 180e6)}
CHUNK_EVENTS = 1_000_000
AEDAT4_PACKET = 20_000
# Each AEDAT 4 form's lz4.frame.compress options (False: stored; "zstd": ZSTD at level 3, the
# zstandard package's default, as the DV software may write them).
AEDAT4 = {"aedat4": {"block_linked": True, "store_size": False}, "aedat4_stored": False, "aedat4_zstd": "zstd"}
_AEDAT4_CODE = {"aedat4": 1, "aedat4_stored": 0, "aedat4_zstd": 3}


def _shapes(rng: np.random.Generator, n: int, width: int, height: int) -> dict:
    return {
        "x0": rng.uniform(0, width, n), "y0": rng.uniform(0, height, n),
        "vx": rng.uniform(-400, 400, n), "vy": rng.uniform(-250, 250, n),  # px/s
        "r": rng.uniform(20, 120, n),
    }


def _bounce(pos: np.ndarray, size: int) -> np.ndarray:
    """Position reflected off the borders of [0, size)."""
    period = 2.0 * size
    m = np.mod(pos, period)
    return np.where(m < size, m, period - m)


def synth_chunks(seconds: float, rate: float, *, seed: int = 0, width: int = 1280, height: int = 720,
                 noise: float = 0.2, n_shapes: int = 12, t_start: int = 0) -> Iterator[np.ndarray]:
    """Record arrays of the scene, times rising, about CHUNK_EVENTS events each."""
    rng = np.random.default_rng(seed)
    shapes = _shapes(rng, n_shapes, width, height)
    total_us = int(seconds * 1e6)
    slice_us = max(1, min(total_us, int(CHUNK_EVENTS / rate * 1e6)))
    mean_burst = 3.5
    for a in range(0, total_us, slice_us):  # one iteration per chunk
        b = min(a + slice_us, total_us)
        n_events = rng.poisson(rate * (b - a) / 1e6)
        n_noise = rng.binomial(n_events, noise)
        n_bursts = int((n_events - n_noise) / mean_burst)
        units = n_noise + n_bursts
        t_unit = np.sort(rng.integers(a, b, units)) + t_start
        is_burst = rng.random(units) >= n_noise / max(units, 1)
        length = np.where(is_burst, rng.integers(1, 7, units), 1)
        # Noise units: one event anywhere.
        x = rng.integers(0, width, units).astype(np.float64)
        y = rng.integers(0, height, units).astype(np.float64)
        p = rng.integers(0, 2, units)
        # Burst units: a point on a shape's edge at the unit's time.
        k = rng.integers(0, n_shapes, units)
        theta = rng.uniform(0, 2 * np.pi, units)
        secs = (t_unit - t_start) / 1e6
        vx, vy = shapes["vx"][k], shapes["vy"][k]
        cx = _bounce(shapes["x0"][k] + vx * secs, width)
        cy = _bounce(shapes["y0"][k] + vy * secs, height)
        ex, ey = cx + shapes["r"][k] * np.cos(theta), cy + shapes["r"][k] * np.sin(theta)
        leading = np.cos(theta) * vx + np.sin(theta) * vy > 0
        x = np.where(is_burst, np.floor(ex), x)
        y = np.where(is_burst, np.floor(ey), y)
        p = np.where(is_burst, leading, p)
        # Expand bursts along the row.
        rep = np.repeat(np.arange(units), length)
        step = np.arange(len(rep)) - np.repeat(np.cumsum(length) - length, length)
        xs = x[rep] + step
        ys = y[rep]
        keep = (xs >= 0) & (xs < width) & (ys >= 0) & (ys < height)
        yield writers.records(xs[keep], ys[keep], t_unit[rep][keep], p[rep][keep])


def write_recording(path, seconds: float, rate: float, *, fmt: str = "evt3", seed: int = 0,
                    width: int = 1280, height: int = 720, t0: int = 0, vectors: bool = True) -> int:
    """Write the scene to `path`; returns the number of events written."""
    path = Path(path)
    count = 0
    carry = None
    with open(path, "wb") as f:
        if fmt == "dat":
            f.write(writers.dat(writers.records([], [], [], []), geometry=(width, height)))
        elif fmt in AEDAT4:
            header = writers._aedat_header(writers._aedat_info(width, height), _AEDAT4_CODE[fmt])
            f.write(b"#!AER-DAT4.0\r\n" + len(header).to_bytes(4, "little") + header)
        else:
            f.write(writers.evt_header(fmt, (width, height), t0 or None))
        for ev in synth_chunks(seconds, rate, seed=seed, width=width, height=height, t_start=t0):
            count += len(ev)
            if fmt == "dat":
                f.write(writers.dat_records(ev))
                continue
            if fmt in AEDAT4:  # packets of AEDAT4_PACKET events
                p = (ev["p"] > 0).astype(np.uint8)
                for lo in range(0, len(ev), AEDAT4_PACKET):
                    part = slice(lo, lo + AEDAT4_PACKET)
                    zstd = AEDAT4[fmt] == "zstd"
                    data = writers._aedat_packet(ev["x"][part], ev["y"][part], ev["t"][part], p[part],
                                                 False if zstd else AEDAT4[fmt])
                    if zstd:
                        import zstandard
                        data = zstandard.ZstdCompressor().compress(data)
                    f.write(np.array([0, len(data)], "<i4").tobytes() + data)
                continue
            if fmt == "evt3":
                words, carry = writers.evt3_words(ev, carry, t0=t0 or None, vectors=vectors)
            elif fmt == "evt21":
                words, carry = writers.evt21_words(ev, carry, t0=t0 or None, vectors=vectors)
            else:
                words, carry = writers.evt2_words(ev, carry, t0=t0 or None)
            words.tofile(f)
    return count


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("out", type=Path)
    ap.add_argument("--preset", choices=sorted(PRESETS))
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--rate", type=float, default=6.7e6, help="events per second")
    ap.add_argument("--format", choices=["evt3", "evt2", "evt21", "dat"], default="evt3")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--t0", type=int, default=0, help="header '%% t0' (EVT formats)")
    args = ap.parse_args()
    seconds, rate = PRESETS[args.preset] if args.preset else (args.seconds, args.rate)
    if args.preset:
        rate /= seconds
    n = write_recording(args.out, seconds, rate, fmt=args.format, seed=args.seed, t0=args.t0)
    print(f"{args.out}: {n:,} events over {seconds:g} s, {args.out.stat().st_size / 2**20:,.1f} MiB")


if __name__ == "__main__":
    main()
