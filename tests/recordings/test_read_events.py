"""Recording files: the shared samples against independent decodings, small files written
here for the formats without a sample, time windows, and the errors of bad files."""
import sys
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from tests.support.paths import shared_recording
from zelq.viz import RecordingError, RecordingWarning, iter_events, read_events, read_sensor_size

from tests.support.decoders import EVENT_DTYPE as RECORD, dat_oracle, nmnist_oracle, records
T0 = 1605537493718345

# file: (events, ON events, first t, last t, sensor size from the header)
SAMPLES = {
    "sample_nmnist.bin": (4325, 2145, 654, 311175, None),
    "sample_ncars.dat": (2009, None, None, None, None),
    "sample.aedat4": (111954, 55023, T0, 1605537494308262, (320, 240)),
    "sample_evt2.raw": (111954, 55023, T0, 1605537494308262, (320, 240)),
    "sample_evt3.raw": (111954, 55023, T0, 1605537494308262, (320, 240)),
}


sample = shared_recording


@pytest.mark.parametrize("name", SAMPLES)
def test_samples_decode_to_their_known_counts(name, event_dtype):
    n, on, first, last, size = SAMPLES[name]
    ev = read_events(sample(name))
    assert ev.dtype == event_dtype and len(ev) == n
    assert set(np.unique(ev["p"])) <= {-1, 1}
    if on is not None:
        assert (ev["p"] == 1).sum() == on and ev["t"][0] == first and ev["t"][-1] == last
    assert read_sensor_size(sample(name)) == size


@pytest.mark.parametrize("name, oracle", [("sample_nmnist.bin", nmnist_oracle), ("sample_ncars.dat", dat_oracle)])
def test_fixed_record_formats_match_a_numpy_decoding(name, oracle):
    np.testing.assert_array_equal(read_events(sample(name)), oracle(sample(name)))


def test_the_three_encodings_of_one_recording_agree():
    a = read_events(sample("sample.aedat4"))
    for name in ("sample_evt2.raw", "sample_evt3.raw"):
        np.testing.assert_array_equal(read_events(sample(name)), a)


def evt21_file(path, rng, n_words=300, width=640):
    """An EVT 2.1 file of random vector words (and the events they stand for), times rising."""
    t = np.sort(rng.integers(0, 1 << 20, n_words)) + 5000
    x = rng.integers(0, width // 32, n_words) * 32
    y = rng.integers(0, 480, n_words)
    p = rng.integers(0, 2, n_words)
    mask = rng.integers(1, 1 << 32, n_words, dtype=np.uint64)
    words = []
    high = None
    for i in range(n_words):  # a few hundred words: the encoder may loop
        if t[i] >> 6 != high:
            high = t[i] >> 6
            words.append((0x8 << 60) | (int(high) << 32))
        words.append((int(p[i]) << 60) | ((int(t[i]) & 63) << 54) | (int(x[i]) << 43) | (int(y[i]) << 32)
                     | int(mask[i]))
    header = f"% evt 2.1\n% format EVT21;width={width};height=480\n% end\n".encode()
    path.write_bytes(header + np.array(words, "<u8").tobytes())
    bits = np.unpackbits(mask.astype("<u4").view(np.uint8).reshape(-1, 4), axis=1, bitorder="little")
    w, b = np.nonzero(bits)
    return records(x[w] + b, y[w], t[w], p[w])


def test_evt21_vectors_expand_to_their_pixels(tmp_path):
    expected = evt21_file(tmp_path / "r.raw", np.random.default_rng(1))
    np.testing.assert_array_equal(read_events(tmp_path / "r.raw"), expected)
    assert read_sensor_size(tmp_path / "r.raw") == (640, 480)


def test_evt3_words_by_hand(tmp_path):
    # Row 5 at time 0xFFF010: one event, a 12-pixel vector from x 100, an 8-pixel one after
    # it; then the 24-bit time wraps, and the last event counts from 2**24.
    words = [0x8FFF, 0x6010, 0x0005, 0x2807, 0x3064, 0x4805, 0x5081, 0x8000, 0x6003, 0x2009, 0xA001]
    (tmp_path / "h.raw").write_bytes(b"% evt 3.0\n% t0 1000\n" + np.array(words, "<u2").tobytes())
    t1, t2 = (4095 << 12) + 16 + 1000, (1 << 24) + 3 + 1000
    expected = records([7, 100, 102, 111, 112, 119, 9], [5] * 7, [t1] * 6 + [t2], [1, 0, 0, 0, 0, 0, 0])
    np.testing.assert_array_equal(read_events(tmp_path / "h.raw"), expected)


@pytest.mark.parametrize("name, body, t", [
    # EVT 2.0: the 34-bit clock wraps after its last time-high value.
    ("w.raw", b"% evt 2.0\n" + np.array([0x8FFFFFFF, 0x11401804, 0x80000000, 0x00401804], "<u4").tobytes(),
     [(0x0FFFFFFF << 6) | 5, (1 << 34) + 1]),
    # DAT: the 32-bit microsecond clock wraps after 71 minutes.
    ("w.dat", b"% Version 2\n\x00\x08" + np.array([0xFFFFFFF0, 3 | 4 << 14 | 1 << 28, 5, 3 | 4 << 14], "<u4").tobytes(),
     [0xFFFFFFF0, (1 << 32) + 5]),
])
def test_clock_wraps_keep_time_rising(tmp_path, name, body, t):
    (tmp_path / name).write_bytes(body)
    np.testing.assert_array_equal(read_events(tmp_path / name), records([3, 3], [4, 4], t, [1, 0]))


def dat_cd_file(path, rng, n=5000):
    t = np.sort(rng.integers(0, 10**6, n)).astype("<u4")
    x, y, p = rng.integers(0, 1280, n), rng.integers(0, 720, n), rng.integers(0, 2, n)
    rec = np.empty(n, [("t", "<u4"), ("d", "<u4")])
    rec["t"], rec["d"] = t, x | (y << 14) | (p << 28)
    header = b"% Data file containing Event CD events.\n% Version 2\n% geometry 1280x720\n"
    path.write_bytes(header + bytes([0x0C, 8]) + rec.tobytes())
    return records(x, y, t, p)


def test_dat_cd_type_and_its_geometry(tmp_path):
    expected = dat_cd_file(tmp_path / "cd.dat", np.random.default_rng(2))
    np.testing.assert_array_equal(read_events(tmp_path / "cd.dat"), expected)
    assert read_sensor_size(tmp_path / "cd.dat") == (1280, 720)


@pytest.mark.parametrize("name", [*SAMPLES, "cd.dat"])
@pytest.mark.parametrize("start, duration", [(20_000, 30_000), (0, 1), (150_000, None), (10**9, 5)])
def test_time_window_is_a_slice_of_the_full_read(tmp_path, name, start, duration):
    path = tmp_path / name if name == "cd.dat" else sample(name)
    if name == "cd.dat":
        dat_cd_file(path, np.random.default_rng(3))
    full = read_events(path)
    lo = full["t"].min() + start
    keep = (full["t"] >= lo) & (full["t"] < (lo + duration if duration is not None else np.inf))
    np.testing.assert_array_equal(read_events(path, start=start, duration=duration), full[keep])


def test_npz_columns_and_npy_records_come_back(tmp_path):
    ev = records([1, 2, 3], [4, 5, 6], [10, 20, 30], [1, -1, 1])
    np.save(tmp_path / "e.npy", ev)
    np.savez(tmp_path / "c.npz", **{k: ev[k] for k in "xytp"})
    np.testing.assert_array_equal(read_events(tmp_path / "e.npy", start=10), ev[1:])
    np.testing.assert_array_equal(read_events(tmp_path / "c.npz"), ev)


def copy_with(tmp_path, name, transform, suffix=None):
    src = sample(name)
    dst = tmp_path / ("f" + (suffix or src.suffix))
    dst.write_bytes(transform(src.read_bytes()))
    return dst


@pytest.mark.parametrize("name, transform, suffix, message", [
    ("sample_ncars.dat", lambda b: b[:30], None, "truncated: the file ends inside its header"),
    ("sample_evt3.raw", lambda b: b + b"\x00\x10", None, "corrupt data: a word of unknown type (0x1000) at byte"),
    ("sample_evt3.raw", lambda b: b, ".dat", "named .dat but looks like a Prophesee RAW file"),
    ("sample_ncars.dat", lambda b: b, ".bin", "named .bin but looks like a Prophesee DAT file"),
    ("sample_nmnist.bin", lambda b: b, ".raw", "not a Prophesee RAW file"),
    ("sample_nmnist.bin", lambda b: b, ".png", "unknown recording format '.png'"),
    ("sample_nmnist.bin", lambda b: b, ".txt", "line 1 is not an event"),
    ("sample_evt2.raw", lambda b: b.replace(b"% evt 2.0", b"% evt 4.0"), None, "unsupported event encoding '4.0'"),
])
def test_bad_files_raise_recording_errors_naming_the_file(tmp_path, name, transform, suffix, message):
    path = copy_with(tmp_path, name, transform, suffix)
    with pytest.raises(RecordingError) as e:
        read_events(path)
    assert str(e.value).startswith(f"{path}: ") and message in str(e.value)


def test_npz_with_several_record_arrays_names_them(tmp_path):
    ev = records([1], [1], [1], [1])
    np.savez(tmp_path / "two.npz", left=ev, right=ev)
    with pytest.raises(RecordingError, match=r"several record arrays \(left, right\)"):
        read_events(tmp_path / "two.npz")


def test_aedat4_needs_no_lz4_package(monkeypatch):
    path = sample("sample.aedat4")
    expected = read_events(path)
    monkeypatch.setitem(sys.modules, "lz4", None)
    monkeypatch.setitem(sys.modules, "lz4.frame", None)
    np.testing.assert_array_equal(read_events(path), expected)
    np.testing.assert_array_equal(np.concatenate(list(iter_events(path, chunk=7000))), expected)


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(body=st.binary(max_size=400), header=st.sampled_from([
    (b"% evt 2.0\n", ".raw"), (b"% evt 2.1\n", ".raw"), (b"% evt 3.0\n", ".raw"),
    (b"% Version 2\n\x00\x08", ".dat"), (b"", ".bin")]))
def test_random_bytes_give_events_or_a_recording_error(tmp_path, body, header):
    path = tmp_path / ("r" + header[1])
    path.write_bytes(header[0] + body)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            ev = read_events(path)
        except RecordingError as e:
            assert str(e).startswith(str(path))
        else:
            assert ev.dtype == RECORD and set(np.unique(ev["p"])) <= {-1, 1}
            assert len(ev) <= len(body) * 32  # at most one event per mask bit
    # Random bytes often end inside a word: the only warning is that cut, naming the file.
    for w in caught:
        assert w.category is RecordingWarning and str(w.message).startswith(f"{path}: cut short: "), w.message


def test_aedat4_streams_and_keeps_windows_exact(tmp_path):
    from tests.support import writers
    pytest.importorskip("lz4")
    rng = np.random.default_rng(11)
    n = 30_000
    ev = records(rng.integers(0, 640, n), rng.integers(0, 480, n), np.sort(rng.integers(0, 3_000_000, n)) + 10**9,
                 rng.integers(0, 2, n))
    path = tmp_path / "r.aedat4"
    data = writers.aedat4(ev, packet=1000)
    path.write_bytes(data + b"\0\0\0\0\xff\xff\x00\x00")  # a packet header claiming more than the file holds
    pieces = iter_events(path, chunk=4096)
    first = next(pieces)  # handed out before the rest of the file is read
    np.testing.assert_array_equal(first, ev[:4096])
    with pytest.warns(RecordingWarning, match="cut short"):
        rest = list(pieces)
    np.testing.assert_array_equal(np.concatenate([first] + rest), ev)
    # One event 1000 s early in the middle: a window is the full read filtered to it, from the earliest time.
    early = ev.copy()
    early["t"][n // 2] -= 1000 * 10**6
    path.write_bytes(writers.aedat4(early, packet=1000))
    full = read_events(path)
    lo = int(full["t"].min()) + 1000 * 10**6 + 500_000
    with pytest.warns(RecordingWarning, match=r"times go backwards at index 15000; the window is taken from a read"):
        window = read_events(path, start=1000 * 10**6 + 500_000, duration=1_000_000)
    np.testing.assert_array_equal(window, full[(full["t"] >= lo) & (full["t"] < lo + 1_000_000)])
