"""EVT 2.0 and DAT fast loops (blocks of eight with AVX2, and the one-word loops alone) against
word-by-word transcriptions of the formats, on streams whose time highs repeat, step back and
wrap, with words that carry no event, times going back or across 2^32 µs, events outside the
sensor, and events before the first time high: read whole (in order and by segments) and in
small pieces; and files cut short inside a word."""
import dataclasses
import warnings

import numpy as np
import pytest

from zelq.viz import RecordingWarning, _native, iter_events, read_events
from zelq.viz.recordings import _native_decode
from zelq.viz.recordings._registry import READERS

from tests.support.decoders import EVENT_DTYPE as RECORD

WIDTH, HEIGHT = 640, 480


@pytest.fixture(params=["avx2", "one word", "avx2 mapped", "avx2 by segments"])
def loops(request, monkeypatch):
    """The fast loops a read uses (AVX2 only where the CPU has it), on the file's bytes as
    opening read them, on its mapping, or by segments of the mapping."""
    before = _native.events()._evt_avx2(request.param != "one word")
    if request.param != "avx2":
        for ext in (".raw", ".dat"):
            monkeypatch.setitem(READERS, ext, dataclasses.replace(READERS[ext], head=1024, whole=0))
    if request.param.endswith("by segments"):
        monkeypatch.setattr(_native_decode, "WHOLE_MIN_BYTES", 0)
        monkeypatch.setattr(_native_decode, "SEGMENT_BYTES", 1000)
        monkeypatch.setattr(_native_decode, "core_free", lambda: True)  # DAT splits only then
    yield
    _native.events()._evt_avx2(before)


def records(rows):
    out = np.empty(len(rows), RECORD)
    if rows:
        x, y, t, p = np.array(rows, np.int64).T
        out["x"], out["y"], out["t"], out["p"] = x, y, t, np.where(p > 0, 1, -1)
    return out


def evt2_reference(words, width, height):
    """Records of EVT 2.0 words, outside events dropped, one word at a time."""
    rows, high, loops, has_time = [], 0, 0, False
    for v in words:
        kind = v >> 28
        if kind <= 1 and has_time and (v >> 11) & 2047 < width and v & 2047 < height:
            rows.append(((v >> 11) & 2047, v & 2047, (high << 6 | (v >> 22) & 63) + loops, kind))
        elif kind == 8:
            th = v & 0x0FFFFFFF
            if has_time and th < high and high - th > 1 << 27:
                loops += 1 << 34
            high, has_time = th, True
    return records(rows)


def evt2_stream(rng, n, highs):
    """Events (a few before the first time high), time highs at a rate `highs` that mostly step
    on but also repeat, step back or jump anywhere on the counter (wrapping when far below),
    starting just before 2^32 µs, and words of types A, E and F."""
    high, low = (1 << 26) - 40, 0
    words = [3 << 11 | 7, 0x80000000 | high]
    for _ in range(n):
        r = rng.random()
        if r < highs:
            s = rng.random()
            high = (high + int(rng.integers(1, 3)) if s < 0.7 else high if s < 0.8
                    else max(high - int(rng.integers(1, 5)), 0) if s < 0.95 else int(rng.integers(0, 1 << 28)))
            words.append(0x80000000 | high)
            low = 0
        elif r < highs + 0.01:
            words.append(int(rng.choice([0xA, 0xE, 0xF])) << 28 | int(rng.integers(0, 1 << 28)))
        else:
            low = int(rng.integers(0, low + 1)) if rng.random() < 0.005 else min(low + int(rng.integers(0, 2)), 63)
            x = int(rng.integers(0, WIDTH + 8)) if rng.random() < 0.01 else int(rng.integers(0, WIDTH))
            words.append(int(rng.integers(0, 2)) << 28 | low << 22 | x << 11 | int(rng.integers(0, HEIGHT)))
    return np.array(words, "<u4")


def dat_stream(rng, n):
    """DAT records: times rising by small steps (equal ones too), some going back, the 32-bit
    clock wrapping, columns and rows past the sensor; a few events outside it leap more than
    half the clock ahead, so the next time counts as a wrap."""
    t = (np.cumsum(rng.integers(0, 3, n)) + (1 << 32) - n // 2) & 0xFFFFFFFF
    back = rng.random(n) < 0.003
    t[back] = (t[back] - rng.integers(0, 50, back.sum())) & 0xFFFFFFFF
    x = np.where(rng.random(n) < 0.005, WIDTH + 3, rng.integers(0, WIDTH, n))
    y = np.where(rng.random(n) < 0.005, HEIGHT, rng.integers(0, HEIGHT, n))
    leaps = rng.choice(np.arange(n - n // 4, n - 20), 3, replace=False)  # after the clock's wrap
    t[leaps], x[leaps] = (t[leaps] + (1 << 31) + 1000) & 0xFFFFFFFF, WIDTH
    dat = np.empty(n, [("t", "<u4"), ("d", "<u4")])
    dat["t"], dat["d"] = t, x | y << 14 | rng.integers(0, 2, n) << 28
    return dat


def dat_reference(dat):
    raw = dat["t"].astype(np.int64)
    wraps = np.cumsum(np.r_[0, (raw[1:] < raw[:-1]) & (raw[:-1] - raw[1:] > 1 << 31)]) << 32
    d = dat["d"].astype(np.int64)
    x, y = d & 0x3FFF, d >> 14 & 0x3FFF
    keep = (x < WIDTH) & (y < HEIGHT)
    return records(list(zip(x[keep], y[keep], (raw + wraps)[keep], d[keep] >> 28)))


EVT2_HEADER = f"% evt 2.0\n% format EVT2;width={WIDTH};height={HEIGHT}\n% end\n".encode()
DAT_HEADER = f"% Version 2\n% Width {WIDTH}\n% Height {HEIGHT}\n".encode() + b"\x00\x08"


@pytest.mark.filterwarnings("ignore::UserWarning")  # outside events, dropped on request
@pytest.mark.parametrize("fmt, seed, highs", [("evt2", 0, 0.002), ("evt2", 1, 0.08), ("dat", 2, None)])
def test_streams_match_the_transcription(tmp_path, loops, fmt, seed, highs):
    rng = np.random.default_rng(seed)
    if fmt == "evt2":
        words = evt2_stream(rng, 30_000, highs)
        data, expected = EVT2_HEADER + words.tobytes(), evt2_reference(words.tolist(), WIDTH, HEIGHT)
    else:
        dat = dat_stream(rng, 30_000)
        data, expected = DAT_HEADER + dat.tobytes(), dat_reference(dat)
    assert len(expected) > 25_000 and expected["t"][-1] > expected["t"][0] + (1 << 32 if fmt == "dat" else 0)
    path = tmp_path / ("r.raw" if fmt == "evt2" else "r.dat")
    path.write_bytes(data)
    np.testing.assert_array_equal(read_events(path, outside="drop"), expected)
    # Pieces of every length near a block's: the loops must stop short of each buffer's end.
    for chunk in (7, 9, 41):
        np.testing.assert_array_equal(np.concatenate(list(iter_events(path, chunk=chunk, outside="drop"))), expected)
    # Cut short inside a word: the records of the whole words before it, and a warning.
    word = 4 if fmt == "evt2" else 8
    whole = len(data) - word * 10
    path.write_bytes(data[:whole + word - 1])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = read_events(path, outside="drop")
    cut = [str(w.message) for w in caught if issubclass(w.category, RecordingWarning) and "cut short" in str(w.message)]
    assert cut and f"inside the {word}-byte {'word' if fmt == 'evt2' else 'record'} at byte {whole}" in cut[0]
    kept = evt2_reference(words[:-10].tolist(), WIDTH, HEIGHT) if fmt == "evt2" else dat_reference(dat[:-10])
    np.testing.assert_array_equal(got, kept)
