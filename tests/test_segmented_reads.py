"""Whole reads decoded by segments on several threads: the records, warnings and errors of a
read in order, on streams whose cuts fall among wrapping clocks, times going back, vector runs
and events outside the sensor (the transcriptions of test_evt3_streams are the oracles)."""
import warnings

import numpy as np
import pytest

from zelq.viz import _native, read_events
from zelq.viz.recordings import _native_formats

from test_evt3_streams import HEIGHT, WIDTH, camera_words, one_per_word_streams, reference


@pytest.fixture
def segmented(monkeypatch):
    """Small files read by segments of `bytes`; returns the list of whole reads taken (records)."""
    taken = []
    real = _native.events()._decode_whole

    def spy(*args):
        got = real(*args)
        taken.append(None if got is None else got[1])
        return got

    def use(bytes_):
        monkeypatch.setattr(_native_formats, "WHOLE_MIN_BYTES", 0)
        monkeypatch.setattr(_native_formats, "SEGMENT_BYTES", bytes_)
        monkeypatch.setattr(_native.events(), "_decode_whole", spy, raising=False)
        return taken
    return use


def in_order(monkeypatch, path, **kw):
    with monkeypatch.context() as m:
        m.setattr(_native_formats, "WHOLE_MIN_BYTES", 1 << 62)
        return read_noting(path, **kw)


def read_noting(path, **kw):
    """(records or the error's text, warnings' texts)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            got = read_events(path, **kw)
        except Exception as e:  # noqa: BLE001 - the error is what is compared
            got = f"{type(e).__name__}: {e}"
    return got, [str(w.message) for w in caught]


def evt3_file(tmp_path, seed, **kw):
    words = camera_words(np.random.default_rng(seed), 6000, **kw)
    path = tmp_path / "r.raw"
    path.write_bytes(f"% evt 3.0\n% format EVT3;width={WIDTH};height={HEIGHT}\n% end\n".encode() + words.tobytes())
    return path, words


@pytest.mark.parametrize("seed, kw, segment", [
    (0, {}, 2048),                                        # a clean camera stream
    (1, {"back": 0.02}, 1000),                            # time lows that go back, cuts every 500 words
    (2, {"edge": 0.05}, 3000),                            # vector bases near the format's end
    (4, {"back": 0.01, "edge": 0.02, "outside": 0.02}, 777),  # all of it, slots left empty
])
def test_evt3_segments_match_the_transcription(tmp_path, segmented, monkeypatch, seed, kw, segment):
    path, words = evt3_file(tmp_path, seed, **kw)
    taken = segmented(segment)
    got, said = read_noting(path, outside="drop")
    np.testing.assert_array_equal(got, reference(words.tolist(), WIDTH, HEIGHT))
    assert taken and taken[0] == len(got)  # decoded by segments, not in order
    assert said == in_order(monkeypatch, path, outside="drop")[1]  # outside counts and the first of them


@pytest.mark.parametrize("fmt", ["dat", "evt2"])
def test_one_event_formats_match_numpy(tmp_path, segmented, monkeypatch, fmt):
    # DAT: the 32-bit clock wraps once, inside a segment; EVT 2.0: rows past the sensor.
    x, y, t, p, dat = one_per_word_streams(np.random.default_rng(7), 40_000)
    if fmt == "dat":
        path = tmp_path / "r.dat"
        path.write_bytes(b"% Version 2\n% Width 640\n% Height 480\n\x00\x08" + dat.tobytes())
        raw = dat["t"].astype(np.int64)
        t = raw + (np.cumsum(np.r_[0, (raw[1:] < raw[:-1]) & (raw[:-1] - raw[1:] > 1 << 31)]) << 32)
    else:
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
    expected = np.empty(keep.sum(), _native_formats.RECORD)
    expected["x"], expected["y"], expected["t"] = x[keep], y[keep], t[keep]
    expected["p"] = np.where(p[keep] > 0, 1, -1)
    taken = segmented(4000)
    got, said = read_noting(path, outside="drop")
    np.testing.assert_array_equal(got, expected)
    assert taken == [len(expected)]
    assert said == in_order(monkeypatch, path, outside="drop")[1]


@pytest.mark.parametrize("damage", ["unknown word", "outside refused", "cut short"])
def test_damaged_files_read_as_in_order(tmp_path, segmented, monkeypatch, damage):
    path, words = evt3_file(tmp_path, 0, outside=0.01 if damage == "outside refused" else 0.0)
    data = path.read_bytes()
    if damage == "unknown word":  # a word of type 9, two thirds in
        at = len(data) - 2 * (len(words) // 3)
        data = data[:at] + (0x9123).to_bytes(2, "little") + data[at + 2:]
    elif damage == "cut short":
        data = data[:-1]
    path.write_bytes(data)
    segmented(1500)
    got, said = read_noting(path)
    expected, expected_said = in_order(monkeypatch, path)
    if isinstance(expected, str):
        assert got == expected
    else:
        np.testing.assert_array_equal(got, expected)
    assert said == expected_said


def test_a_large_read_backs_its_pages_ahead_as_in_order(tmp_path, monkeypatch):
    # Over 32 MB of records: the pages are backed by parts (huge while cheap), at the default cuts.
    words = np.tile(camera_words(np.random.default_rng(3), 6000), 300)
    path = tmp_path / "r.raw"
    path.write_bytes(b"% evt 3.0\n% end\n" + words.tobytes())
    monkeypatch.setattr(_native_formats, "WHOLE_MIN_BYTES", 0)
    got = read_events(path)
    assert got.nbytes > 32 << 20
    np.testing.assert_array_equal(got, in_order(monkeypatch, path)[0])
