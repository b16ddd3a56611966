"""The noise filters in the streaming path: iter_events, the recording page, its frames and the
command line give exactly what filter_events gives on the whole recording."""
import base64
from pathlib import Path

import numpy as np
import pytest

from tests.support.paths import shared_recording
from zelq.viz import cli, export_recording_html, filter_events, iter_events, read_events, read_sensor_size
from zelq.viz.filters import filter_counts
from zelq.viz.recording_page import read_recording_document, recording_frames

KW = dict(denoise_us=2000, refractory_us=500, drop_hot=True)


def whole(path, **kw):
    ev, sensor = read_events(path), read_sensor_size(path)
    return filter_events(ev, sensor_size=sensor, denoise_us=kw.get("denoise_us"),
                         refractory_us=kw.get("refractory_us"), hot_pixels=kw.get("drop_hot", False))


@pytest.mark.parametrize("name", ["sample_evt3.raw", "sample_nmnist.bin", "sample_ncars.dat"])
@pytest.mark.parametrize("kw", [dict(refractory_us=700), KW])
def test_iteration_in_pieces_equals_the_whole_filtered(name, kw):
    path = shared_recording(name)
    got = np.concatenate(list(iter_events(path, chunk=777, **kw)))
    np.testing.assert_array_equal(got, whole(path, **kw))
    with pytest.raises(ValueError, match="whole recording"):
        iter_events(path, start=10, **kw)
    with pytest.raises(ValueError, match="denoise_us must be a positive"):
        iter_events(path, denoise_us=-1)


@pytest.mark.parametrize("source", ["file", "array"])
def test_page_shows_the_survivors_and_says_what_went(tmp_path, source):
    path = shared_recording("sample_evt3.raw")
    rec = path if source == "file" else read_events(path)
    sensor = read_sensor_size(path)
    out = export_recording_html(rec, tmp_path / "f.html", sensor_size=sensor, max_page_mb=5, **KW)
    doc = read_recording_document(Path(out).read_text(encoding="utf-8"))
    want = whole(path, **KW)
    counts = filter_counts(read_events(path), sensor_size=sensor, denoise_us=2000, refractory_us=500, hot_pixels=True)
    assert doc["source"]["event_count"] == len(want) == doc["filters"]["kept"]
    assert doc["filters"]["removed"] == {k: counts[k] for k in ("hot", "denoise", "refractory")}
    tl = doc["timeline"]
    kept = sum(np.frombuffer(base64.b64decode(tl[k]), "<u4").sum() for k in ("on", "off"))
    removed = np.frombuffer(base64.b64decode(doc["filters"]["removed_bins"]), "<u4")
    assert kept == len(want) and removed.sum() == len(read_events(path)) - len(want)
    assert doc["budget"]["bytes"] == Path(out).stat().st_size <= 5_000_000
    # The frames are the survivors', on the recording's own clock, from a file as from its array.
    a = list(recording_frames(path, frame_period=50_000, **KW))
    b = list(recording_frames(read_events(path), frame_period=50_000, sensor_size=sensor, **KW))
    assert len(a) == len(b) and all(ta == tb and np.array_equal(fa, fb) for (ta, fa), (tb, fb) in zip(a, b))


def test_command_line_flags(tmp_path):
    path = shared_recording("sample_nmnist.bin")
    out = tmp_path / "n.html"
    assert cli.main(["events", str(path), "-o", str(out), "--denoise", "2ms", "--refractory", "1ms", "--drop-hot",
                     "-q"]) == 0
    doc = read_recording_document(out.read_text(encoding="utf-8"))
    assert doc["filters"]["denoise_us"] == 2000 and doc["filters"]["refractory_us"] == 1000
    assert doc["source"]["event_count"] == len(whole(path, denoise_us=2000, refractory_us=1000, drop_hot=True))
    with pytest.raises(SystemExit) as bad:
        cli.main(["events", str(path), "-o", str(out), "--denoise", "0ms", "-q"])
    assert bad.value.code == 2


def test_filters_panel_in_the_browser(page_probe, tmp_path):
    path = shared_recording("sample_evt3.raw")
    out = Path(export_recording_html(path, tmp_path / "p.html", **KW))
    page = page_probe.open(out)
    page.wait_for_selector("html[data-state=ready]", state="attached", timeout=20_000)
    panel = page.locator("[data-part=filters]")
    assert "Denoise removed" in panel.inner_text() and float(page.get_attribute("#removed", "data-peak")) > 0
    assert page_probe.errors == [] and page_probe.external_requests(out) == []
