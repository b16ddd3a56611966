"""The zelqviz command, run as `python -m zelq.viz`: pages from every shared recording, a
graph page, a frame page, and the one-line error exits."""
import json
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

from tests.support.command import ENV
from tests.support.paths import shared_recording
import zelq.viz
from zelq.viz import read_events
from zelq.viz.recordings import RecordingWarning
from zelq.viz.serialize import graph_to_dict

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "data" / "example.zelq"
COUNTS = {"sample_nmnist.bin": 4325, "sample_ncars.dat": 2009, "sample.aedat4": 111954,
          "sample_evt2.raw": 111954, "sample_evt3.raw": 111954}


# The package the suite imports, also from another working directory.
def zelqviz(*args, cwd):
    return subprocess.run([sys.executable, "-m", "zelq.viz", *map(str, args)], cwd=cwd, env=ENV,
                          capture_output=True, text=True, timeout=300)


def page_doc(path):
    page = Path(path).read_text(encoding="utf-8")
    # The graph page holds its document in a comment in a data element, the spike page as a script constant.
    for marker in ('<div id="zelq-doc" hidden><!--', "const DOC = "):
        if marker in page:
            return json.JSONDecoder().raw_decode(page, page.index(marker) + len(marker))[0]
    raise AssertionError("no document in the page")


def recording_doc(path):
    page = Path(path).read_text(encoding="utf-8")
    return json.JSONDecoder().raw_decode(page, page.index('{"kind":"recording"'))[0]


recording = shared_recording


@pytest.mark.parametrize("name", COUNTS)
def test_events_page_of_each_recording_holds_every_event(tmp_path, name):
    r = zelqviz("events", recording(name), cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    out = tmp_path / (Path(name).stem + ".html")
    assert r.stdout.strip() == str(out) and r.stderr == ""  # no progress when stderr is not a terminal
    doc = recording_doc(out)
    assert doc["source"]["event_count"] == COUNTS[name] and doc["source"]["cut_short"] is None
    if name.endswith((".raw", ".aedat4")):
        assert doc["source"]["sensor_size"] == [320, 240]


def test_events_window_and_options(tmp_path):
    path = recording("sample_evt3.raw")
    r = zelqviz("events", path, "--start", "0.1", "--duration", "50ms", "--frames", "7", "--sensor-size", "400x300",
                "--decay", "5ms", "-o", tmp_path / "w.html", "--title", "<w>", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    full = read_events(path)
    t = full["t"] - full["t"][0]
    doc = recording_doc(tmp_path / "w.html")
    assert doc["source"]["event_count"] == np.count_nonzero((t >= 100_000) & (t < 150_000))
    assert doc["frames"]["period_us"] == -(-50_000 // 7) and doc["frames"]["decay_us"] == 5_000
    assert doc["source"]["sensor_size"] == [400, 300] and doc["window"]["start"] == full["t"][0] + 100_000
    assert "<title>&lt;w&gt;</title>" in (tmp_path / "w.html").read_text(encoding="utf-8")
    r = zelqviz("events", path, "--frame-period", "10ms", "--window", "0.2:0.25", "--window", "0.3s:350ms",
                "--max-page-mb", "5", "-o", tmp_path / "v.html", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    doc = recording_doc(tmp_path / "v.html")
    origin = full["t"][0]
    assert doc["budget"]["full_rate"] == [[origin + 200_000, origin + 250_000], [origin + 300_000, origin + 350_000]]
    assert doc["budget"]["max_bytes"] == 5_000_000 and doc["frames"]["period_us"] == 10_000


def test_events_of_a_recording_cut_short_warn_in_one_line(tmp_path):
    data = recording("sample_evt3.raw").read_bytes()
    whole = len(data) // 2 + 1
    (tmp_path / "cut.raw").write_bytes(data[:whole])
    with warnings.catch_warnings():  # whole words from the data's start, or one byte less
        warnings.simplefilter("error", RecordingWarning)
        try:
            read_events(tmp_path / "cut.raw")
        except RecordingWarning:
            whole -= 1
    cut = whole + 1
    (tmp_path / "cut.raw").write_bytes(data[:cut])
    r = zelqviz("events", "cut.raw", cwd=tmp_path)
    assert r.returncode == 0 and r.stderr.count("\n") == 1 and "warning" in r.stderr and "cut short" in r.stderr
    assert recording_doc(tmp_path / "cut.html")["source"]["cut_short"]["offset"] == cut - 1


def test_graph_and_frames_pages(tmp_path):
    r = zelqviz("graph", EXAMPLE, "--no-patterns", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    doc = page_doc(tmp_path / "example.html")
    assert len(doc["nodes"]) == len(graph_to_dict(str(EXAMPLE), False)["nodes"]) and doc["groups"] == []
    np.save(tmp_path / "stack.npy", np.random.default_rng(0).integers(0, 5, (8, 2, 6, 9)).astype(np.float32))
    r = zelqviz("frames", "stack.npy", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    doc = page_doc(tmp_path / "stack.html")
    assert len(doc["animation_frames"]) == 8 and doc["sensor_size"] == [9, 6]


def test_graph_page_with_activity_and_summaries(tmp_path):
    spikes = np.random.default_rng(1).random((50, 16)) < 0.2
    np.savez(tmp_path / "act.npz", stem_lif=spikes)
    r = zelqviz("graph", EXAMPLE, "--activity", "act.npz", "--dt", "0.001", "--payloads", "summary",
                "-o", "g.html", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    page = (tmp_path / "g.html").read_text(encoding="utf-8")
    start = page.index('id="zelq-activity" type="application/json">') + len('id="zelq-activity" type="application/json">')
    act = json.JSONDecoder().raw_decode(page, start)[0]
    [node] = act["nodes"]
    assert node["id"] == "stem_lif" and node["mean"] == pytest.approx(spikes.mean() / 0.001, rel=1e-5)
    assert all("omitted" in rec for n in page_doc(tmp_path / "g.html")["nodes"] for rec in n["params"].values()
               if isinstance(rec, dict) and "stats" in rec)
    np.savez(tmp_path / "bad.npz", nowhere=spikes)
    r = zelqviz("graph", EXAMPLE, "--activity", "bad.npz", cwd=tmp_path)
    assert r.returncode == 1 and "nowhere" in r.stderr and r.stderr.count("\n") == 1


@pytest.mark.parametrize("args, status, message", [
    (["events", "missing.raw"], 1, "zelqviz events: error: missing.raw: No such file or directory"),
    (["events", "bad.raw"], 1, "bad.raw: corrupt data: a word of unknown type (0x1000) at byte 10"),
    (["events", "notes.doc"], 1, "notes.doc: unknown recording format '.doc'"),
    (["events", "notes.txt"], 1, "notes.txt: line 1 is not an event (it does not hold the four fields t x y p): 'hello'"),
    (["graph", "notes.txt"], 1, "zelqviz graph: error: "),
    (["events", "bad.raw", "--frames", "many"], 2, "argument --frames: invalid count 'many'"),
    (["events", "bad.raw", "--start", "2 hours"], 2, "argument --start: invalid time '2 hours'"),
    (["events", "bad.raw", "--start", "99999999999999999"], 2, "argument --start: time '99999999999999999' out of range"),
    (["events", "bad.raw", "--window", "3s:1s"], 2, "argument --window: invalid window '3s:1s'"),
    (["events", "bad.raw", "--frames", "3", "--frame-period", "1ms"], 2, "give one"),
    (["graph", EXAMPLE, "--payloads", "some"], 2, "argument --payloads: invalid choice: 'some'"),
    (["graph", EXAMPLE, "--dt", "0.001"], 2, "--dt needs --activity"),
    (["render", "x"], 2, "zelqviz: error: argument {graph,events,frames,dataset,diff,check,score,stats}: invalid choice: 'render'"),
])
def test_mistakes_exit_with_one_line(tmp_path, args, status, message):
    (tmp_path / "bad.raw").write_bytes(b"% evt 3.0\n\x00\x10")
    (tmp_path / "notes.txt").write_text("hello")
    (tmp_path / "notes.doc").write_text("hello")
    r = zelqviz(*args, cwd=tmp_path)
    assert r.returncode == status
    assert message in r.stderr and r.stderr.count("\n") == 1 and "Traceback" not in r.stderr
    assert r.stdout == "" and not list(tmp_path.glob("*.html"))


# What a newcomer reads: a subcommand's usage errors point to its own help, no message names
# an exception class, every written file is printed as an absolute path, and an empty window
# says what the recording spans. "{tmp}" is the working directory.
@pytest.mark.parametrize("args, status, stdout, stderr", [
    (["--version"], 0, f"zelqviz {zelq.viz.__version__}\n", ""),
    (["events", "bar.npy", "-o", "p.html"], 0, "{tmp}/p.html\n", ""),
    (["events", "bar.npy", "--video", "v.gif", "-o", "p.html"], 0, "{tmp}/v.gif\n{tmp}/p.html\n", ""),
    (["events", "bar.npy", "--video", "sub/v.gif"], 0, "{tmp}/sub/v.gif\n", ""),
    (["events", "bar.npy", "--bogus"], 2, "",
     "zelqviz events: error: unrecognized arguments: --bogus (see zelqviz events --help)\n"),
    (["events", "bar.npy", "--scale", "2"], 2, "", "zelqviz events: error: --scale needs --video (see zelqviz events --help)\n"),
    (["events", "bar.npy", "--boxes", "missing.npy"], 1, "", "zelqviz events: error: missing.npy: no such file\n"),
    (["events", "bar.npy", "-o", "nowhere/p.html"], 1, "", "zelqviz events: error: nowhere: no such directory\n"),
    (["graph", EXAMPLE, "-o", "nowhere/p.html"], 1, "", "zelqviz graph: error: nowhere: no such directory\n"),
    (["events", "bar.npy", "--start", "5s"], 1, "", "zelqviz events: error: bar.npy: no events in the time window "
     "(the recording spans 589.4 ms, from t = 0 to 589,410 µs; a window's start counts from its first event)\n"),
])
def test_messages(tmp_path, args, status, stdout, stderr, event_dtype):
    if "--video" in args:
        pytest.importorskip("av")
    (tmp_path / "sub").mkdir()
    ev = np.zeros(1000, event_dtype)
    ev["x"], ev["y"], ev["t"], ev["p"] = np.arange(1000) % 34, np.arange(1000) % 30, np.arange(1000) * 590, 1
    np.save(tmp_path / "bar.npy", ev)
    r = zelqviz(*args, cwd=tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (status, stdout.format(tmp=tmp_path), stderr)
    for line in r.stdout.splitlines() if args[0] != "--version" else ():
        assert Path(line).stat().st_size > 0


def page_measures(path):
    page = Path(path).read_text(encoding="utf-8")
    marker = '<script id="zelq-measures" type="application/json">'
    return json.JSONDecoder().raw_decode(page, page.index(marker) + len(marker))[0]


@pytest.mark.parametrize("name, text", [
    ("nd.json", '{"energy (pJ)": {"stem_conv": 2.5, "stem_lif": NaN}, "rel_l2": {"stem_lif": 1e-3}}'),
    ("nd.csv", "node,measure,value\nstem_conv,energy (pJ),2.5\nstem_lif,energy (pJ),\nstem_lif,rel_l2,0.001\n"),
    ("nd.txt", "stem_conv,energy (pJ),2.5\r\nstem_lif,energy (pJ),nan\r\nstem_lif,rel_l2,1e-3\r\n"),
])
def test_graph_page_with_node_data(tmp_path, name, text):
    (tmp_path / name).write_text(text, encoding="utf-8")
    r = zelqviz("graph", EXAMPLE, "--no-patterns", "--node-data", name, "-o", "g.html", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert page_measures(tmp_path / "g.html") == {"energy (pJ)": {"stem_conv": 2.5, "stem_lif": None},
                                                  "rel_l2": {"stem_lif": 0.001}}


@pytest.mark.parametrize("text, message", [
    ("stem_conv,latency,1\nnowhere,latency,2\n", "'latency' names node 'nowhere', which is not in the document"),
    ("stem_conv,latency,fast\n", "nd.csv:1: 'fast' is not a number"),
    ("stem_conv,latency\n", "nd.csv:1: expected node,measure,value (got 2 columns)"),
])
def test_graph_node_data_mistakes(tmp_path, text, message):
    (tmp_path / "nd.csv").write_text(text, encoding="utf-8")
    r = zelqviz("graph", EXAMPLE, "--no-patterns", "--node-data", "nd.csv", cwd=tmp_path)
    assert r.returncode == 1 and message in r.stderr and r.stderr.count("\n") == 1
    assert not list(tmp_path.glob("*.html"))
