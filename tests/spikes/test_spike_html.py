"""The spike page's text: the escape, template loading and rendering of zelq.viz.spikes, and the
committed template as assembled from pages/spikes."""
import json
import shutil
import string
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

from zelq.viz import spikes

ROOT = Path(__file__).resolve().parents[2]
TEMPLATE = ROOT / "src" / "zelq" / "viz" / "templates" / "spikes.html"


# ---------------------------------------------------------------- the template file

def test_committed_template_is_assembled_from_sources(build_pages):
    assert TEMPLATE.read_text(encoding="utf-8") == build_pages.build_spikes()


def test_template_has_exactly_the_two_placeholders_and_no_stray_dollar(build_pages):
    text = TEMPLATE.read_text(encoding="utf-8")
    names, invalid = set(), []
    for m in string.Template.pattern.finditer(text):
        if m.group("invalid") is not None:
            invalid.append(m.start())
        names.add(m.group("named") or m.group("braced"))
    names.discard(None)  # escaped "$$"
    assert invalid == []
    assert names == {"title", "data_json"}
    # "$$" reads back as the sources' own "$": substitution restores them exactly
    inlined = build_pages.inline_spikes()
    assert "$" in inlined  # the script does hold literal dollars, so the escape is exercised
    filled = string.Template(text).substitute(title="@T@", data_json="@D@")
    assert filled == inlined.replace("{{title}}", "@T@").replace("{{data_json}}", "@D@")


def test_assembly_refuses_a_script_that_closes_itself(tmp_path, build_pages):
    bp = build_pages
    for name in ("spikes.html", "spikes.css"):
        shutil.copy(ROOT / "pages" / "spikes" / name, tmp_path / name)
    (tmp_path / "spikes.js").write_text('const s = "</script>";\n', encoding="utf-8")
    with pytest.raises(SystemExit):
        bp.build_spikes(tmp_path)


# ---------------------------------------------------------------- escaping and templates

@pytest.mark.parametrize("text, expected", [
    ("<b>Tom & \"Jerry's\"</b>", "&lt;b&gt;Tom &amp; &quot;Jerry&#x27;s&quot;&lt;/b&gt;"),
    ("&lt;", "&amp;lt;"),
    ("µs — ✓ 😀", "µs — ✓ 😀"),
    ("", ""),
    ("a\ud800<", "a\ud800&lt;"),
])
def test_html_escape(text, expected):
    assert spikes._html_escape(text) == expected


@given(st.text())
def test_html_escape_matches_replacement_chain(text):
    expected = text
    for a, b in (("&", "&amp;"), ("<", "&lt;"), (">", "&gt;"), ('"', "&quot;"), ("'", "&#x27;")):
        expected = expected.replace(a, b)
    assert spikes._html_escape(text) == expected


@pytest.fixture
def template_dir(monkeypatch, tmp_path):
    """A templates directory of our own: the module looks beside its own file at each call."""
    monkeypatch.setattr(spikes, "__file__", str(tmp_path / "spikes.so"))
    (tmp_path / "templates").mkdir()
    return tmp_path / "templates"


def test_load_template_reads_utf8_with_universal_newlines(template_dir):
    (template_dir / "a.html").write_bytes("µ\r\nb\rc\n".encode())
    (template_dir / "sub").mkdir()
    (template_dir / "sub" / "b.html").write_bytes(b"inner")
    assert spikes._load_template("a.html") == "µ\nb\nc\n"
    assert spikes._load_template(name="sub/b.html") == "inner"


def test_load_template_failures(template_dir):
    (template_dir / "latin1.html").write_bytes("é".encode("latin-1"))
    with pytest.raises(UnicodeDecodeError):
        spikes._load_template("latin1.html")
    with pytest.raises(FileNotFoundError) as info:
        spikes._load_template("missing.html")
    assert info.value.filename == str(template_dir / "missing.html")


def test_real_spike_template_has_both_placeholders():
    text = spikes._load_template("spikes.html")
    names = {m.group("named") or m.group("braced") for m in string.Template.pattern.finditer(text)} - {None}
    assert names == {"title", "data_json"}


TEMPLATES = [
    "<title>$title</title><script>var d = ${data_json};</script>",
    "$$price ${title}$title x$data_json$$",
    "no placeholders at all",
]


@pytest.mark.parametrize("template", TEMPLATES)
@pytest.mark.parametrize("title", ["Spike <Visualization> & co", "cost: $data_json", "Zürich ${title}"])
def test_render_matches_string_template(template_dir, template, title):
    (template_dir / "spikes.html").write_text(template, encoding="utf-8")
    data = {"µ": ["Δt", 1.5, float("inf")], "n": None}
    expected = string.Template(template).substitute(
        title=spikes._html_escape(title), data_json=json.dumps(data))
    assert spikes._render_spike_html(data, title=title) == expected
    assert "\\u00b5" in json.dumps(data)  # ASCII-only JSON, the writer's default


def test_render_defaults_and_ascii_json(template_dir):
    (template_dir / "spikes.html").write_text("[$title] $data_json", encoding="utf-8")
    assert spikes._render_spike_html({"unit": "µs", "k": "😀"}) == \
        '[Spike Visualization] {"unit": "\\u00b5s", "k": "\\ud83d\\ude00"}'


@pytest.mark.parametrize("template, error, message", [
    ("$title $other", KeyError, "'other'"),
    ("ok\nab $ 1", ValueError, "Invalid placeholder in string: line 2, col 4"),
    ("${title", ValueError, "Invalid placeholder in string: line 1, col 1"),
])
def test_render_template_errors(template_dir, template, error, message):
    (template_dir / "spikes.html").write_text(template, encoding="utf-8")
    with pytest.raises(error) as info:
        spikes._render_spike_html({})
    assert str(info.value) == message


def test_render_checks_json_before_reading_the_template(template_dir):
    with pytest.raises(TypeError, match="not JSON serializable"):
        spikes._render_spike_html({"a": {1, 2}})
    looped = {}
    looped["self"] = looped
    with pytest.raises(ValueError, match="Circular reference"):
        spikes._render_spike_html(looped)
    with pytest.raises(FileNotFoundError):  # only now is the (missing) template read
        spikes._render_spike_html({})


@pytest.mark.parametrize("call, message", [
    (lambda: spikes._render_spike_html([]), "Argument 'data' has incorrect type (expected dict, got list)"),
    (lambda: spikes._render_spike_html({}, None), "Argument 'title' has incorrect type (expected str, got NoneType)"),
    (lambda: spikes._html_escape(b"x"), "Argument 'text' has incorrect type (expected str, got bytes)"),
    (lambda: spikes._load_template(Path("spikes.html")),
     "Argument 'name' has incorrect type (expected str, got PosixPath)"),
    (lambda: spikes._render_spike_html({}, "a", "b"), "_render_spike_html() takes at most 2 positional arguments (3 given)"),
    (lambda: spikes._encode_image_base64(), "_encode_image_base64() takes exactly 1 positional argument (0 given)"),
])
def test_page_function_refusals(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
