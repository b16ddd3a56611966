"""EVT 3.0 decoding of random word streams against a word-by-word transcription of the format.

The streams mix every word type in runs like a camera's (rows, time lows, vector bases with
runs of VECT_12 / VECT_8), with time highs that wrap, times that go back, vector bases near the
sensor's edge and the format's end, and events outside the sensor: the decoder's fast blocks and
its careful word-by-word path must give the same records, read whole or in small pieces. Whole
reads are also decoded by segments on several threads (cut here every few hundred words, so
cuts fall among all of it), which must give the records, warnings and errors of a read in order;
EVT 2.0 and DAT streams likewise."""
import warnings

import numpy as np
import pytest

from zelq.viz import _native, read_events
from zelq.viz.recordings import _native_decode, iter_events

from tests.support.decoders import EVENT_DTYPE as RECORD
WIDTH, HEIGHT = 1280, 720


@pytest.fixture(params=["in order", "by segments"])
def whole_reads(request, monkeypatch):
    """How whole reads of these small files decode; the records of each one taken by segments."""
    taken = []
    if request.param == "by segments":
        def spying(name):
            real = getattr(_native.events(), name)

            def spy(*args):
                got = real(*args)
                taken.append(None if got is None else got[1])
                return got
            monkeypatch.setattr(_native.events(), name, spy, raising=False)
        by_segments(monkeypatch, 1000)
        spying("_decode_whole")
        spying("_decode_whole_file")
    return taken


def by_segments(monkeypatch, segment_bytes):
    monkeypatch.setattr(_native_decode, "WHOLE_MIN_BYTES", 0)
    monkeypatch.setattr(_native_decode, "SEGMENT_BYTES", segment_bytes)
    monkeypatch.setattr(_native_decode, "core_free", lambda: True)  # DAT splits only then


def read_in_order(monkeypatch, path, **kw):
    with monkeypatch.context() as m:
        m.setattr(_native_decode, "WHOLE_MIN_BYTES", 1 << 62)
        return read_noting(path, **kw)


def read_noting(path, **kw):
    """(records or the error's text, the warnings' texts)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            got = read_events(path, **kw)
        except Exception as e:  # noqa: BLE001 - the error is what is compared
            got = f"{type(e).__name__}: {e}"
    return got, [str(w.message) for w in caught]


def reference(words, width, height, t0=0):
    """Records of the words, outside events dropped: one word at a time, as the format reads."""
    out = []
    y = low = high = loops = xb = pol = 0
    has_time = False
    for v in words:
        kind, t = v >> 12, (high << 12 | low) + loops + t0
        events = []
        if kind == 0x0:
            y = v & 2047
        elif kind == 0x2:
            events = [(v & 2047, (v >> 11) & 1)]
        elif kind == 0x3:
            xb, pol = v & 2047, (v >> 11) & 1
        elif kind in (0x4, 0x5):
            bits = 12 if kind == 0x4 else 8
            events = [(xb + k, pol) for k in range(bits) if v >> k & 1]
            xb = min(xb + bits, 2048)
        elif kind == 0x6:
            low = v & 0xFFF
        elif kind == 0x8:
            th = v & 0xFFF
            if has_time and th < high and high - th > 2048:
                loops += 4096 << 12
            high, has_time = th, True
        out += [(x, y, t, p) for x, p in events if has_time and x < width and y < height]
    rec = np.empty(len(out), RECORD)
    if out:
        x, yy, t, p = np.array(out, np.int64).T
        rec["x"], rec["y"], rec["t"], rec["p"] = x, yy, t, np.where(p > 0, 1, -1)
    return rec


def camera_words(rng, n_units, *, back=0.0, edge=0.0, outside=0.0):
    """Words in a camera's order: time highs rising (and wrapping), time lows, rows, then events."""
    words = [0x8000 | int(rng.integers(0, 4096))]
    low = 0
    for _ in range(n_units):
        r = rng.random()
        if r < 0.002:
            words.append(0x8000 | int(rng.integers(0, 4096)))  # a time high, anywhere on the counter
        if r < 0.3:
            low = min(low + int(rng.integers(0, 40)), 4095)
            if rng.random() < back:
                low = int(rng.integers(0, low + 1))
            words.append(0x6000 | low)
        rows = HEIGHT + 40 if rng.random() < outside else HEIGHT
        words.append(int(rng.integers(0, rows)))
        if rng.random() < 0.3:
            words.append(0x2000 | int(rng.integers(0, 2)) << 11 | int(rng.integers(0, WIDTH)))
            continue
        base = int(rng.integers(2000, 2048)) if rng.random() < edge else int(rng.integers(0, WIDTH))
        words.append(0x3000 | int(rng.integers(0, 2)) << 11 | base)
        for _ in range(int(rng.integers(1, 5))):
            wide = rng.random() < 0.7
            bits = int(rng.integers(0, 1 << (12 if wide else 8)))
            words.append((0x4000 if wide else 0x5000) | bits)
        if rng.random() < 0.05:
            words.append(int(rng.choice([0x7000, 0xA000, 0xE000, 0xF000])) | int(rng.integers(0, 4096)))
    return np.array(words, "<u2")


@pytest.mark.filterwarnings("ignore::UserWarning")  # events outside the sensor, dropped on request
@pytest.mark.parametrize("seed, back, edge, outside, near_2_32", [
    (0, 0.0, 0.0, 0.0, False),     # a clean camera stream
    (1, 0.02, 0.0, 0.0, False),    # time lows that go back
    (2, 0.0, 0.05, 0.0, False),    # vector bases near the format's end (clamped at 2048)
    (3, 0.0, 0.0, 0.05, False),    # rows below the sensor
    (4, 0.01, 0.02, 0.02, False),  # all of it
    (5, 0.0, 0.0, 0.0, True),      # a '% t0' that takes the first time high's times across 2^32 µs
])
@pytest.mark.parametrize("avx2", [True, False], ids=["avx2", "one word"])
def test_random_streams_match_the_transcription(tmp_path, whole_reads, seed, back, edge, outside, near_2_32, avx2):
    before = _native.events()._evt_avx2(avx2)
    try:
        check_stream(tmp_path, whole_reads, seed, back, edge, outside, near_2_32)
    finally:
        _native.events()._evt_avx2(before)


def check_stream(tmp_path, whole_reads, seed, back, edge, outside, near_2_32):
    words = camera_words(np.random.default_rng(seed), 6000, back=back, edge=edge, outside=outside)
    t0 = (1 << 32) - 1500 - (int(words[0] & 0xFFF) << 12) if near_2_32 else 0
    path = tmp_path / "r.raw"
    path.write_bytes(f"% evt 3.0\n% format EVT3;width={WIDTH};height={HEIGHT}\n% t0 {t0}\n% end\n".encode()
                     + words.tobytes())
    expected = reference(words.tolist(), WIDTH, HEIGHT, t0)
    assert len(expected) > 10000
    np.testing.assert_array_equal(read_events(path, outside="drop"), expected)
    assert whole_reads in ([], [len(expected)])  # by segments when asked, not in order
    # Small pieces leave little room in each buffer: the fast path must stop short of its end.
    pieces = np.concatenate(list(iter_events(path, chunk=37, outside="drop")))
    np.testing.assert_array_equal(pieces, expected)


def test_prefaulting_leaves_records_as_they_are(tmp_path, monkeypatch):
    from zelq.viz import _native
    from zelq.viz.recordings import _native_decode

    out = np.zeros(700_000, RECORD)
    out["t"] = np.arange(len(out))
    assert _native.events()._populate_records(out, 1000, len(out), True)
    np.testing.assert_array_equal(out["t"], np.arange(len(out)))
    with pytest.raises(ValueError, match="lie outside out"):
        _native.events()._populate_records(out, 10, len(out) + 1)
    # A read whose thread takes the faults ahead of the decoder reads what one without it reads.
    words = camera_words(np.random.default_rng(5), 3000)
    path = tmp_path / "r.raw"
    path.write_bytes(b"% evt 3.0\n% end\n" + words.tobytes())
    monkeypatch.setattr(_native_decode._Prefault, "_MIN_BYTES", 0)
    monkeypatch.setattr(_native_decode._Prefault, "_STEP", 1000)
    np.testing.assert_array_equal(read_events(path), reference(words.tolist(), 2048, 2048))


def one_per_word_streams(rng, n):
    """The same events as DAT records and as EVT 2.0 words: times mostly rising with some going
    back, rows and columns past a 640 x 480 sensor, and (DAT) the 32-bit clock wrapping once."""
    t = np.cumsum(rng.integers(0, 30, n)) + (1 << 32) - 15 * n // 2
    back = rng.random(n) < 0.01
    t[back] -= rng.integers(0, 200, back.sum())
    x, y, p = rng.integers(0, 700, n), rng.integers(0, 500, n), rng.integers(0, 2, n)
    dat = np.empty(n, [("t", "<u4"), ("d", "<u4")])
    dat["t"], dat["d"] = t & 0xFFFFFFFF, x | y << 14 | p << 28
    return x, y, t, p, dat


@pytest.mark.filterwarnings("ignore::UserWarning")
def test_dat_records_with_wraps_and_outside_events_match_numpy(tmp_path, whole_reads):
    x, y, t, p, dat = one_per_word_streams(np.random.default_rng(7), 40_000)
    path = tmp_path / "r.dat"
    path.write_bytes(b"% Version 2\n% Width 640\n% Height 480\n\x00\x08" + dat.tobytes())
    raw = dat["t"].astype(np.int64)
    wraps = np.cumsum(np.r_[0, (raw[1:] < raw[:-1]) & (raw[:-1] - raw[1:] > 1 << 31)]) << 32
    keep = (x < 640) & (y < 480)
    expected = np.empty(keep.sum(), RECORD)
    expected["x"], expected["y"], expected["t"] = x[keep], y[keep], (raw + wraps)[keep]
    expected["p"] = np.where(p[keep] > 0, 1, -1)
    np.testing.assert_array_equal(read_events(path, outside="drop"), expected)
    assert whole_reads in ([], [len(expected)])
    np.testing.assert_array_equal(np.concatenate(list(iter_events(path, chunk=41, outside="drop"))), expected)


@pytest.mark.filterwarnings("ignore::UserWarning")
def test_evt2_words_with_outside_events_match_numpy(tmp_path, whole_reads):
    x, y, t, p, _ = one_per_word_streams(np.random.default_rng(8), 40_000)
    t = np.sort(t - t.min())
    high = t >> 6
    starts = np.flatnonzero(np.r_[True, high[1:] != high[:-1]])
    words = np.empty(len(t) + len(starts), "<u4")
    is_high = np.zeros(len(words), bool)
    is_high[starts + np.arange(len(starts))] = True
    words[is_high] = 0x80000000 | high[starts]
    words[~is_high] = p << 28 | (t & 63) << 22 | (x & 2047) << 11 | (y & 2047)
    path = tmp_path / "r.raw"
    path.write_bytes(b"% evt 2.0\n% format EVT2;width=640;height=480\n% end\n" + words.tobytes())
    keep = (x < 640) & (y < 480)
    expected = np.empty(keep.sum(), RECORD)
    expected["x"], expected["y"], expected["t"] = x[keep], y[keep], t[keep]
    expected["p"] = np.where(p[keep] > 0, 1, -1)
    np.testing.assert_array_equal(read_events(path, outside="drop"), expected)
    assert whole_reads in ([], [len(expected)])
    np.testing.assert_array_equal(np.concatenate(list(iter_events(path, chunk=41, outside="drop"))), expected)


@pytest.mark.parametrize("damage", ["outside dropped", "outside refused", "unknown word", "cut short"])
def test_segmented_reads_of_damaged_files_read_as_in_order(tmp_path, monkeypatch, damage):
    words = camera_words(np.random.default_rng(0), 6000, outside=0.0 if damage == "unknown word" else 0.01)
    data = f"% evt 3.0\n% format EVT3;width={WIDTH};height={HEIGHT}\n% end\n".encode() + words.tobytes()
    if damage == "unknown word":  # a word of type 9, two thirds in
        at = len(data) - 2 * (len(words) // 3)
        data = data[:at] + (0x9123).to_bytes(2, "little") + data[at + 2:]
    elif damage == "cut short":
        data = data[:-1]
    path = tmp_path / "r.raw"
    path.write_bytes(data)
    kw = {"outside": "drop"} if damage != "outside refused" else {}
    by_segments(monkeypatch, 1500)
    got, said = read_noting(path, **kw)
    expected, expected_said = read_in_order(monkeypatch, path, **kw)
    if isinstance(expected, str):
        assert got == expected
    else:
        np.testing.assert_array_equal(got, expected)
    assert said == expected_said  # outside counts and the first of them, the cut


def test_a_large_segmented_read_is_the_read_in_order(tmp_path, monkeypatch):
    # Over 32 MB of records at the default cuts: pages backed by parts, huge while cheap.
    words = np.tile(camera_words(np.random.default_rng(3), 6000), 300)
    path = tmp_path / "r.raw"
    path.write_bytes(b"% evt 3.0\n% end\n" + words.tobytes())
    by_segments(monkeypatch, 0)
    got = read_events(path)
    assert got.nbytes > 32 << 20
    np.testing.assert_array_equal(got, read_in_order(monkeypatch, path)[0])
