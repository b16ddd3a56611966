"""Pages inline in notebooks: zelq.viz.show, and a real notebook run, exported and opened offline."""
import inspect
import json
import os
import shutil
import sys
from html.parser import HTMLParser
from pathlib import Path

import numpy as np
import pytest

import zelq.viz
from tests.packaging.test_typing import stub_of, stub_parameters
from zelq.viz import notebook, show, spikes
from zelq.viz.render import render_html
from zelq.viz.serialize import graph_to_dict
from tests.support.decoders import EVENT_DTYPE
from tests.support.browser import wait_until

EVENTS = np.zeros(500, dtype=EVENT_DTYPE)
EVENTS["x"], EVENTS["y"] = np.arange(500) % 40, np.arange(500) % 30
EVENTS["t"], EVENTS["p"] = np.arange(500) * 100, np.where(np.arange(500) % 3, 1, -1)
GRAPH_DOC = {"version": "1", "nodes": [{"id": "in", "type": "Input"}], "edges": [], "metadata": {},
             "summary": {}, "groups": [], "node_to_group": {}}


class Tags(HTMLParser):
    """(tag, attributes) of every start tag, attribute values unescaped as a browser does."""

    def __init__(self, text):
        super().__init__()
        self.tags = []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))


@pytest.fixture(scope="module")
def spike_file(tmp_path_factory):
    return spikes.export_events_html(EVENTS, tmp_path_factory.mktemp("nb") / "events.html", (40, 30), title="ev")


@pytest.mark.parametrize("call, error, message", [
    (lambda f: show(3), TypeError, "Argument 'page' has incorrect type (expected str, os.PathLike, dict or graph, got int)"),
    (lambda f: show(f.encode()), TypeError, "Argument 'page' has incorrect type (expected str, os.PathLike, dict or graph, got bytes)"),
    (lambda f: show(f, height="9"), TypeError, "Argument 'height' has incorrect type (expected int, got str)"),
    (lambda f: show(f, theme=True), TypeError, "Argument 'theme' has incorrect type (expected str, got bool)"),
    (lambda f: show(f, theme="blue"), ValueError, 'theme must be "light", "dark" or None'),
    (lambda f: show(f, height=0), ValueError, "height must be at least 1"),
    (lambda f: show(f + ".missing"), FileNotFoundError, "nor an existing file"),
    (lambda f: show("<div>not a page</div>"), FileNotFoundError, "nor an existing file"),
    (lambda f: show(Path(zelq.viz.__file__)), ValueError, "not an HTML page"),
    (lambda f: show(f, activity={"in": np.ones((3, 2))}), ValueError, "page text is already rendered"),
    (lambda f: show(GRAPH_DOC, activity={"nowhere": np.ones((3, 2))}), ValueError, "'nowhere'"),
])
def test_refusals(spike_file, call, error, message):
    with pytest.raises(error) as info:
        call(spike_file)
    assert message in str(info.value)


@pytest.mark.parametrize("theme", [None, "light", "dark"])
@pytest.mark.parametrize("kind", ["graph", "spikes"])
def test_frame_carries_the_page_sandboxed(spike_file, kind, theme):
    page = render_html(GRAPH_DOC, title='a "quoted" & <odd> title') if kind == "graph" else spike_file
    text = page if kind == "graph" else Path(spike_file).read_text(encoding="utf-8")
    shown = show(Path(page) if kind == "spikes" else page, theme=theme)
    assert shown.kind == kind and shown.height == notebook.DEFAULT_HEIGHTS[kind]
    assert show(text, height=321.9).height == 321
    bundle = shown._repr_mimebundle_()
    frames = [a for t, a in Tags(bundle["text/html"]).tags if t == "iframe"]
    assert len(frames) == 1 and frames[0]["sandbox"] == "allow-scripts allow-downloads"
    assert "allow-same-origin" not in bundle["text/html"]
    inner = frames[0]["srcdoc"]
    html_tags = [a for t, a in Tags(inner).tags if t == "html"]
    assert html_tags[0].get("data-theme") == theme and html_tags[0]["lang"] == "en"
    # Apart from the theme, the frame holds the page unchanged.
    assert inner.replace(f' data-theme="{theme}"', "", 1) == text if theme else inner == text
    for plain in (repr(shown), bundle["text/plain"]):
        assert len(plain) < 120 and "<!DOCTYPE" not in plain


def test_graphs_and_documents_are_rendered_with_their_activity():
    from zelq import ir
    g = ir.Graph()
    g.add("in", ir.Input(shape=(2,)))
    act = {"in": np.ones((4, 2), np.uint8)}
    for page, doc in ((g, graph_to_dict(g)), (GRAPH_DOC, GRAPH_DOC)):
        shown = show(page, activity=act, dt=0.01)
        assert shown.kind == "graph" and shown.html == render_html(doc, activity=act, dt=0.01)


def test_show_is_typed_and_documented():
    functions, _ = stub_of("notebook")
    sig = [(p.name, p.kind, p.default) for p in inspect.signature(show).parameters.values()]
    assert sig == stub_parameters(functions["show"])
    assert zelq.viz.show is notebook.show and "Refuses" in show.__doc__ and "raises" in show.__doc__


# ---------------------------------------------------------------- a real notebook

EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "data"
CELLS = [
    "import numpy as np\nfrom zelq.viz import show, spikes\n"
    "from zelq.viz.render import render_html\nfrom zelq.viz.serialize import graph_to_dict",
    "events = np.load('rotating_bar.npy')\n"
    "show(spikes.export_events_html(events, 'rotating_bar.html', title='Rotating bar'))",
    "show(render_html(graph_to_dict('example.zelq'), title='Example network'), theme='dark')",
]


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    """A notebook executed by nbclient in a kernel on this interpreter, then exported by nbconvert."""
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    nbconvert = pytest.importorskip("nbconvert")
    pytest.importorskip("ipykernel")
    tmp = tmp_path_factory.mktemp("notebook")
    # A kernel spec of our own: the kernel runs this interpreter and imports the package under test.
    spec = tmp / "kernels" / "zelqviz-test"
    spec.mkdir(parents=True)
    package_root = str(Path(zelq.viz.__file__).resolve().parents[2])
    path = os.pathsep.join([package_root] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
    spec.joinpath("kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "zelqviz test", "language": "python", "env": {"PYTHONPATH": path}}))
    os.environ["JUPYTER_PATH"] = str(tmp)
    try:
        for name in ("rotating_bar.npy", "example.zelq"):
            shutil.copy(EXAMPLES / name, tmp / name)
        nb = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(c) for c in CELLS])
        nbclient.NotebookClient(nb, kernel_name="zelqviz-test", timeout=120,
                                resources={"metadata": {"path": str(tmp)}}).execute()
    finally:
        del os.environ["JUPYTER_PATH"]
    body, _ = nbconvert.HTMLExporter().from_notebook_node(nb)
    out = tmp / "export.html"
    out.write_text(body, encoding="utf-8")
    return nb, out


def test_notebook_outputs_are_display_data_without_same_origin(exported):
    nb, out = exported
    outputs = [o for c in nb.cells for o in c.get("outputs", []) if o["output_type"] != "stream"]
    assert [o["output_type"] for o in outputs] == ["execute_result", "execute_result"]
    # Pages travel as display data, never as printed text (servers drop streams above 1 MB/s).
    assert all("DOCTYPE" not in o.get("text", "") for c in nb.cells for o in c.get("outputs", []))
    assert all("sandbox=\"allow-scripts allow-downloads\"" in o["data"]["text/html"] for o in outputs)
    assert "allow-same-origin" not in json.dumps(nb) and "allow-same-origin" not in out.read_text(encoding="utf-8")


@pytest.mark.no_sanitizer
def test_exported_notebook_pages_work_offline_in_chromium(exported, browser):
    _, out = exported
    context = browser.new_context(viewport={"width": 1100, "height": 900})
    page = context.new_page()
    own = out.resolve().as_uri()
    leaving = []

    def block(route):
        if route.request.url != own:
            leaving.append((route.request.frame.url, route.request.url))
            return route.abort()
        return route.continue_()

    context.route("**/*", block)
    page.on("request", lambda r: r.url.startswith(("http", "ws")) and leaving.append((r.frame.url, r.url)))
    page.goto(own)
    try:
        frames = [f for f in page.frames if f != page.main_frame]
        assert len(frames) == 2
        for frame in frames:
            wait_until(frame, "document.body.dataset.state === 'ready' || "
                                  "document.documentElement.dataset.state === 'ready'", timeout_ms=20000)
            assert frame.evaluate("self.origin") == "null"
        spike, graph = sorted(frames, key=lambda f: f.evaluate("!!document.getElementById('btn-expand')"))
        assert graph.evaluate("document.documentElement.dataset.theme") == "dark"
        if os.environ.get("ZELQVIZ_UPDATE_SCREENSHOTS") == "1":
            page.evaluate("document.querySelectorAll('.jp-Cell')[1].scrollIntoView()")
            page.screenshot(path=str(Path(__file__).resolve().parents[2] / "docs" / "screenshots" / "notebook.png"))
        # Storage throws in the sandbox; the reader's theme choice is kept in memory all the same.
        for frame, button in ((graph, "#btn-theme"), (spike, "#theme")):
            assert frame.evaluate("(() => { try { localStorage.length; return false; } catch (e) { return true; } })()")
            before = frame.evaluate("getComputedStyle(document.body).backgroundColor")
            frame.click(button)
            assert frame.evaluate("getComputedStyle(document.body).backgroundColor") != before

        spike.click("#title")
        page.keyboard.press("End")
        assert spike.evaluate("document.querySelector('img[data-frame]').dataset.frame") == "19"
        graph.click("#title")
        page.keyboard.press("/")
        assert graph.evaluate("document.activeElement.id") == "search"
        # Requests the inline pages made, other than their own inline data.
        from_pages = [u for f, u in leaving if f != page.main_frame.url and not u.startswith(("data:", "blob:"))]
        assert from_pages == []
    finally:
        context.close()
