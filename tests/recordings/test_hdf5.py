"""HDF5 event files, each layout written here with h5py and read back against h5py's own view of
the same datasets; choices inside a file (dataset=, sample=), missing filters, damaged files."""
import numpy as np
import pytest

from tests.support.events import random_events, read_both_ways
from zelq.viz.recordings import RecordingError, read_events, read_sensor_size

h5py = pytest.importorskip("h5py")
hdf5plugin = pytest.importorskip("hdf5plugin")


def _events(n=5000, seed=0):
    return random_events(n, 640, 480, 3_000_000, seed)


def _both(path, **kw):
    return read_both_ways(path, 999, **kw)


def _dsec(path, ev, offset=5_000_000, index=True):
    with h5py.File(path, "w") as f:
        g = f.create_group("events")
        g.create_dataset("x", data=ev["x"].astype("u2"), compression=hdf5plugin.Blosc(), chunks=(1000,))
        g.create_dataset("y", data=ev["y"].astype("u2"), compression=hdf5plugin.Blosc(), chunks=(1000,))
        g.create_dataset("t", data=ev["t"].astype("u4"), compression=hdf5plugin.Zstd(), chunks=(1000,))
        g.create_dataset("p", data=(ev["p"] > 0).astype("u1"))
        f["t_offset"] = np.int64(offset)
        if index:
            f["ms_to_idx"] = np.searchsorted(ev["t"], np.arange(ev["t"][-1] // 1000 + 1) * 1000).astype("u8")
    return path


def _h5py_view(path, group="events"):
    with h5py.File(path, "r") as f:
        g = f[group]
        t = g["t"][:].astype(np.int64) + (int(f["t_offset"][()]) if "t_offset" in f else 0)
        return g["x"][:], g["y"][:], t, g["p"][:]


@pytest.mark.parametrize("index", [True, False])
def test_events_group_with_offset_and_index(tmp_path, index):
    path = _dsec(tmp_path / "dsec.h5", _events(), index=index)
    x, y, t, p = _h5py_view(path)
    got = _both(path)
    np.testing.assert_array_equal(got["x"], x)
    np.testing.assert_array_equal(got["y"], y)
    np.testing.assert_array_equal(got["t"], t)
    np.testing.assert_array_equal(got["p"], np.where(p > 0, 1, -1))
    lo = t[0] + 1_234_567
    window = _both(path, start=1_234_567, duration=300_000)
    np.testing.assert_array_equal(window["t"], t[(t >= lo) & (t < lo + 300_000)])
    assert read_sensor_size(path) is None


def test_compound_dataset_with_role_names(tmp_path):
    ev = _events(seed=1)
    path = tmp_path / "cd.hdf5"
    with h5py.File(path, "w") as f:
        f.attrs["geometry"] = "640x480"
        f.create_dataset("CD/events", data=ev[["x", "y", "p", "t"]], compression=hdf5plugin.LZ4(), chunks=(700,))
        f.create_dataset("CD/indexes", data=np.zeros(3, [("id", "<i8"), ("ts", "<i8")]))
    with h5py.File(path, "r") as f:
        table = f["CD/events"][:]
    got = _both(path)
    np.testing.assert_array_equal(got[["x", "y", "t"]], table[["x", "y", "t"]])
    assert read_sensor_size(path) == (640, 480)


def test_tables_per_camera_and_dataset_choice(tmp_path):
    ev = _events(seed=2)
    path = tmp_path / "mvsec.hdf5"
    with h5py.File(path, "w") as f:
        for cam, shift in (("left", 0.0), ("right", 0.25)):
            table = np.stack([ev["x"], ev["y"], ev["t"] / 1e6 + 1.5e9 + shift, ev["p"]], 1)
            f.create_dataset(f"davis/{cam}/events", data=table)
    with pytest.raises(RecordingError, match=r"several event datasets \(/davis/left/events, /davis/right/events\); "
                                             r"choose one with dataset="):
        read_events(path)
    with pytest.raises(RecordingError, match="no event dataset 'davis/centre/events'"):
        read_events(path, dataset="davis/centre/events")
    got = _both(path, dataset="/davis/right/events")
    with h5py.File(path, "r") as f:
        table = f["davis/right/events"][:]
    np.testing.assert_array_equal(got["t"], np.rint(table[:, 2] * 1e6).astype(np.int64))
    np.testing.assert_array_equal(got["x"], table[:, 0].astype(int))
    np.testing.assert_array_equal(got["p"], np.where(table[:, 3] > 0, 1, -1))


def _spike_trains(path, n=4):
    rng = np.random.default_rng(4)
    with h5py.File(path, "w") as f:
        times = f.create_dataset("spikes/times", (n,), dtype=h5py.vlen_dtype(np.float32))
        units = f.create_dataset("spikes/units", (n,), dtype=h5py.vlen_dtype(np.uint16))
        for k in range(n):
            times[k] = np.sort(rng.random(50 + k)).astype(np.float32)
            units[k] = rng.integers(0, 700, 50 + k)
        f["labels"] = np.array([3, 1, 0, 2])
        f.create_dataset("extra/keys", data=np.array([b"zero", b"one", b"two", b"three"]))
    return path


def test_spike_train_samples(tmp_path):
    path = _spike_trains(tmp_path / "shd.h5")
    with pytest.raises(RecordingError, match="holds 4 samples of spike trains; choose one with sample="):
        read_events(path)
    got = _both(path, sample=2)
    with h5py.File(path, "r") as f:
        t, u = f["spikes/times"][2], f["spikes/units"][2]
    np.testing.assert_array_equal(got["t"], np.rint(t.astype(np.float64) * 1e6))
    np.testing.assert_array_equal(got["x"], u)
    assert (got["p"] == 1).all() and (got["y"] == 0).all()
    # A dataset makes a row of each sample, in order, labelled from the file's labels.
    pytest.importorskip("distributed")
    from zelq.viz import dataset
    rows = dataset.summarize_dataset([path])
    assert [r["label"] for r in rows] == ["three", "one", "zero", "two"]
    assert [r["event_count"] for r in rows] == [len(read_events(path, sample=k)) for k in range(4)]
    with pytest.raises(RecordingError, match="has no sample 9"):
        read_events(path, sample=9)
    with pytest.raises(ValueError, match="topic= applies to"):
        read_events(path, topic="/events")


def test_missing_filter_named(tmp_path):
    path = tmp_path / "ecf.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("CD/events", data=_events(10)[["x", "y", "p", "t"]], chunks=(5,),
                         compression=36559, allow_unknown_filter=True)
    with pytest.raises(RecordingError, match=r"'/CD/events' is compressed with the .* filter \(id 36559\), which is "
                                             r"not available here: install Prophesee's ECF codec"):
        read_events(path)


@pytest.mark.parametrize("cause", ["lengths disagree", "times and units disagree", "not hdf5", "no events"])
def test_damaged_hdf5(tmp_path, cause):
    path = tmp_path / "d.h5"
    if cause == "lengths disagree":
        with h5py.File(path, "w") as f:
            for name, n in (("x", 10), ("y", 10), ("t", 9), ("p", 10)):
                f[f"events/{name}"] = np.zeros(n, "u4")
        match = r"the datasets of '/events' disagree in length \(.*t: 9"
    elif cause == "times and units disagree":
        with h5py.File(path, "w") as f:
            f.create_dataset("spikes/times", (3,), dtype=h5py.vlen_dtype(np.float32))
            f.create_dataset("spikes/units", (2,), dtype=h5py.vlen_dtype(np.uint16))
        match = "disagree in length"
    elif cause == "not hdf5":
        path.write_bytes(b"\x89HDF\r\n\x1a\n" + bytes(100))
        match = "cannot be read as HDF5"
    else:
        with h5py.File(path, "w") as f:
            f["images"] = np.zeros((2, 3, 3))
        match = "holds no event data"
    with pytest.raises(RecordingError, match=rf"{path}: .*{match}"):
        read_events(path, sample=0) if cause == "times and units disagree" else read_events(path)


def test_command_line_chooses_inside_the_file(tmp_path, capsys):
    from zelq.viz import cli
    from zelq.viz.recording_page import read_recording_document
    path = _spike_trains(tmp_path / "shd.h5")
    assert cli.main(["events", str(path), "-q", "-o", str(tmp_path / "s.html"), "--sample", "1"]) == 0
    doc = read_recording_document((tmp_path / "s.html").read_text(encoding="utf-8"))
    assert doc["source"]["event_count"] == 51 and doc["source"]["format"] == "HDF5"
    assert cli.main(["events", str(path), "-q", "-o", str(tmp_path / "t.html")]) == 1
    assert "holds 4 samples of spike trains; choose one with sample= (on the command line, --sample K)" \
        in capsys.readouterr().err
