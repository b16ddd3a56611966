"""The main job: the demo runs, and the pages it writes work in a browser."""
import importlib
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from tests.support.command import ENV
from zelq.viz.serialize import graph_to_dict

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(EXAMPLES))
SAMPLES = importlib.import_module("sample_recordings")
VIEWER_READY = "() => new Promise(r => { const c = () => (window.zelqViewer && zelqViewer.ready ? r() : setTimeout(c, 5)); c(); })"


@pytest.fixture(scope="module")
def demo_pages(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    run = subprocess.run([sys.executable, str(EXAMPLES / "demo.py"), "--out", str(out), "--no-browser"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "warn" not in run.stderr.lower() and "could not open" not in run.stdout, run.stderr
    assert "106,191 events over 1000.0 ms on a 128 x 128 sensor" in run.stdout
    written = [Path(line.split(" ", 1)[1]) for line in run.stdout.splitlines() if line.startswith("wrote ")]
    assert all(p.is_absolute() for p in written)
    pages = {p.name: p for p in written if p.suffix in (".html", ".mp4")}
    video = {"recording.mp4"} if importlib.util.find_spec("av") else set()  # the video extra writes it
    assert set(pages) == {"graph.html", "graph_mlp.html", "activity.html", "network.html", "spikes.html", "frames.html",
                          "recording.html", "inspect_raw.html", "inspect_filtered.html"} | video
    recordings = set(SAMPLES.file_names().values()) - ({"bar.aedat4"} if importlib.util.find_spec("lz4") is None else set())
    assert {"bar.raw", "bar_evt2.raw", "bar_evt21.raw", "bar.dat", "bar.bin"} <= recordings
    assert {p.name for p in written} - set(pages) == recordings | {"bar.npy", "bar.npz", "bar_frames.npy"}
    return pages


def test_demo_recordings_read_back_as_the_bundled_events(demo_pages):
    from zelq.viz import read_events

    bundled = np.load(EXAMPLES / "data" / "rotating_bar.npy")
    out = demo_pages["graph.html"].parent
    for path in sorted(out.glob("bar*")):
        if path.suffix in (".html", ".mp4") or path.name == "bar_frames.npy":
            continue
        got = read_events(path)
        for field in "xytp":
            assert np.array_equal(got[field], bundled[field]), (path.name, field)


# The README's command lines that name files of a clone or of the demo's out/ (not placeholders).
README_COMMANDS = [line.split("#")[0].split()[1:] for line in re.findall(
    r"^zelqviz .*$", "\n".join(re.findall(r"^```sh\n(.*?)^```", (ROOT / "README.md").read_text("utf-8"),
                                            flags=re.S | re.M)), flags=re.M)
    if re.search(r" (out|examples)/", line)]


def test_readme_command_lines_run_on_the_demo_files(demo_pages, tmp_path):
    assert len(README_COMMANDS) >= 6 and {c[0] for c in README_COMMANDS} >= {"events", "graph", "frames"}
    (tmp_path / "out").symlink_to(demo_pages["graph.html"].parent)
    (tmp_path / "examples").symlink_to(EXAMPLES)
    for command in README_COMMANDS:
        if "--video" in command and not importlib.util.find_spec("av"):
            continue
        # In another folder: the package found by its absolute path, as `PYTHONPATH=src` from the tree gives it.
        run = subprocess.run([sys.executable, "-m", "zelq.viz", *command, "--quiet"], cwd=tmp_path, env=ENV,
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0 and run.stderr == "", (command, run.stderr)
        for line in run.stdout.splitlines():
            assert Path(line).is_absolute() and Path(line).stat().st_size > 0, (command, line)


def _keys(page):
    return page.eval_on_selector_all("#graph .node, #graph .group", "els => els.map(e => e.getAttribute('data-key'))")


def test_example_graph_page_draws_every_node_and_toggles_groups(page_probe, demo_pages):
    path = demo_pages["graph.html"]
    doc = graph_to_dict(str(EXAMPLES / "data" / "example.zelq"))
    assert doc["groups"], "the example graph shows detected patterns"
    page = page_probe.open(path)
    page.evaluate(VIEWER_READY)
    collapsed = set(_keys(page))
    assert {k for k in collapsed if k.startswith("g:")}, "groups start collapsed"
    box = page.locator("#graph .group").first
    gid = box.get_attribute("data-key")[2:]
    box.dblclick()
    page.evaluate("zelqViewer.idle()")
    assert "g:" + gid not in set(_keys(page))
    page.click(f'#graph .frame-head[data-key="f:{gid}"]')
    page.evaluate("zelqViewer.idle()")
    assert "g:" + gid in set(_keys(page))
    page.click("#btn-expand")
    page.evaluate("zelqViewer.idle()")
    assert sorted(k[2:] for k in _keys(page)) == sorted(n["id"] for n in doc["nodes"])
    assert page_probe.errors == []
    assert page_probe.external_requests(path) == []


@pytest.mark.parametrize("name, frames", [("spikes.html", 20), ("frames.html", 12)])
def test_example_spike_pages_decode_every_image(page_probe, demo_pages, name, frames):
    path = demo_pages[name]
    page = page_probe.open(path)
    page.wait_for_selector("html[data-state=ready]", state="attached", timeout=20_000)
    sizes = page.eval_on_selector_all("img", "els => els.map(e => [e.complete, e.naturalWidth])")
    assert len(sizes) >= 5 and all(done and width == 128 for done, width in sizes)
    assert page.evaluate("DOC.animation_frames.length") == frames
    assert page_probe.errors == []
    assert page_probe.external_requests(path) == []


def test_example_activity_page_colours_the_recorded_layers(page_probe, demo_pages):
    path = demo_pages["activity.html"]
    page = page_probe.open(path)
    page.evaluate(VIEWER_READY)
    assert page.input_value("#act-measure") == "mean"
    fills = page.eval_on_selector_all("#graph .node", """els => Object.fromEntries(els.map(e =>
      [e.getAttribute('data-key'), e.querySelectorAll('path.shape')[1].getAttribute('fill')]))""")
    # recorded layers on the colour scale, the unrecorded ones neutral and alike
    assert len({fills[k] for k in ("n:input", "n:lif1", "n:lif2", "n:lif3")}) == 4
    assert fills["n:conv1"] == fills["n:fc1"] == fills["n:flatten"]
    assert page_probe.errors == [] and page_probe.external_requests(path) == []


def test_example_recording_page_and_video_hold_the_second_of_frames(page_probe, demo_pages):
    av = pytest.importorskip("av")
    path = demo_pages["recording.html"]
    page = page_probe.open(path)
    page.wait_for_selector("html[data-state=ready]", state="attached", timeout=20_000)
    assert page.get_attribute("#slider", "max") == "49"  # 1 s at 20 ms
    assert page.locator("#box-list tbody tr").count() == 20
    assert page_probe.errors == [] and page_probe.external_requests(path) == []
    with av.open(str(demo_pages["recording.mp4"])) as video:
        assert sum(1 for _ in video.decode(video=0)) == 50


def test_example_inspection_pages_show_the_planted_faults_and_the_filters(demo_pages):
    from zelq.viz.recording_page import read_recording_document
    raw = read_recording_document(demo_pages["inspect_raw.html"].read_text(encoding="utf-8"))
    filtered = read_recording_document(demo_pages["inspect_filtered.html"].read_text(encoding="utf-8"))
    report = raw["health"]["report"]
    assert len(report["gaps"]) == 1 and [100, 20] in [p[:2] for p in report["hot_pixels"]]
    removed = filtered["filters"]["removed"]
    assert removed["hot"] > 0 and filtered["source"]["event_count"] == filtered["filters"]["kept"]
    assert filtered["source"]["event_count"] + sum(removed.values()) == raw["source"]["event_count"]
