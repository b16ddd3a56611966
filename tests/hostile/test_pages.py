"""Script-injection strings in every string field of both pages: nothing runs, the text shows as text.

Each payload would set window.__pwned if it ever ran. They go into node ids, node types, config
keys and values, graph metadata, group ids, labels, subtitles and metadata, the event document's
strings and every page title, rendered by the real render_html and _render_spike_html and opened in
Debian's chromium.
"""
import json
import re
import types
import urllib.parse

import numpy as np
import pytest

from zelq import ir
from zelq.viz import render, serialize, spikes
from tests.support.decoders import EVENT_DTYPE

PAYLOADS = [
    "</script><script>window.__pwned=1</script>",
    '<img src=x onerror="window.__pwned=2">',
    "<svg onload=window.__pwned=3>",
    '"><script>window.__pwned=4</script>',
    "'><img src=x onerror=window.__pwned=5>",
    "<!--<script>window.__pwned=6</script>",
    "</title><script>window.__pwned=7</script>",
    '<iframe srcdoc="<script>parent.__pwned=8</script>"></iframe>',
    '<a href="javascript:window.__pwned=9">x</a>',
    '<details open ontoggle="window.__pwned=10">',
    "</SCRIPT\t><script>window.__pwned=11</script>",
    "\u2028\u2029</script><script>window.__pwned=12</script>",
    "{{DATA_JSON}}{{TITLE}}${data_json}$title<script>window.__pwned=13</script>",
    "&lt;script&gt;window.__pwned=14&lt;/script&gt;",
    "<style>*{background:url(https://example.invalid/x)}</style><b>15</b>",
    "--></div><script>window.__pwned=16</script>--!><!--",  # the graph document stands in a comment
]

# What the page itself carries; a payload must add none of it.
ACTIVE = """() => ({
  scripts: document.scripts.length,
  frames: document.querySelectorAll('iframe, object, embed, img[src="x"], a[href^="javascript"], details').length,
  handlers: Array.from(document.querySelectorAll('*')).filter(e => Array.from(e.attributes).some(
    a => a.name.startsWith('on'))).length,
  pwned: window.__pwned === undefined ? null : window.__pwned,
})"""

WAIT_VIEWER = ("() => new Promise(r => { const c = () => (window.zelqViewer && zelqViewer.ready ? r() : "
               "setTimeout(c, 5)); c(); })")


def hostile_graph():
    """One node per payload: the id, the type (a class of that name), a config key and value."""
    g = ir.Graph(metadata={p: p for p in PAYLOADS} | {"note": PAYLOADS})
    g.add("in", ir.Input((4,)))
    prev = "in"
    for i, p in enumerate(PAYLOADS):
        cls = types.new_class(p, (ir.Scale,))  # the node type is the class name
        node = cls(np.full(4, i, np.float32))
        node.input_type = {"input": (4,), p: p}
        g.add(p, node)
        g.connect(prev, p)
        prev = p
    return g


def hostile_doc():
    doc = serialize.graph_to_dict(hostile_graph(), False)
    for n in doc["nodes"]:
        n["config"][n["id"]] = n["id"]  # a config key and value per node
    doc["groups"] = [{"id": p, "type": p, "label": p, "subtitle": p, "nodes": [p], "entry_nodes": [p],
                      "exit_nodes": [p], "metadata": {p: p}, "color": p, "shape": p, "icon": p,
                      "display_params": [p]} for p in PAYLOADS[:5]]
    doc["node_to_group"] = {p: p for p in PAYLOADS[:5]}
    for n in doc["nodes"]:
        if n["id"] in doc["node_to_group"]:
            n["group"] = n["id"]
    return doc


def benign(doc):
    """The same document with every payload replaced by a plain word: the page's own baseline."""
    text = json.dumps(doc)
    for i, p in enumerate(PAYLOADS):
        text = text.replace(json.dumps(p)[1:-1], f"plain{i}")
    return json.loads(text)


def shown_title(title):
    """document.title collapses and strips ASCII whitespace."""
    return re.sub(r"[ \t\n\f\r]+", " ", title).strip(" ")


def active(page):
    return page.evaluate(ACTIVE)


def open_viewer(probe, path):
    page = probe.page
    page.goto(path.resolve().as_uri())
    page.evaluate(WAIT_VIEWER)
    page.evaluate("zelqViewer.idle()")
    return page


@pytest.mark.parametrize("title", [PAYLOADS[0], PAYLOADS[6], PAYLOADS[12]])
def test_viewer_page_shows_every_payload_as_text(browser, page_probe, tmp_path, title):
    doc = hostile_doc()
    plain = tmp_path / "plain.html"
    plain.write_text(render.render_html(benign(doc), "plain"), encoding="utf-8")
    context = browser.new_context()
    baseline = active(open_viewer(types.SimpleNamespace(page=context.new_page()), plain))
    context.close()

    path = tmp_path / "hostile.html"
    path.write_text(render.render_html(doc, title), encoding="utf-8")
    page = open_viewer(page_probe, path)
    if "{{" in title:
        # Placeholders in a title are filled by the later steps (JSON text, whose <, > and & are
        # escapes): still text, never markup.
        assert page.locator("#title > *").count() == 0 and page.locator("head > title").count() == 1
    else:
        assert page.title() == shown_title(title) and page.text_content("#title") == title
    for p in PAYLOADS:
        page.evaluate("id => zelqViewer.selectNode(id)", p)
        page.evaluate("zelqViewer.idle()")
        assert page.evaluate("zelqViewer.selected()") == {"kind": "node", "id": p}
        assert page.text_content("#panel-title") == p
        assert p in page.text_content("#panel")  # the type and the config value, as text
    page.click("#btn-summary")
    summary = page.text_content("#panel")
    assert all(p in summary for p in PAYLOADS)  # the metadata, as text
    page.evaluate("zelqViewer.collapseAll()")
    page.evaluate("zelqViewer.idle()")
    keys = page.eval_on_selector_all("#graph .group", "els => els.map(e => e.getAttribute('data-key'))")
    assert sorted(keys) == sorted("g:" + p for p in PAYLOADS[:5])
    assert active(page) == baseline == {**baseline, "pwned": None}
    assert page_probe.external_requests(path) == []


def test_viewer_hash_with_a_payload_selects_nothing_and_runs_nothing(page_probe, tmp_path):
    path = tmp_path / "hostile.html"
    path.write_text(render.render_html(hostile_doc(), "x"), encoding="utf-8")
    for p in PAYLOADS[:4]:
        page = page_probe.page
        page.goto(path.resolve().as_uri() + "#node=" + urllib.parse.quote(p, safe=""))
        page.evaluate(WAIT_VIEWER)
        page.evaluate("zelqViewer.idle()")
        assert page.text_content("#panel-title") == p
        assert active(page)["pwned"] is None


def event_doc(strings):
    ev = np.zeros(50, EVENT_DTYPE)
    ev["x"], ev["y"], ev["t"], ev["p"] = np.arange(50) % 8, np.arange(50) % 4, np.arange(50), 1
    doc = spikes.serialize_events(ev, (8, 4), 3, 2, 5, 32)
    if strings:
        # Every string field of the event document (its images), and unknown keys of payloads.
        doc["grid_frames"] = [PAYLOADS[i % len(PAYLOADS)] for i in range(len(doc["grid_frames"]))]
        doc["animation_frames"] = list(PAYLOADS[:len(doc["animation_frames"])])
        doc.update({p: p for p in PAYLOADS})
    return doc


def open_spikes(probe, path):
    page = probe.page
    page.goto(path.resolve().as_uri())
    page.wait_for_selector("html[data-state=ready], html[data-state=error]", state="attached", timeout=15_000)
    return page


@pytest.mark.parametrize("title", PAYLOADS)
def test_spike_page_title_is_text(page_probe, tmp_path, title):
    path = tmp_path / "spikes.html"
    path.write_text(spikes._render_spike_html(event_doc(False), title), encoding="utf-8")
    page = open_spikes(page_probe, path)
    assert page.title() == shown_title(title) and page.text_content("#title") == title
    assert active(page)["pwned"] is None
    assert page_probe.errors == [] and page_probe.external_requests(path) == []


def test_spike_page_document_strings_stay_data(browser, page_probe, tmp_path):
    doc = event_doc(True)
    path = tmp_path / "spikes.html"
    path.write_text(spikes._render_spike_html(doc, PAYLOADS[1]), encoding="utf-8")
    plain = tmp_path / "plain.html"
    plain.write_text(spikes._render_spike_html(event_doc(False), "plain"), encoding="utf-8")
    context = browser.new_context()
    baseline = active(open_spikes(types.SimpleNamespace(page=context.new_page()), plain))
    context.close()

    page = open_spikes(page_probe, path)
    # The script parsed the same strings back: the JSON was never cut short.
    assert page.evaluate("() => DOC.grid_frames.concat(DOC.animation_frames)") == \
        doc["grid_frames"] + doc["animation_frames"]
    assert page.evaluate("k => DOC[k]", PAYLOADS[0]) == PAYLOADS[0]
    got = active(page)
    assert got["pwned"] is None and got["scripts"] == baseline["scripts"] and got["handlers"] == baseline["handlers"]
    assert page_probe.external_requests(path) == []


@pytest.fixture
def quiet_browser(monkeypatch, tmp_path):
    opened = []
    monkeypatch.setattr(spikes, "webbrowser", types.SimpleNamespace(open=lambda url, *a, **k: opened.append(url) or True))
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
    return opened


@pytest.mark.parametrize("title", PAYLOADS[:6])
def test_frame_and_exported_pages_keep_titles_as_text(page_probe, tmp_path, quiet_browser, title):
    frames = np.random.default_rng(0).random((3, 2, 4, 8), dtype=np.float32)
    ev = np.zeros(20, EVENT_DTYPE)
    ev["t"] = np.arange(20)
    pages = [spikes.plot_frames(frames, title),
             spikes.export_events_html(ev, tmp_path / "export.html", (4, 4), title)]
    assert len(quiet_browser) == 1
    for path in pages:
        page = open_spikes(page_probe, __import__("pathlib").Path(path))
        assert page.title() == shown_title(title) and page.text_content("#title") == title
        assert active(page)["pwned"] is None
