"""AEDAT 2.0 and 3.1 (.aedat): decoded against the layouts written here and against Tonic's
reader, in whole, in windows and in pieces; their sensor sizes; damaged files; and the DVS
Gesture labels CSV."""
from pathlib import Path

import numpy as np
import pytest

from tests.support import format_writers as fw
from tests.support.browser import wait_until
from tests.support.events import random_events
from zelq.viz.recordings import RecordingError, RecordingWarning, iter_events, read_events, read_sensor_size


def _events(n, width, height, seed=0, t0=0):
    return random_events(n, width, height, 2_000_000, seed, t0)


def _write(tmp_path, data, name="r.aedat"):
    path = tmp_path / name
    path.write_bytes(data)
    return path


def _all_ways(path, **kw):
    """read_events, and iter_events joined, which must agree."""
    whole = read_events(path, **kw)
    pieces = list(iter_events(path, chunk=997, **kw))
    joined = np.concatenate(pieces) if pieces else whole[:0]
    np.testing.assert_array_equal(joined, whole)
    return whole


@pytest.mark.parametrize("per_packet", [1, 700, 100_000])
def test_aedat31_polarity_packets(tmp_path, per_packet):
    ev = _events(4000, 128, 128)
    path = _write(tmp_path, fw.aedat31(ev, per_packet=per_packet))
    np.testing.assert_array_equal(_all_ways(path), ev)
    lo = ev["t"][0] + 300_000
    window = _all_ways(path, start=300_000, duration=250_000)
    np.testing.assert_array_equal(window, ev[(ev["t"] >= lo) & (ev["t"] < lo + 250_000)])
    assert read_sensor_size(path) == (128, 128)


def test_aedat31_against_tonic(tmp_path):
    tonic_io = pytest.importorskip("tonic.io")
    ev = _events(3000, 128, 128, seed=3)
    path = _write(tmp_path, fw.aedat31(ev, per_packet=256, others=False))
    version, start, _ = tonic_io.read_aedat_header_from_file(str(path))
    raw = tonic_io.get_aer_events_from_file(str(path), version, start)
    a = raw["address"]
    ours = read_events(path)
    np.testing.assert_array_equal(ours["x"], (a >> 17) & 0x1FFF)
    np.testing.assert_array_equal(ours["y"], (a >> 2) & 0x1FFF)
    np.testing.assert_array_equal(ours["p"] > 0, ((a >> 1) & 1) == 1)
    np.testing.assert_array_equal(ours["t"], raw["timeStamp"])


def test_aedat31_overflow_invalid_and_skipped_kinds(tmp_path):
    # t = overflow << 31 | timestamp; invalid events dropped; frames of odd size skipped whole.
    x, y, t, on = [3, 4, 5], [1, 2, 3], [10, 20, 30], [1, 0, 1]
    data = (fw.aedat31_header(None) + fw.frame_packet(2, size=37) + fw.polarity_packet(x, y, t, on, valid=[1, 0, 1],
                                                                                      overflow=2)
            + fw.special_packet(3))
    path = _write(tmp_path, data)
    got = _all_ways(path)
    np.testing.assert_array_equal(got["x"], [3, 5])
    np.testing.assert_array_equal(got["t"], [(2 << 31) + 10, (2 << 31) + 30])
    np.testing.assert_array_equal(got["p"], [1, 1])
    assert read_sensor_size(path) is None


@pytest.mark.parametrize("chip", ["ch.unizh.ini.jaer.chip.retina.DVS128", "Tmpdiff128", None])
def test_aedat2_dvs128(tmp_path, chip):
    ev = _events(3000, 128, 128, seed=1, t0=3_000_000_000)  # starts past 2^31 and wraps at 2^32
    path = _write(tmp_path, fw.aedat2(fw.dvs128_address(ev["x"], ev["y"], ev["p"] > 0), ev["t"], chip=chip))
    np.testing.assert_array_equal(_all_ways(path), ev)
    assert read_sensor_size(path) == (128, 128)


@pytest.mark.parametrize("chip, size", [("eu.seebetter.ini.chips.davis.DAVIS240C", (240, 180)),
                                        ("eu.seebetter.ini.chips.davis.DAVIS346B", (346, 260)),
                                        (None, (346, 260))])
def test_aedat2_davis(tmp_path, chip, size):
    ev = _events(3000, *size, seed=2)
    ev["x"][0], ev["y"][0] = size[0] - 1, size[1] - 1  # the largest coordinates give the size without a chip
    addresses = fw.davis_address(ev["x"], ev["y"], ev["p"] > 0, size[0])
    # APS samples, IMU samples and external inputs between the events: skipped.
    others = np.array([0x80000000 | 5, 0x80000C00 | 7, 1 << 10], np.uint32)
    addresses = np.insert(addresses, [10, 20, 30], others)
    times = np.insert(ev["t"], [10, 20, 30], ev["t"][[10, 20, 30]])
    path = _write(tmp_path, fw.aedat2(addresses, times, chip=chip))
    np.testing.assert_array_equal(_all_ways(path), ev)
    assert read_sensor_size(path) == size


def test_aedat2_davis_chip_refuses_events_outside(tmp_path):
    ev = _events(100, 346, 260)
    path = _write(tmp_path, fw.aedat2(fw.davis_address(ev["x"], ev["y"], ev["p"] > 0, 346), ev["t"],
                                      chip="DAVIS240C"))
    with pytest.raises(RecordingError, match=r"outside the 240 × 180 sensor its header declares; the first"):
        read_events(path)
    with pytest.warns(RecordingWarning, match="dropped"):
        kept = read_events(path, outside="drop")
    assert (kept["x"] < 240).all() and (kept["x"] >= 0).all() and len(kept) < 100


def _damaged_31(ev):
    good = fw.aedat31(ev, per_packet=500, others=False)
    header = len(fw.aedat31_header())
    return {
        "cut in an event": (good[:-3], "cut short"),
        "cut in a header": (good + fw.packet_header(1, 8, 4, 0, 5)[:11], "cut short"),
        "number past the file": (good + fw.packet_header(1, 8, 4, 0, 1 << 30), "cut short"),
        "size past the file": (good + fw.packet_header(2, 1 << 30, 4, 0, 2), "cut short"),
        "size below an event": (good[:header] + fw.packet_header(1, 4, 0, 0, 2) + bytes(8), "eventSize"),
        "negative number": (good[:header] + fw.packet_header(1, 8, 4, 0, -1), "eventNumber"),
        "valid past number": (good[:header] + fw.packet_header(1, 8, 4, 0, 2, valid=3) + bytes(16), "eventNumber"),
        "time outside the event": (good[:header] + fw.packet_header(1, 8, 6, 0, 1) + bytes(8), "eventTSOffset"),
    }


@pytest.mark.parametrize("cause", list(_damaged_31(_events(2, 8, 8))))
def test_aedat31_damaged(tmp_path, cause):
    ev = _events(2000, 128, 128, seed=5)
    data, what = _damaged_31(ev)[cause]
    path = _write(tmp_path, data)
    if what == "cut short":
        for read in (read_events, lambda p: np.concatenate(list(iter_events(p, chunk=300)))):
            with pytest.warns(RecordingWarning, match=rf"{path}: cut short: the file ends at byte {len(data)}, "
                                                      r"inside the packet at byte \d+"):
                got = read(path)
            np.testing.assert_array_equal(got, ev[:len(got)])
            assert len(got) >= 1500
    else:
        with pytest.raises(RecordingError, match=rf"{path}: corrupt data: the packet header at byte \d+ is no "
                                                 rf"packet's: its {what}"):
            read_events(path)


@pytest.mark.parametrize("data, message", [
    (b"#!AER-DAT3.1\r\n#Source 1: DVS128\r\n", "ends inside its header"),
    (b"#!AER-DAT1.0\r\n" + bytes(12), "AEDAT 1.0, which is not read"),
    (b"#!AER-DAT4.0\r\n" + bytes(12), "is an AEDAT 4.0 file: name it .aedat4"),
])
def test_aedat_headers_refused(tmp_path, data, message):
    with pytest.raises(RecordingError, match=message):
        read_events(_write(tmp_path, data))


# ---------------------------------------------------------------- labelled segments

def test_labels_csv_is_never_an_event_file(tmp_path):
    from zelq.viz.recordings import read_segments
    path = tmp_path / "user01_fluorescent_labels.csv"
    path.write_text("class,startTime_usec,endTime_usec\n1,80000,1500000\n2,1600000,2900000\n")
    with pytest.raises(RecordingError, match="labelled segments"):
        read_events(path)
    assert [tuple(s) for s in read_segments(path)] == [("1", 80000, 1500000), ("2", 1600000, 2900000)]
    path.write_text("class,startTime_usec,endTime_usec\n1,80000,1500000\n2,16x,2900000\n")
    with pytest.raises(RecordingError, match="line 3 is not a segment"):
        read_segments(path)


def test_segments_on_the_page_timeline(tmp_path, page_probe):
    from zelq.viz.recording_page import read_recording_document
    from zelq.viz.stream import export_recording_html
    ev = _events(3000, 128, 128, seed=7)
    path = _write(tmp_path, fw.aedat31(ev), "user01_lab.aedat")
    labels = tmp_path / "user01_lab_labels.csv"
    a, b = int(ev["t"][100]), int(ev["t"][900])
    labels.write_text(f"class,startTime_usec,endTime_usec\n3,{a},{b}\n7,{b},{b + 1000}\n")
    page = export_recording_html(path, tmp_path / "p.html", segments=labels)
    doc = read_recording_document(open(page, encoding="utf-8").read())
    assert doc["timeline"]["labels"] == [{"label": "3", "start": a, "end": b}, {"label": "7", "start": b, "end": b + 1000}]
    # 3 polarity packets, each followed by 2 special events and a frame: counted in the page's note.
    assert f"{path}: skipped 6 special and external-input events, 3 APS frames and samples" in doc["source"]["warnings"]
    plain = read_recording_document(open(export_recording_html(path, tmp_path / "q.html"), encoding="utf-8").read())
    assert "labels" not in plain["timeline"]  # pages without segments stay as they were
    shown = page_probe.open(Path(page))
    wait_until(shown, "document.getElementById('timeline-info').textContent.length > 0")
    assert shown.inner_text("#timeline-info").endswith("2 labelled segments") and not page_probe.errors
    with pytest.raises(ValueError, match="a segment needs 0 <= start < end"):
        export_recording_html(path, tmp_path / "r.html", segments=[("x", 5, 5)])
