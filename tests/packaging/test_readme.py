"""The README's snippets run, and what it states about layouts and files holds."""
import ast
import json
import re
import webbrowser
import zipfile
from pathlib import Path

import numpy as np
import pytest

from zelq import ir
from zelq.viz import spikes

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
SNIPPETS = re.findall(r"^```python\n(.*?)^```", README, flags=re.S | re.M)


def section(title):
    """The text of a "## title" section, up to the next section of the same level."""
    match = re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", README, flags=re.S | re.M)
    assert match, f"README has no section {title!r}"
    return match.group(1)


def table_rows(text, header):
    """Cells of the rows of the Markdown table whose header row starts with `header`."""
    lines = text[text.index(header):].splitlines()
    rows = []
    for line in lines[2:]:
        if not line.startswith("|"):
            break
        rows.append([c.strip() for c in line.strip().strip("|").split("|")])
    return rows


def test_every_function_group_has_a_snippet():
    assert len(SNIPPETS) >= 3
    for group, call in [("Graph pages", "render_html("), ("Event pages", "plot_events("),
                        ("Array encoding", "encode_array(")]:
        body = section("Usage").split(f"### {group}\n", 1)[1].split("### ", 1)[0]
        assert "```python" in body and call in body, group


@pytest.mark.parametrize("code", SNIPPETS, ids=[f"snippet{i}" for i in range(len(SNIPPETS))])
def test_snippet_runs(code, tmp_path, monkeypatch):
    # Snippets of an optional extra run where it is installed (CI's other passes install fewer).
    for call, modules in (("summarize_dataset", ("distributed", "pyarrow")), ("write_video", ("av",))):
        if call in code:
            for module in modules:
                pytest.importorskip(module)
    opened = []
    monkeypatch.setattr(webbrowser, "open", lambda url, *a, **k: opened.append(url) or True)
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README.md", "exec"), {"__name__": "__readme__"})
    # Pages opened in the "browser" are real files on disk.
    for url in opened:
        assert url.startswith("file://") and Path(url[len("file://"):]).is_file()
    assert len(opened) == code.count("plot_events(") + code.count("plot_frames(")
    for written in re.findall(r'"([\w.]+\.(?:html|zelq))"', code):
        assert (tmp_path / written).stat().st_size > 0, written


def test_field_name_table_matches_detection():
    rows = table_rows(section("Event arrays"), "| Role |")
    roles = {r[0]: re.findall(r"`(\w+)`", r[1]) for r in rows}
    assert set(roles) == {"x", "y", "time", "polarity"}
    position = {"x": 0, "y": 1, "time": 2, "polarity": 3}
    for role, names in roles.items():
        for i, name in enumerate(names):
            # Each accepted name is found alone, and loses to every earlier name of its role.
            alone = np.zeros(1, [(name, "<i4")])
            assert spikes._get_event_fields(alone)[position[role]] == name
            for later in names[i + 1:]:
                both = np.zeros(1, [(later, "<i4"), (name, "<i4")])
                assert spikes._get_event_fields(both)[position[role]] == name
        upper = np.zeros(1, [(names[0].upper(), "<i4")])
        assert spikes._get_event_fields(upper) == (None, None, None, None)


def test_layout_examples_frame_every_event():
    rows = table_rows(section("Event arrays"), "| Source | dtype |")
    assert len(rows) >= 3
    for source, dtype_text in rows:
        dtype = np.dtype(ast.literal_eval(dtype_text.strip("`")))
        events = np.zeros(50, dtype)
        for name in dtype.names:
            if name in ("p", "pol"):
                events[name] = np.arange(50) % 2
            else:
                events[name] = np.arange(50) % 7
        frames = spikes.events_to_frames(events, n_frames=5)
        assert frames.sum() == 50, source
        height = 1 if "y" not in dtype.names else 7
        assert frames.shape == (5, 2, height, 7), source


def test_zelq_format_as_described(tmp_path):
    g = ir.Graph(metadata={"k": (1, 2)})
    g.add("in", ir.Input(shape=(3,)))
    g.add("fc", ir.Linear(np.ones((2, 3), np.float32)))
    g.connect("in", "fc")
    path = tmp_path / "g.zelq"
    ir.write(path, g)
    with zipfile.ZipFile(path) as zf:
        names = zf.namelist()
        manifest = json.loads(zf.read("manifest.json").decode("utf-8"))
    assert sorted(names) == ["arrays/0.npy", "manifest.json"]
    assert list(manifest) == ["format", "format_version", "zelq_version", "nodes", "edges", "metadata"]
    assert manifest["format"] == "zelq" and manifest["format_version"] == 1
    assert manifest["edges"] == [["in", "fc"]] and manifest["metadata"] == {"k": {"$tuple": [1, 2]}}
    weight = manifest["nodes"][1]["fields"]["weight"]
    assert weight == {"$array": "arrays/0.npy", "dtype": "<f4", "shape": [2, 3]}
    text = section("The `.zelq` file format")
    for key in manifest:
        assert f'"{key}"' in text
    assert '"$array"' in text and '"$tuple"' in text and '"$dict"' in text


def test_local_links_and_images_exist():
    targets = re.findall(r"\]\(([^)#]+)\)", README)
    local = [t for t in targets if "://" not in t]
    assert any(t.startswith("docs/screenshots/") for t in local)
    for target in local:
        assert (ROOT / target).exists(), target
    for name in re.findall(r"`((?:examples|benchmarks|tools|tests)/[\w./]+\.py)`", README):
        assert (ROOT / name).is_file(), name


def test_performance_table_names_the_machine():
    text = section("Performance")
    assert "PERFORMANCE_TABLE" not in text
    assert re.search(r"cores", text) and "|" in text


@pytest.mark.parametrize("title", ["Mended behaviours", "Event arrays", "Screenshots", "Versions and licences"])
def test_sections_present(title):
    assert section(title).strip()
