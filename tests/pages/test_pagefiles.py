"""The page helpers: atomic writes, JSON safe in a script or a comment, the escape, templates."""
import html
import json
import os
import stat
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

from zelq.viz import pagefiles

HOSTILE = ["</script><script>alert(1)</script>", "<!--", "-->", "--!>", "a&amp;b", "\u2028\u2029", "\ud800", "<\x00>"]


@pytest.mark.parametrize("failure", [OSError("disk full"), KeyboardInterrupt()])
def test_a_failed_write_leaves_the_old_file_and_nothing_beside_it(tmp_path, failure):
    target = tmp_path / "page.html"
    target.write_text("old")
    with pytest.raises(type(failure)):
        with pagefiles.replacing(target) as partial:
            open(partial, "w").write("half a pa")
            raise failure
    assert target.read_text() == "old" and os.listdir(tmp_path) == ["page.html"]


def test_a_write_replaces_the_file_as_readable_as_an_ordinary_one(tmp_path):
    target = tmp_path / "page.html"
    pagefiles.write_text(target, "µ page")
    plain = tmp_path / "plain"
    plain.write_text("")
    assert target.read_bytes() == "µ page".encode() and sorted(os.listdir(tmp_path)) == ["page.html", "plain"]
    assert stat.S_IMODE(target.stat().st_mode) == stat.S_IMODE(plain.stat().st_mode)


@pytest.mark.parametrize("before", [b"", "an older, longer text".encode()])
@pytest.mark.parametrize("mode, text", [("w", "µ page"), ("wb", b"\x00page")])
def test_a_file_made_beside_opens_in_place_and_holds_only_what_is_written(tmp_path, before, mode, text):
    path = pagefiles.beside(tmp_path / "page.html", ".part")
    Path(path).write_bytes(before)
    inode = os.stat(path).st_ino
    with pagefiles.open_beside(path, mode, **({"encoding": "utf-8"} if mode == "w" else {})) as out:
        out.write(text)
    assert Path(path).read_bytes() == (text.encode() if mode == "w" else text) and os.stat(path).st_ino == inode


def test_a_missing_folder_is_named_by_the_file_asked_for(tmp_path):
    with pytest.raises(FileNotFoundError) as e:
        pagefiles.write_text(tmp_path / "no" / "page.html", "x")
    assert e.value.filename == str(tmp_path / "no" / "page.html")


@given(st.recursive(st.text() | st.integers() | st.none(),
                    lambda inner: st.lists(inner) | st.dictionaries(st.text(), inner), max_leaves=8))
def test_json_reads_back_and_holds_nothing_that_ends_its_element(value):
    for text, banned in ((pagefiles.script_json(value), "<"), (pagefiles.comment_json(value), "<>&")):
        assert json.loads(text) == value
        assert text.isascii() and not any(c in text for c in banned)


@pytest.mark.parametrize("text", HOSTILE)
def test_hostile_strings_travel_escaped(text):
    doc = {"name": text}
    for dumped in (pagefiles.script_json(doc), pagefiles.comment_json(doc)):
        assert "</" not in dumped and "<!--" not in dumped and "\u2028" not in dumped
    assert "-->" not in pagefiles.comment_json(doc) and "--!>" not in pagefiles.comment_json(doc)


@pytest.mark.parametrize("dump", [pagefiles.script_json, pagefiles.comment_json])
def test_json_refuses_what_json_parse_cannot_read(dump):
    with pytest.raises(ValueError):
        dump({"x": float("nan")})


@given(st.text())
def test_the_escape_is_the_five_replacements_in_order(text):
    assert pagefiles.escape_html(text) == html.escape(text, quote=True)


def test_fill_is_one_pass_and_leaves_other_placeholders():
    page = pagefiles.fill("{{title}}|{{data_json}}|{{other}}", {"title": "{{data_json}}", "data_json": "{}"})
    assert page == "{{data_json}}|{}|{{other}}"
    assert "{{title}}" in pagefiles.template("recording.html")
