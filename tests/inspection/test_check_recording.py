"""check_recording and `zelqviz check` on synthetic recordings with planted faults."""
import json
from pathlib import Path

import numpy as np
import pytest

from tests.support.paths import shared_recording
from tests.support.summary_standin import local_hot_oracle
from tests.support.writers import dat
from zelq.viz import cli
from zelq.viz.health import check_recording

from tests.support.decoders import EVENT_DTYPE as RECORD


def oracle(ev, w, h):
    """The report's rules transcribed in NumPy (verdict aside)."""
    t = ev["t"].astype(np.int64)
    latest = np.maximum.accumulate(t)
    gap = np.flatnonzero(t[1:] - latest[:-1] >= 100_000) + 1
    back = np.flatnonzero(t[1:] < t[:-1]) + 1
    bins, counts = np.unique((t - t[0]) // 10_000, return_counts=True)
    burst = counts >= 20 * np.median(counts)
    rows, cols = np.bincount(ev["y"], minlength=h), np.bincount(ev["x"], minlength=w)
    px = np.zeros((h, w), np.int64)
    np.add.at(px, (ev["y"], ev["x"]), 1)
    hot = sorted(([x, y, int(px[y, x])] for x, y in local_hot_oracle(px)), key=lambda p: (-p[2], p[1], p[0]))
    return {"gaps": [[int(latest[i - 1]), int(t[i])] for i in gap],
            "backwards": {"count": len(back), "first_index": int(back[0]) if len(back) else None},
            "bursts": [[int(t[0] + b * 10_000), int(c)] for b, c in zip(bins[burst], counts[burst])],
            "dead_rows": list(np.flatnonzero(rows == 0)) if len(ev) >= 100 * h else [],
            "dead_columns": list(np.flatnonzero(cols == 0)) if len(ev) >= 100 * w else [],
            "hot_pixels": hot}


def faulty(rng, n=40_000, w=24, h=16):
    """Steady events with a gap, a burst, backwards times, a dead row and a stuck pixel."""
    t = np.sort(rng.integers(0, 2_000_000, n))
    t = t[(t < 700_000) | (t > 950_000)]                                   # a 250 ms gap
    t = np.sort(np.concatenate([t, np.full(4000, 1_500_123)]))             # a burst
    ev = np.zeros(len(t), RECORD)
    ev["t"] = t
    ev["x"], ev["y"], ev["p"] = rng.integers(0, w, len(t)), rng.integers(0, h, len(t)), 1
    ev["y"][ev["y"] == 5] = 6                                              # row 5 is dead
    ev["x"][::10], ev["y"][::10] = 3, 9                                    # a stuck pixel
    ev["t"][[10_000, 20_000]] -= 500                                       # two steps back
    return ev


@pytest.mark.parametrize("seed", range(3))
def test_report_matches_oracle_on_planted_faults(seed):
    ev = faulty(np.random.default_rng(seed))
    report = check_recording(ev)
    assert list(report) == ["gaps", "backwards", "bursts", "dead_rows", "dead_columns", "hot_pixels", "verdict"]
    want = oracle(ev, 24, 16)
    assert report["backwards"].pop("first_offset") is None  # an array has no bytes
    assert {k: report[k] for k in want} == want
    assert len(report["gaps"]) == 1 and report["dead_rows"] == [5] and [3, 9] in [p[:2] for p in report["hot_pixels"]]
    assert report["backwards"]["count"] == 2 and len(report["bursts"]) >= 1
    words = " ".join(report["verdict"])
    assert all(k in words for k in ("gap", "backwards", "dead row", "burst", "hot pixel"))


def test_quiet_recordings_and_the_dead_line_condition():
    ev = np.zeros(500, RECORD)
    ev["t"] = np.arange(500) * 100
    ev["x"], ev["y"] = np.arange(500) % 10, 0
    # 500 events over 10 columns: 50 per column, under 100: dead columns are not reported.
    report = check_recording(ev, sensor_size=(20, 1))
    assert report["dead_columns"] == [] and report["dead_rows"] == []
    ev2 = np.concatenate([ev] * 4)
    ev2["t"] = np.arange(2000) * 100
    report = check_recording(ev2, sensor_size=(20, 1))
    assert report["dead_columns"] == list(range(10, 20))
    assert check_recording(ev[:0])["verdict"] == ["no events"]


def test_file_offsets_and_command_exit_status(tmp_path, capsys):
    ev = faulty(np.random.default_rng(5))
    ev["t"] += 1000
    data = dat(ev, geometry=(24, 16))
    path = tmp_path / "faults.dat"
    path.write_bytes(data)
    report = check_recording(path)
    first = report["backwards"]["first_index"]
    header = len(data) - 8 * len(ev)
    assert report["backwards"]["first_offset"] == header + 8 * first
    assert report["gaps"] == oracle(ev, 24, 16)["gaps"]
    assert cli.main(["check", str(path), "--json"]) == 1
    assert json.loads(capsys.readouterr().out) == json.loads(json.dumps(report))
    clean = np.sort(ev[ev["t"] < 600_000], order="t")
    clean["y"] = np.arange(len(clean)) % 16
    path.write_bytes(dat(clean, geometry=(24, 16)))
    assert cli.main(["check", str(path)]) == 0
    assert "faults.dat" in capsys.readouterr().out


def test_shared_sample_is_healthy_by_the_failing_rules():
    report = check_recording(shared_recording("sample_evt3.raw"))
    assert not report["gaps"] and report["backwards"]["count"] == 0 and not report["dead_rows"]
    assert cli.main(["check", str(shared_recording("sample_nmnist.bin")), "-q"]) == 0


def test_file_summaries_count_gaps_and_backwards_for_the_dataset_page(tmp_path):
    from zelq.viz.dataset import dataset_document
    from zelq.viz.recording_page import summarize_recording
    ev = faulty(np.random.default_rng(7))
    ev["t"] += 1000
    path = tmp_path / "faults.dat"
    path.write_bytes(dat(ev, geometry=(24, 16)))
    array_path = tmp_path / "faults.npy"
    np.save(array_path, ev)
    want = oracle(ev, 24, 16)
    for p in (path, array_path):  # the native summary and the engine's
        r = summarize_recording(p)
        assert (r["gaps"], r["backwards"]) == (len(want["gaps"]), want["backwards"]["count"]), p
    doc = dataset_document([summarize_recording(path), summarize_recording(shared_recording("sample_nmnist.bin"))])
    assert doc["columns"]["gaps"] == [1, 0] and doc["columns"]["backwards"] == [2, 0]


def test_hostile_coordinates_and_names_stay_harmless(tmp_path, page_probe):
    ev = faulty(np.random.default_rng(2))
    ev["x"][5], ev["y"][5] = 32767, 32767  # a flipped bit: never sizes the counts
    report = check_recording(ev)
    assert any("outside the sensor" in v for v in report["verdict"])
    # A file cut short, named to break out of the page: its name reaches the health panel as text.
    from zelq.viz import export_recording_html
    name = '<img src=x onerror="window.pwned=1">.dat'
    path = tmp_path / name
    data = dat(ev[ev["x"] < 24], geometry=(24, 16))
    path.write_bytes(data[:-3])
    with pytest.warns(Warning):
        out = export_recording_html(path, tmp_path / "p.html")
    page = page_probe.open(Path(out))
    page.wait_for_selector("html[data-state=ready]", state="attached", timeout=20_000)
    assert "onerror" in page.inner_text("[data-part=health]") and page.evaluate("window.pwned") is None
    assert page.locator("[data-part=health] img").count() == 0
