"""Writers of event arrays (fields x, y, t, p; p > 0 is ON) to the recording formats the
package reads: EVT 2.0, EVT 2.1, EVT 3.0, DAT v2, N-MNIST .bin and AEDAT 4.

Each `<format>(events, ...)` returns the file's bytes; `write(path, events, fmt, ...)`
writes them. Everything is vectorized: words are built per event (or per vector run)
with NumPy, never in a Python loop per event. Times are written as given, minus `t0`
when a header `% t0` is asked for, so reading a file back gives the array written.

Clocks that wrap (EVT 2's 34 bits, EVT 3's 24 bits every 2**24 us, DAT's 32 bits,
N-MNIST's 23 bits) are written the way a camera writes them: the counter value modulo
its range, with extra time-high words over long gaps so that every step a decoder sees
is below half the counter's range, and N-MNIST overflow records (y = 240, +2**13 us).

The EVT encoders take and return a `carry` (the last time-high, time and row written),
so a long recording can be written chunk by chunk: see benchmarks/synth_recording.py.
"""
from __future__ import annotations

from pathlib import Path
from typing import Optional, Sequence, Tuple

import numpy as np
from tests.support.decoders import EVENT_DTYPE

Geometry = Optional[Tuple[int, int]]

EVT_VERSIONS = {"evt2": ("2.0", "EVT2"), "evt21": ("2.1", "EVT21"), "evt3": ("3.0", "EVT3")}


def _columns(events, t0: Optional[int] = None):
    x = np.asarray(events["x"], np.int64)
    y = np.asarray(events["y"], np.int64)
    t = np.asarray(events["t"], np.int64) - (t0 or 0)
    p = (np.asarray(events["p"]) > 0).astype(np.int64)
    if len(t) and t.min() < 0:
        raise ValueError("times before t0 cannot be written")
    return x, y, t, p


def _assemble(parts: Sequence[Tuple[np.ndarray, np.ndarray]], dtype) -> np.ndarray:
    """Interleave per-unit word groups: unit by unit, and within a unit the parts in order.

    Each part is (count per unit, its words for all units in unit order)."""
    counts = np.stack([np.asarray(c, np.int64) for c, _ in parts])
    total = counts.sum(0)
    unit_start = np.cumsum(total) - total
    part_start = np.cumsum(counts, 0) - counts
    out = np.empty(int(total.sum()), dtype)
    for k, (c, words) in enumerate(parts):
        c = counts[k]
        within = np.arange(len(words)) - np.repeat(np.cumsum(c) - c, c)
        out[np.repeat(unit_start + part_start[k], c) + within] = words
    return out


def _time_highs(high: np.ndarray, before: np.ndarray, step: int) -> Tuple[np.ndarray, np.ndarray]:
    """(words per unit, unwrapped time-high values) to write before each unit.

    A unit whose time-high differs from the one before gets its own; a forward gap
    of `step` or more gets fillers in between, so no step reaches half the range."""
    changed = high != before
    gap = np.where(changed & (before >= 0), high - before, 0)
    fill = np.where(gap > 0, (gap - 1) // step, 0)
    counts = changed.astype(np.int64) + fill
    r = np.arange(int(counts.sum())) - np.repeat(np.cumsum(counts) - counts, counts)
    values = np.where(r < np.repeat(fill, counts), np.repeat(before, counts) + step * (r + 1),
                      np.repeat(high, counts))
    return counts, values


def _runs(key: np.ndarray, x: np.ndarray, block: Optional[int]) -> np.ndarray:
    """Start index of each run of events that one vector word (group) can carry:
    equal key, x strictly rising, all in one aligned block of `block` pixels."""
    n = len(x)
    if block is None or n == 0:
        return np.arange(n)
    brk = np.ones(n, bool)
    brk[1:] = (key[1:] != key[:-1]) | (x[1:] <= x[:-1]) | (x[1:] // block != x[:-1] // block)
    return np.flatnonzero(brk)


def _carry_in(carry):
    return (-1, -1, -1) if carry is None else (carry["high"], carry["t"], carry["y"])


# ---------------------------------------------------------------- EVT 2.0 / 2.1

def evt2_words(events, carry=None, t0=None) -> Tuple[np.ndarray, dict]:
    """EVT 2.0 words (<u4) of the events, and the carry for the next chunk."""
    x, y, t, p = _columns(events, t0)
    prev_high, _, _ = _carry_in(carry)
    high = t >> 6
    n_high, highs = _time_highs(high, np.r_[prev_high, high[:-1]], (1 << 27) - 1)
    cd = (p << 28) | ((t & 63) << 22) | (x << 11) | y
    words = _assemble([(n_high, (0x8 << 28) | (highs & 0x0FFFFFFF)), (np.ones(len(t), np.int64), cd)], "<u4")
    return words, _carry_out(carry, high, t, y)


def evt21_words(events, carry=None, t0=None, vectors=True) -> Tuple[np.ndarray, dict]:
    """EVT 2.1 words (<u8): events of one time, row and polarity in one 32-pixel block share a word."""
    x, y, t, p = _columns(events, t0)
    prev_high, _, _ = _carry_in(carry)
    starts = _runs((t << 13) | (y << 1) | p, x, 32 if vectors else None)
    run = np.repeat(np.arange(len(starts)), np.diff(np.r_[starts, len(t)]))
    base = x[starts] & ~31
    mask = np.zeros(len(starts), np.int64)
    np.bitwise_or.at(mask, run, np.left_shift(1, x - base[run]))
    ts, ys, ps = t[starts], y[starts], p[starts]
    high = ts >> 6
    n_high, highs = _time_highs(high, np.r_[prev_high, high[:-1]], (1 << 27) - 1)
    cd = ((ps.astype(np.uint64) << np.uint64(60)) | ((ts & 63).astype(np.uint64) << np.uint64(54))
          | (base.astype(np.uint64) << np.uint64(43)) | (ys.astype(np.uint64) << np.uint64(32))
          | mask.astype(np.uint64))
    th = (np.uint64(0x8) << np.uint64(60)) | ((highs & 0x0FFFFFFF).astype(np.uint64) << np.uint64(32))
    words = _assemble([(n_high, th), (np.ones(len(starts), np.int64), cd)], "<u8")
    return words, _carry_out(carry, high, t, y)


def _carry_out(carry, high, t, y) -> dict:
    if not len(t):
        return dict(carry) if carry else {"high": -1, "t": -1, "y": -1}
    return {"high": int(high[-1]), "t": int(t[-1]), "y": int(y[-1])}


# ---------------------------------------------------------------- EVT 3.0

def evt3_words(events, carry=None, t0=None, vectors=False) -> Tuple[np.ndarray, dict]:
    """EVT 3.0 words (<u2), and the carry for the next chunk.

    Writes TIME_HIGH when t >> 12 changes (its 12 bits wrap every 2**24 us), TIME_LOW
    when t changes, ADDR_Y when the row changes, then ADDR_X per event; with `vectors`,
    events of one time, row and polarity with rising x in a 32-pixel block go as
    VECT_BASE_X and VECT_12 words, the last one a VECT_8 when 8 bits cover the rest."""
    x, y, t, p = _columns(events, t0)
    prev_high, prev_t, prev_y = _carry_in(carry)
    starts = _runs((t << 13) | (y << 1) | p, x, 32 if vectors else None)
    ends = np.r_[starts[1:], len(t)]
    ts, ys, ps, x0 = t[starts], y[starts], p[starts], x[starts]
    high = ts >> 12
    n_high, highs = _time_highs(high, np.r_[prev_high, high[:-1]], 2047)
    new_t = ts != np.r_[prev_t, ts[:-1]]
    new_y = ys != np.r_[prev_y, ys[:-1]]
    single = ends - starts == 1
    span = x[ends - 1] - x0 + 1
    n_vec = np.where(single, 0, (span + 11) // 12)
    last_width = np.where(span - 12 * (n_vec - 1) <= 8, 8, 12)
    # Body: ADDR_X for a lone event, else VECT_BASE_X then n_vec vector words.
    body_counts = np.where(single, 1, 1 + n_vec)
    unit = np.arange(len(starts))
    vec_unit = np.repeat(unit, n_vec)
    j = np.arange(len(vec_unit)) - np.repeat(np.cumsum(n_vec) - n_vec, n_vec)
    is_last = j == n_vec[vec_unit] - 1
    width = np.where(is_last, last_width[vec_unit], 12)
    vmask = np.zeros(len(vec_unit), np.int64)
    run_of = np.repeat(unit, ends - starts)
    offset = x - x0[run_of]
    in_vector = ~single[run_of]
    word_of = (np.cumsum(n_vec) - n_vec)[run_of] + offset // 12
    np.bitwise_or.at(vmask, word_of[in_vector], np.left_shift(1, offset % 12)[in_vector])
    vec_words = np.where(width == 12, 0x4000, 0x5000) | vmask
    head = np.where(single, 0x2000 | (ps << 11) | x0, 0x3000 | (ps << 11) | x0)
    body = _assemble([(np.ones(len(starts), np.int64), head), (n_vec, vec_words)], np.int64)
    words = _assemble([
        (n_high, 0x8000 | (highs & 0xFFF)),
        (new_t, 0x6000 | (ts[new_t] & 0xFFF)),
        (new_y, ys[new_y]),
        (body_counts, body),
    ], "<u2")
    return words, _carry_out(carry, high, t, y)


# ---------------------------------------------------------------- headers and files

def evt_header(fmt: str, geometry: Geometry = None, t0: Optional[int] = None) -> bytes:
    version, name = EVT_VERSIONS[fmt]
    lines = [f"% evt {version}"]
    if geometry is not None:
        w, h = geometry
        lines += [f"% format {name};height={h};width={w}", f"% geometry {w}x{h}"]
    if t0 is not None:
        lines.append(f"% t0 {t0}")
    lines.append("% end")
    return ("\n".join(lines) + "\n").encode()


def evt2(events, *, geometry: Geometry = None, t0: Optional[int] = None) -> bytes:
    return evt_header("evt2", geometry, t0) + evt2_words(events, t0=t0)[0].tobytes()


def evt21(events, *, geometry: Geometry = None, t0: Optional[int] = None, vectors: bool = True) -> bytes:
    return evt_header("evt21", geometry, t0) + evt21_words(events, t0=t0, vectors=vectors)[0].tobytes()


def evt3(events, *, geometry: Geometry = None, t0: Optional[int] = None, vectors: bool = False) -> bytes:
    return evt_header("evt3", geometry, t0) + evt3_words(events, t0=t0, vectors=vectors)[0].tobytes()


def dat(events, *, geometry: Geometry = None, t0: Optional[int] = None, event_type: int = 0x0C) -> bytes:
    """DAT v2: '%' header, event type and size bytes, then (t <u4, x | y << 14 | p << 28 <u4)."""
    lines = ["% Data file containing Event CD events.", "% Version 2"]
    if geometry is not None:
        lines += [f"% Width {geometry[0]}", f"% Height {geometry[1]}"]
    if t0 is not None:
        lines.append(f"% t0 {t0}")
    return ("\n".join(lines) + "\n").encode() + bytes([event_type, 8]) + dat_records(events, t0)


def dat_records(events, t0: Optional[int] = None) -> bytes:
    """The DAT records alone (the 32-bit time wraps as a camera's does)."""
    x, y, t, p = _columns(events, t0)
    rec = np.empty(len(t), [("t", "<u4"), ("d", "<u4")])
    rec["t"] = t & 0xFFFFFFFF
    rec["d"] = x | (y << 14) | (p << 28)
    return rec.tobytes()


def nmnist(events) -> bytes:
    """N-MNIST / N-Caltech101 5-byte records; times past 23 bits get overflow records
    (y = 240, each +2**13 us) before the event that needs them."""
    x, y, t, p = _columns(events)
    overflows = np.maximum.accumulate(np.maximum(0, (t - ((1 << 23) - 1) + 8191) // 8192)) if len(t) else t
    low = t - 8192 * overflows
    if len(t) and low.min() < 0:
        raise ValueError("times fall back further than N-MNIST overflow records can say")
    rec = np.empty((len(t), 5), np.uint8)
    rec[:, 0], rec[:, 1] = x, y
    rec[:, 2] = (p << 7) | (low >> 16)
    rec[:, 3], rec[:, 4] = (low >> 8) & 255, low & 255
    overflow = np.array([0, 240, 0, 0, 0], np.uint8)
    n_over = np.diff(np.r_[0, overflows])
    out = _assemble([(n_over, np.tile(overflow, (int(n_over.sum()), 1))), (np.ones(len(t), np.int64), rec)],
                    (np.uint8, 5))
    return out.tobytes()


def _aedat_info(width: int, height: int) -> bytes:
    return (
        '<dv version="2.0"><node name="outInfo" path="/mainloop/Recorder/outInfo/">'
        '<node name="0" path="/mainloop/Recorder/outInfo/0/">'
        '<attr key="compression" type="string">LZ4</attr>'
        '<attr key="originalModuleName" type="string">writer</attr>'
        '<attr key="originalOutputName" type="string">events</attr>'
        '<attr key="typeDescription" type="string">Array of events (polarity ON/OFF).</attr>'
        '<attr key="typeIdentifier" type="string">EVTS</attr>'
        '<node name="info" path="/mainloop/Recorder/outInfo/0/info/">'
        f'<attr key="sizeX" type="int">{width}</attr><attr key="sizeY" type="int">{height}</attr>'
        '<attr key="source" type="string">writer</attr></node></node></node></dv>'
    ).encode()


def _aedat_header(info: bytes, compression: int = 1) -> bytes:
    """IOHeader table: the compression code (1: LZ4, 0: none), no data table (-1), the info XML."""
    h = bytearray(48)
    h[0:4] = (24).to_bytes(4, "little")       # root table at 24
    h[4:8] = b"IOHE"
    vtable = np.array([10, 24, 4, 16, 8], "<u2").tobytes()  # compression, dataTablePosition, infoNode
    h[8:18] = vtable
    h[24:28] = (24 - 8).to_bytes(4, "little", signed=True)
    h[28:32] = compression.to_bytes(4, "little")
    h[32:36] = (48 - 32).to_bytes(4, "little")
    h[40:48] = (-1).to_bytes(8, "little", signed=True)
    h += len(info).to_bytes(4, "little") + info + b"\0"
    h += b"\0" * (-len(h) % 4)
    return bytes(h)


def _aedat_packet(x, y, t, p, lz4_options=None) -> bytes:
    """A size-prefixed EventPacket buffer (identifier EVTS) of 16-byte events, LZ4-framed with
    lz4.frame.compress's keyword arguments `lz4_options` ({} by default; False: stored)."""
    import lz4.frame

    ev = np.zeros(len(t), [("t", "<i8"), ("x", "<i2"), ("y", "<i2"), ("p", "u1"), ("pad", "V3")])
    ev["t"], ev["x"], ev["y"], ev["p"] = t, x, y, p
    body = bytearray(32)
    body[4:8] = (16).to_bytes(4, "little")       # root table at 20 (from byte 4)
    body[8:12] = b"EVTS"
    body[12:18] = np.array([6, 8, 4], "<u2").tobytes()
    body[20:24] = (8).to_bytes(4, "little", signed=True)
    body[24:28] = (4).to_bytes(4, "little")      # vector at 28, elements 8-aligned at 32
    body[28:32] = len(t).to_bytes(4, "little")
    body += ev.tobytes()
    body[0:4] = (len(body) - 4).to_bytes(4, "little")
    return bytes(body) if lz4_options is False else lz4.frame.compress(bytes(body), **(lz4_options or {}))


def _aedat_table(entries) -> bytes:
    """A size-prefixed FileDataTable buffer (identifier FTAB): one entry table per packet of
    (data offset, (stream, size), events, first time, last time), sharing one vtable."""
    n = len(entries)
    first = 52 + 4 * n + (-(52 + 4 * n) % 8)
    h = bytearray(first + 48 * n)
    h[4:8] = (20).to_bytes(4, "little")                       # root table at 24
    h[8:12] = b"FTAB"
    h[16:22] = np.array([6, 8, 4], "<u2").tobytes()          # root vtable: field 0 at 4
    h[24:28] = (8).to_bytes(4, "little", signed=True)
    h[28:32] = (48 - 28).to_bytes(4, "little")               # the vector at 48
    h[32:46] = np.array([14, 48, 16, 8, 24, 32, 40], "<u2").tobytes()  # the entries' vtable
    h[48:52] = n.to_bytes(4, "little")
    for i, (offset, sid, size, count, lo, hi) in enumerate(entries):
        at, slot = first + 48 * i, 52 + 4 * i
        h[slot:slot + 4] = (at - slot).to_bytes(4, "little")
        h[at:at + 4] = (at - 32).to_bytes(4, "little", signed=True)
        h[at + 8:at + 48] = np.array([sid, size], "<i4").tobytes() + np.array([offset, count, lo, hi], "<i8").tobytes()
    h[0:4] = (len(h) - 4).to_bytes(4, "little")
    return bytes(h)


def aedat4(events, *, geometry: Tuple[int, int] = (640, 480), packet: int = 10_000, lz4_options=None,
           table: bool = False, zstd=None) -> bytes:
    """AEDAT 4 with one event stream (id 0) in packets of `packet` events, LZ4-compressed with
    `lz4_options` (see _aedat_packet; False: stored, the header saying so), or, given `zstd`
    (zstandard.ZstdCompressor's keyword arguments), ZSTD-compressed; `table`: with the data
    table after the packets (compressed as they are), its position in the header."""
    import lz4.frame

    if zstd is not None:
        import zstandard
        squeeze = zstandard.ZstdCompressor(**zstd).compress
        lz4_options = False
    x, y, t, p = _columns(events)
    parts = [b"#!AER-DAT4.0\r\n"]
    code = 3 if zstd is not None else 0 if lz4_options is False else 1
    header = bytearray(_aedat_header(_aedat_info(*geometry), code))
    parts += [len(header).to_bytes(4, "little"), header]
    at = 18 + len(header)
    entries = []
    for lo in range(0, len(t), packet):  # one iteration per packet
        data = _aedat_packet(x[lo:lo + packet], y[lo:lo + packet], t[lo:lo + packet], p[lo:lo + packet], lz4_options)
        data = squeeze(data) if zstd is not None else data
        parts += [np.array([0, len(data)], "<i4").tobytes(), data]
        part = t[lo:lo + packet]
        entries.append((at + 8, 0, len(data), len(part), int(part[0]), int(part[-1])))
        at += 8 + len(data)
    if table:
        buf = _aedat_table(entries)
        parts.append(squeeze(buf) if zstd is not None else buf if lz4_options is False else lz4.frame.compress(buf))
        header[40:48] = at.to_bytes(8, "little", signed=True)
    return b"".join(parts)


WRITERS = {"evt2": evt2, "evt21": evt21, "evt3": evt3, "dat": dat, "nmnist": nmnist, "aedat4": aedat4}
SUFFIX = {"evt2": ".raw", "evt21": ".raw", "evt3": ".raw", "dat": ".dat", "nmnist": ".bin", "aedat4": ".aedat4"}


def write(path, events, fmt: str, **options) -> Path:
    """Write events to `path` in `fmt` (a key of WRITERS) and return the path."""
    path = Path(path)
    path.write_bytes(WRITERS[fmt](events, **options))
    return path


def records(x, y, t, p) -> np.ndarray:
    """The reader's record array of columns (p > 0 is ON)."""
    out = np.empty(len(t), EVENT_DTYPE)
    out["x"], out["y"], out["t"] = x, y, t
    out["p"] = np.where(np.asarray(p) > 0, 1, -1)
    return out
