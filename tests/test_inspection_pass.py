"""The recording page's inspection pass: its health report is check_recording's, and its
space-time points are the even subsample a NumPy transcription of the rule gives."""
import base64
import contextlib
import json

import numpy as np
import pytest

from tests.support.paths import shared_recording
from tests.inspection.test_check_recording import faulty
from tests.support.writers import dat
from zelq.viz import RecordingWarning, check_recording, export_recording_html, read_events
from zelq.viz import recording_inspection as inspection
from zelq.viz.recording_page.span import span_of
from zelq.viz.recordings import _sources


def sample_oracle(ev, t0, t1, cap):
    """(events in [t0, t1), step, their every step-th in file order): the least power-of-two step
    that keeps at most `cap`."""
    t = ev["t"].astype(np.int64)
    inside = np.flatnonzero((t >= t0) & (t < t1))
    step = 1
    while -(-len(inside) // step) > cap:
        step *= 2
    return len(inside), step, ev[inside[::step]]


def page_parts(recording, max_bytes):
    src = _sources.open_source(recording, "drop", _sources.options_arg(None, None, None))
    span = span_of(src, 0, None, None)
    text, _ = inspection.gathered_parts(src, span.sensor, span.t0, span.t1, (None, None, ()), max_bytes)
    return json.loads("{" + text[1:] + "}"), span


def cases(tmp_path):
    damaged = faulty(np.random.default_rng(7))
    path = tmp_path / "damaged.dat"
    path.write_bytes(dat(damaged, geometry=(24, 16)))
    return {"damaged file": path, "damaged array": damaged,
            "float times": retyped(damaged, [("t", "<f8"), ("x", "<i2"), ("y", "<i2"), ("p", "<i1")]),
            "unsorted wide": retyped(damaged[::-1], [("t", "<i8"), ("x", "<i8"), ("y", "<u4"), ("p", "?")])}


def retyped(ev, dtype):
    out = np.empty(len(ev), dtype)
    for name in out.dtype.names:
        out[name] = ev[name] > 0 if out.dtype[name].kind == "b" else ev[name]
    return out


@pytest.mark.parametrize("name", ["sample_evt3.raw", "sample_evt2.raw", "sample_ncars.dat", "sample_nmnist.bin",
                                  "sample.aedat4", "damaged file", "damaged array", "float times", "unsorted wide"])
@pytest.mark.parametrize("max_bytes", [300_000, 100_000_000])  # a budget that thins the sample, and one that does not
def test_inspection_pass_is_check_recording_and_an_even_sample(name, max_bytes, tmp_path):
    recording = cases(tmp_path)[name] if " " in name else shared_recording(name)
    parts, span = page_parts(recording, max_bytes)
    assert parts["health"]["report"] == check_recording(recording)

    ev = recording if isinstance(recording, np.ndarray) else read_events(recording)
    xyt = parts["xyt"]
    cap = min(1_000_000, max_bytes * (0.12 if max_bytes >= 10_000_000 else 0.02) // 12)
    count, step, kept = sample_oracle(ev, span.t0, span.t1, cap)
    assert (xyt["count"], xyt["step"], xyt["points"]) == (count, step, len(kept))
    if max_bytes < 10_000_000 and count > cap:
        assert step > 1
    got = {k: np.frombuffer(base64.b64decode(xyt[k]), d) for k, d in
           (("x", "<u2"), ("y", "<u2"), ("t", "<u4"), ("p", "u1"))}
    np.testing.assert_array_equal(got["x"], np.clip(kept["x"].astype(np.int64), 0, 65535))
    np.testing.assert_array_equal(got["y"], np.clip(kept["y"].astype(np.int64), 0, 65535))
    np.testing.assert_array_equal(got["t"].astype(np.int64) * xyt["t_unit"] + xyt["t_base"],
                                  (kept["t"].astype(np.int64) - span.t0) // xyt["t_unit"] * xyt["t_unit"] + span.t0)
    np.testing.assert_array_equal(got["p"], kept["p"] > 0)


@pytest.mark.parametrize("name, mb", [("sample_evt3.raw", 100), ("sample_evt2.raw", 100), ("sample_evt3.raw", 0.6),
                                      ("damaged", 100), ("damaged, cut short", 100)])
def test_page_pass_that_gathers_the_health_writes_the_same_page(name, mb, tmp_path, monkeypatch):
    from zelq.viz.recording_page import folding
    if name.startswith("damaged"):
        recording = tmp_path / "damaged.dat"
        data = dat(faulty(np.random.default_rng(3)), geometry=(24, 16))
        recording.write_bytes(data[:-3] if "cut" in name else data)
    else:
        recording = shared_recording(name)
    seen = []
    stands = folding.stands
    monkeypatch.setattr(folding, "stands", lambda *a: seen.append(stands(*a)) or seen[-1])
    with warned("cut" in name):
        export_recording_html(recording, tmp_path / "one.html", max_page_mb=mb)
    monkeypatch.setattr(folding, "foldable", lambda *a: False)
    with warned("cut" in name):
        export_recording_html(recording, tmp_path / "two.html", max_page_mb=mb)
    assert seen == [mb == 100]  # the pass gathered them; a page that fills its budget is passed again
    assert (tmp_path / "one.html").read_bytes() == (tmp_path / "two.html").read_bytes()


def warned(cut):
    """A file cut short says so on every pass; the others pass quietly."""
    return pytest.warns(RecordingWarning, match="cut short") if cut else contextlib.nullcontext()
