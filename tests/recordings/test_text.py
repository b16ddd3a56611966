"""Event text files: `t x y p` lines in seconds (.txt) and CSV with role names in µs (.csv),
against the records written here and a NumPy parse of the same text; bad lines named."""
import numpy as np
import pytest

from tests.support import format_writers as fw
from tests.support.events import random_events, read_both_ways
from zelq.viz.recordings import RecordingError, RecordingWarning, iter_events, read_events, read_sensor_size


def _events(n=2500, seed=0):
    return random_events(n, 240, 180, 50_000_000, seed)


def _both(path, **kw):
    return read_both_ways(path, 301, **kw)


@pytest.mark.parametrize("size", [None, (240, 180)])
def test_txt_seconds(tmp_path, size):
    ev = _events()
    path = tmp_path / "events.txt"
    path.write_bytes(fw.text_lines(ev, size))
    np.testing.assert_array_equal(_both(path), ev)
    assert read_sensor_size(path) == size
    lo = ev["t"][0] + 1_000_000
    np.testing.assert_array_equal(_both(path, start=1_000_000, duration=2_000_000),
                                  ev[(ev["t"] >= lo) & (ev["t"] < lo + 2_000_000)])


def test_txt_rounding_against_numpy(tmp_path):
    # Seconds to the nearest µs, exactly from the digits (halves away from zero), where a double
    # product would land on either side: NumPy's decimal parse times 1e6 is the oracle away from halves.
    lines = ["0.0000004 1 1 1", "0.0000005 1 1 0", "1.9999995 2 2 1", "123456.123456789 3 3 -1",
             "  7.25\t4 4 1  ", "1.5e-3 5 5 1", "+0.000001 6 6 1", "3 7 7 0"]
    path = tmp_path / "r.txt"
    path.write_text("\n".join(lines))  # no newline after the last line: it still counts
    got = read_events(path)
    assert got["t"].tolist() == [0, 1, 2_000_000, 123456123457, 7_250_000, 1500, 1, 3_000_000]
    table = np.loadtxt(path)
    away = np.abs(table[:, 0] * 1e6 % 1 - 0.5) > 1e-3
    np.testing.assert_array_equal(got["t"][away], np.rint(table[away, 0] * 1e6))
    np.testing.assert_array_equal(got["p"], np.where(table[:, 3] > 0, 1, -1))


@pytest.mark.parametrize("header", [("t", "x", "y", "p"), ("x", "ts", "extra", "y", "polarity")])
def test_csv_roles(tmp_path, header):
    ev = _events(seed=1)
    path = tmp_path / "events.csv"
    path.write_bytes(fw.csv_lines(ev, header))
    np.testing.assert_array_equal(_both(path), ev)
    assert read_sensor_size(path) is None


def test_csv_without_y_or_polarity(tmp_path):
    path = tmp_path / "audio.csv"
    path.write_text("timestamp,channel\n5,3\n9,7\n")
    got = read_events(path)
    assert got.tolist() == [(3, 0, 5, 1), (7, 0, 9, 1)]


@pytest.mark.parametrize("name, text, line, why", [
    ("a.txt", "0.1 1 2 1\n0.2 1 2\n", 2, "the four fields t x y p"),
    ("a.txt", "240 180\n0.1 1 2 1\n0.2 a 2 1\n", 3, "x is not a whole number"),
    ("a.txt", "0.1 1 2 1\n\n0.3 1 2.5 1\n", 3, "y is not a whole number"),
    ("a.txt", "zero 1 2 1\n", 1, "time is not a number of seconds"),
    ("a.txt", "99999999999999 1 2 1\n", 1, "lies past 64-bit"),
    ("a.txt", "0.1 1 2 on\n", 1, "polarity is not a number"),
    ("a.csv", "t,x,y,p\n1,2,3,1\n4,5,6\n", 3, "the 4 fields of the header"),
    ("a.csv", "t,x,y,p\n1,2,3,1\n4.5.6,5,6,1\n", 3, "time is not a number of µs"),
])
def test_bad_lines_are_named(tmp_path, name, text, line, why):
    path = tmp_path / name
    path.write_text(text)
    for read in (read_events, lambda p: list(iter_events(p))):
        with pytest.raises(RecordingError, match=rf"{path}: line {line} is not an event \([^)]*{why}"):
            read(path)


@pytest.mark.parametrize("header, message", [
    ("class,startTime_usec,endTime_usec", "labelled segments"),
    ("a,b,c", "names no time and x columns"),
])
def test_csv_headers_refused(tmp_path, header, message):
    path = tmp_path / "h.csv"
    path.write_text(header + "\n1,2,3\n")
    with pytest.raises(RecordingError, match=message):
        read_events(path)


def test_huge_text_coordinates_refused_or_dropped(tmp_path):
    path = tmp_path / "h.txt"
    path.write_text("0.1 1 2 1\n0.2 40000 2 1\n0.3 3 4 0\n")
    with pytest.raises(RecordingError, match=r"1 event outside the 32768 × 32768 addresses of text; "
                                             r"the first: x=40000, y=2, t=200000"):
        read_events(path)
    with pytest.warns(RecordingWarning, match="dropped 1 event"):
        assert read_events(path, outside="drop")["x"].tolist() == [1, 3]
