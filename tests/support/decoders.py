"""Decoders for the small real sensor recordings used by tests and benchmarks.

They live here, not in the package: the package reads NumPy arrays only.
"""
from pathlib import Path

import numpy as np

EVENT_DTYPE = np.dtype([("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "i1")])


def _documented(x, y, t, on):
    events = np.empty(len(t), EVENT_DTYPE)
    events["x"], events["y"], events["t"] = x, y, t
    events["p"] = np.where(on, 1, -1)
    return events


def read_nmnist(path: Path) -> np.ndarray:
    b = np.fromfile(path, dtype=np.uint8).astype(np.int64)
    x, y, b2 = b[0::5], b[1::5], b[2::5]
    t = ((b2 & 127) << 16) | (b[3::5] << 8) | b[4::5]
    keep = y != 240  # timestamp-overflow records carry no event
    return _documented(x[keep], y[keep], t[keep], (b2 >> 7)[keep] == 1)


def read_dat(path: Path) -> np.ndarray:
    raw = path.read_bytes()
    pos = 0
    while raw.startswith(b"%", pos):
        pos = raw.index(b"\n", pos) + 1
    pos += 2  # event type and event size
    words = np.frombuffer(raw[pos:pos + (len(raw) - pos) // 8 * 8], dtype="<u4").reshape(-1, 2)
    t, d = words[:, 0].astype(np.int64), words[:, 1]
    return _documented(d & 0x3FFF, (d >> 14) & 0x3FFF, t, (d >> 28) == 1)


def read_aedat4(path: Path) -> np.ndarray:
    import lz4.frame

    raw = path.read_bytes()
    magic = b"#!AER-DAT4.0\r\n"
    assert raw.startswith(magic)
    pos = len(magic)
    header_size = int(np.frombuffer(raw, "<i4", 1, pos)[0])
    pos += 4 + header_size
    record = np.dtype([("t", "<i8"), ("x", "<i2"), ("y", "<i2"), ("p", "u1"), ("pad", "V3")])
    parts = []
    while pos + 8 <= len(raw):
        stream, size = np.frombuffer(raw, "<i4", 2, pos)
        pos += 8
        if size < 0 or pos + size > len(raw):
            break  # the trailing file-data table
        packet = raw[pos:pos + size]
        pos += size
        if stream != 0:
            continue
        buf = lz4.frame.decompress(packet)[4:]  # size-prefixed flatbuffer
        root = int(np.frombuffer(buf, "<u4", 1, 0)[0])
        vtable = root - int(np.frombuffer(buf, "<i4", 1, root)[0])
        field0 = int(np.frombuffer(buf, "<u2", 1, vtable + 4)[0])
        vec = root + field0
        vec += int(np.frombuffer(buf, "<u4", 1, vec)[0])
        count = int(np.frombuffer(buf, "<u4", 1, vec)[0])
        parts.append(np.frombuffer(buf, record, count, vec + 4))
    ev = np.concatenate(parts)
    return _documented(ev["x"], ev["y"], ev["t"], ev["p"] == 1)


READERS = {
    "sample_nmnist.bin": read_nmnist,
    "sample_ncars.dat": read_dat,
    "sample.aedat4": read_aedat4,
}


def read(directory: Path, name: str) -> np.ndarray:
    return READERS[name](directory / name)


# Transcriptions of N-MNIST (with its overflow records) and DAT, for files the test writers make.

def records(x, y, t, p):
    out = np.empty(len(t), EVENT_DTYPE)
    out["x"], out["y"], out["t"], out["p"] = x, y, t, np.where(np.asarray(p) > 0, 1, -1)
    return out


def nmnist_oracle(path):
    b = np.fromfile(path, np.uint8).astype(np.int64)
    x, y, p = b[0::5], b[1::5], b[2::5] >> 7
    t = ((b[2::5] & 127) << 16) | (b[3::5] << 8) | b[4::5]
    t = t + 8192 * np.cumsum(y == 240)
    keep = y != 240
    return records(x[keep], y[keep], t[keep], p[keep])


def dat_oracle(path):
    raw = path.read_bytes()
    pos = 0
    while raw[pos:pos + 1] == b"%":
        pos = raw.index(b"\n", pos) + 1
    assert raw[pos:pos + 2] in (b"\x00\x08", b"\x0c\x08")
    rec = np.frombuffer(raw[pos + 2:], [("t", "<u4"), ("d", "<u4")])
    d = rec["d"].astype(np.int64)
    return records(d & 0x3FFF, (d >> 14) & 0x3FFF, rec["t"], d >> 28)
