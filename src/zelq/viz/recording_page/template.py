"""The recording page's text: its template, filled with a recording document.

The page is `head + summary JSON + middle + image blocks + end`: the summary is
the document with its image lists emptied (docs/recording-document.md), placed
before the page script so the first view is drawn while the parser is still
reading the frame and overview images that follow it. A writer that streams a
large document to a file needs `template_sections`, `json_for_script` and
`block_text`; `read_recording_document` puts a page's document back together.
"""
from __future__ import annotations

import json
import re
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from zelq.viz import pagefiles
from zelq.viz._palettes import PALETTES

_DATA_MARK = "{{data_json}}"
_IMAGES_MARK = "{{images}}"

# Image text per block: small enough that the page picks images up soon after the
# parser reaches them, large enough that the blocks stay few.
BLOCK_BYTES = 1 << 20
OVERVIEW_TAG = "O"
_BASE64 = re.compile(r"[A-Za-z0-9+/]*={0,2}")
_BLOCK = re.compile(r"<!--(O|[FR]\d+)((?: [A-Za-z0-9+/=]*)*)-->")


def json_for_script(value: Any) -> str:
    """`value` as JSON text that is safe inside an inline <script> element or the comment
    that holds the summary: "<", ">" and "&" never appear raw, whatever the title or a file
    name holds. ASCII only (lone surrogates and line separators travel escaped); NaN and
    infinities are refused (ValueError), since JSON.parse would not read them.
    """
    return pagefiles.comment_json(value)


def _escaped_title(text: str) -> str:
    # a lone surrogate cannot be written as UTF-8: it becomes U+FFFD, as the browser shows it
    return pagefiles.escape_html(text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "replace"))


def template_sections(title: str = "Recording") -> Tuple[str, str, str]:
    """(head, middle, end) of the page: head + summary JSON + middle + image blocks + end."""
    if not isinstance(title, str):
        raise TypeError(f"title must be str, not {type(title).__name__}")
    # Cut at the document and the images first: no text filled in is ever cut or scanned again.
    head, tail = pagefiles.template("recording.html").split(_DATA_MARK)
    middle, end = tail.split(_IMAGES_MARK)
    title_only = {"title": _escaped_title(title)}
    head = pagefiles.fill(head, {**title_only, "palettes_json": json_for_script(PALETTES)})
    return head, pagefiles.fill(middle, title_only), pagefiles.fill(end, title_only)


def template_parts(title: str = "Recording") -> Tuple[str, str]:
    """(head, tail) of a page without image blocks: head + json_for_script(doc) + tail."""
    head, middle, end = template_sections(title)
    return head, middle + end


def segment_tag(index: int) -> str:
    """The block tag of the document's segment `index`."""
    return f"F{index}"


def raw_tag(index: int) -> str:
    """The block tag of the raw (unfiltered) frames of the document's segment `index`."""
    return f"R{index}"


def block_text(tag: str, images: Iterable[str]) -> str:
    """One block of base64 images, in the order they join the list `tag` names."""
    return "<!--" + tag + "".join(" " + image for image in images) + "-->"


def block_bytes(tag: str, lengths: Sequence[int]) -> int:
    """The size of block_text(tag, images) for images of these lengths."""
    return 7 + len(tag) + sum(lengths) + len(lengths)


def block_plan(lists: Sequence[Tuple[str, Sequence[int]]], first: Optional[str]) -> List[Tuple[str, int, int]]:
    """The page's blocks as (tag, start, stop) over the image lists given as (tag, image lengths).

    The list named `first` (what the first view shows) opens with one block; the overview
    follows, then the segments in order, each in blocks of about BLOCK_BYTES of text.
    """
    lengths = dict(lists)
    plan: List[Tuple[str, int, int]] = []
    done = {tag: 0 for tag, _ in lists}

    def cut(tag: str, once: bool = False) -> None:
        sizes = lengths[tag]
        while done[tag] < len(sizes):
            start, total = done[tag], 0
            stop = start
            while stop < len(sizes) and (stop == start or total + sizes[stop] <= BLOCK_BYTES):
                total += sizes[stop] + 1
                stop += 1
            plan.append((tag, start, stop))
            done[tag] = stop
            if once:
                return

    if first in lengths:
        cut(first, once=True)
    if OVERVIEW_TAG in lengths:
        cut(OVERVIEW_TAG)
    for tag, _ in lists:
        cut(tag)
    return plan


def _image_list(holder: Any) -> Optional[List[str]]:
    """The holder's images when they can travel in blocks (base64 text only), else None."""
    images = holder.get("images") if isinstance(holder, dict) else None
    if not isinstance(images, list) or not images:
        return None
    if not all(isinstance(s, str) and _BASE64.fullmatch(s) for s in images):
        return None
    return images


def split_document(doc: Dict[str, Any]) -> Tuple[Dict[str, Any], List[Tuple[str, List[str]]], Optional[str]]:
    """(summary, image lists as (tag, images), the tag the first view needs) of a document.

    The summary is `doc` with each image list that travels in blocks emptied and its
    length stated in a "count" key after it; the document itself is not changed.
    """
    summary = dict(doc)
    lists: List[Tuple[str, List[str]]] = []
    frames = doc.get("frames")
    firsts: List[Tuple[float, str]] = []
    period = 0
    if isinstance(frames, dict) and isinstance(frames.get("segments"), list):
        given = frames.get("period_us")
        period = given if isinstance(given, int) else 0
        segments = []
        for s, seg in enumerate(frames["segments"]):
            images = _image_list(seg)
            if images is None:
                segments.append(seg)
                continue
            segments.append({**seg, "images": [], "count": len(images)})
            lists.append((segment_tag(s), images))
            start, lead = seg.get("start"), seg.get("lead")
            if isinstance(start, int) and isinstance(lead, int):
                firsts.append((start + lead * period, segment_tag(s)))
        summary["frames"] = {**frames, "segments": segments}
    overview = doc.get("overview")
    images = _image_list(overview)
    if images is not None and isinstance(overview, dict):
        summary["overview"] = {**overview, "images": [], "count": len(images)}
        lists.append((OVERVIEW_TAG, images))
        start = overview.get("start")
        firsts.append((start if isinstance(start, int) else float("-inf"), OVERVIEW_TAG))
    raw = doc.get("raw_frames")
    if isinstance(raw, dict) and isinstance(raw.get("segments"), list):
        raw_segments = []
        for s, seg in enumerate(raw["segments"]):
            images = _image_list(seg)
            raw_segments.append(seg if images is None else {**seg, "images": [], "count": len(images)})
            if images is not None:
                lists.append((raw_tag(s), images))
        summary["raw_frames"] = {**raw, "segments": raw_segments}
    first = min(firsts)[1] if firsts else None
    return summary, lists, first


def render_recording_html(doc: dict, title: str = "Recording") -> str:
    """The recording page of the recording document `doc`, titled `title`."""
    if not isinstance(doc, dict):
        raise TypeError(f"doc must be dict, not {type(doc).__name__}")
    head, middle, end = template_sections(title)
    summary, lists, first = split_document(doc)
    images = dict(lists)
    plan = block_plan([(tag, [len(s) for s in imgs]) for tag, imgs in lists], first)
    blocks = "".join(block_text(tag, images[tag][a:b]) for tag, a, b in plan)
    return head + json_for_script(summary) + middle + blocks + end


def read_recording_document(page: str) -> Dict[str, Any]:
    """The recording document a recording page holds: the summary with its image lists
    filled again from the page's blocks (and their "count" keys dropped)."""
    if not isinstance(page, str):
        raise TypeError(f"page must be str, not {type(page).__name__}")
    start = page.index('<div id="doc" hidden><!--') + len('<div id="doc" hidden><!--')
    doc, stop = json.JSONDecoder().raw_decode(page, start)
    lists: Dict[str, List[str]] = {}
    for m in _BLOCK.finditer(page, stop):
        lists.setdefault(m.group(1), []).extend(m.group(2).split(" ")[1:])

    def fill(holder: Dict[str, Any], tag: str) -> Dict[str, Any]:
        if "count" not in holder:
            return holder
        images = lists.get(tag, [])
        if len(images) != holder["count"]:
            raise ValueError(f"the page holds {len(images)} images of {tag}, not {holder['count']}")
        return {k: (images if k == "images" else v) for k, v in holder.items() if k != "count"}

    frames = doc.get("frames")
    if isinstance(frames, dict) and isinstance(frames.get("segments"), list):
        frames["segments"] = [fill(seg, segment_tag(s)) if isinstance(seg, dict) else seg
                              for s, seg in enumerate(frames["segments"])]
    if isinstance(doc.get("overview"), dict):
        doc["overview"] = fill(doc["overview"], OVERVIEW_TAG)
    raw = doc.get("raw_frames")
    if isinstance(raw, dict) and isinstance(raw.get("segments"), list):
        raw["segments"] = [fill(seg, raw_tag(s)) if isinstance(seg, dict) else seg for s, seg in enumerate(raw["segments"])]
    return doc
