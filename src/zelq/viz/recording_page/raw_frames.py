"""The raw frames of a filtered page: the same frame grid and look, before the filters, so the
page can switch its player between what the camera gave and what the filters kept.

A second page engine counts the events the filter stage is given, in the same pass, into
frames spooled beside the page's own. It has a share of what the page leaves its frames
(RAW_SHARE): it keeps frames from the first full-rate frame on while that share lasts, and
is fed no more once it is spent. The document holds the raw frames of each segment from
its first frame, never more than the filtered frames beside them; the page says where the
raw frames end.
"""
from __future__ import annotations

import os
from typing import Any, Dict, Iterator, List, Optional, Tuple

import numpy as np

from .. import _native, pagefiles
from ..recordings._sources import RECORD, Source
from .engine import array_records
from .plan import Plan
from .template import raw_tag
from .span import Span
from .spool import text_offsets

__all__ = ["RAW_SHARE", "RawFrames", "document_part", "part_bound", "part_text"]

RAW_SHARE = 0.2             # of the bytes the page leaves its frames and overview
_NO_OVERVIEW = 1 << 40      # an overview step past any pass: the raw engine samples it once, at its start


class RawFrames:
    """The raw frames' engine over `src` (the source before the filters), spooled to `spool`."""

    def __init__(self, src: Source, spool: str) -> None:
        self.src, self.spool = src, spool
        self.engine: Any = None
        self.end = 0
        self.result: Optional[Dict[str, Any]] = None

    def start(self, span: Span, plan: Plan, segments: List[Tuple[int, int, int]], budget: int, period: int,
              decay: float, gain: float) -> None:
        """The engine on the page's frame grid with `budget` bytes of frames; an array source is
        counted now (as the page pass takes it: in time order), a file's pieces as they come."""
        w, h = span.sensor
        grid = span.t0 - plan.lead * period
        self.end = grid + (segments[-1][2] * period if segments else 0)
        self.engine = _native.events()._Stream("page", dict(
            width=w, height=h, t0=span.t0, t1=span.t1, period_us=period, lead=plan.lead, decay_us=decay,
            timeline_bin=1, timeline_bins=0, raster_bin=1, raster_bins=0, segments=segments,
            spool_path=os.fsencode(self.spool), frame_budget=max(0, budget), overview_step=_NO_OVERVIEW,
            overview_scale=max(w, h), overview_budget=0, gain=gain, frames_only=1))
        if budget <= 0 or not segments:
            self.end = grid  # nothing to keep: no piece is fed
        if self.src.kind == "array":
            for rec in array_records(self.src, grid, span.t1):
                if not self.feed(rec):
                    break

    def feed(self, records: np.ndarray) -> bool:
        """Counts a piece of raw records (before the filter compacts it); False once the engine
        wants no more (its budget spent, or past its last frame)."""
        if self.engine is None or self.result is not None:
            return False
        if not len(records):
            return True
        wanted = int(records["t"].min()) < self.end
        if wanted:
            self.engine.feed_records(records)
        return wanted and not self.engine.frames_full()

    def finish(self) -> Dict[str, Any]:
        """The engine's result (frames accepted, as (segment, length) in spool order); the spool closed."""
        if self.result is None:
            self.engine.finish()
            self.result = self.engine.result()
            self.engine = None  # closes the spool
        return self.result

    def keep_within(self, budget: int) -> None:
        """Keeps the frames a budget of `budget` bytes keeps: the engine takes frames in order until
        one does not fit (a larger budget keeps these and more, the spool's bytes the same)."""
        assert self.result is not None
        kept, spent = 0, 0
        for _, length in self.result["frames"]:
            spent += length + 3  # quotes and a comma, as the engine counts them
            if spent > budget:
                break
            kept += 1
        self.result["frames"] = list(self.result["frames"])[:kept]

    def accepted(self) -> List[Tuple[int, int]]:
        return [] if self.result is None else list(self.result["frames"])


def document_part(raw: RawFrames, doc_segments: List[Tuple[int, int, int, int]], grid: int, period: int) -> Tuple[Dict[str, Any], List[Tuple[str, List[int], List[int]]]]:
    """The "raw_frames" part and its image lists as (tag, spool offsets, lengths), for the
    document's segments given as (engine segment, first frame, lead-in frames, filtered frames held)."""
    accepted = raw.accepted()
    offsets = text_offsets(accepted)
    by_segment: Dict[int, List[int]] = {}
    for i, (seg, _) in enumerate(accepted):
        by_segment.setdefault(seg, []).append(i)
    parts: List[Dict[str, Any]] = []
    lists: List[Tuple[str, List[int], List[int]]] = []
    held: List[List[int]] = []
    for d, (seg, first, lead, count) in enumerate(doc_segments):
        mine = by_segment.get(seg, [])[:count]
        parts.append({"count": len(mine), "images": []})
        lists.append((raw_tag(d), [offsets[i] for i in mine], [accepted[i][1] for i in mine]))
        if len(mine) > lead:
            held.append([grid + (first + lead) * period, grid + (first + len(mine)) * period])
    complete = all(p["count"] >= count for p, (_, _, _, count) in zip(parts, doc_segments))
    part = {"segments": parts, "held": held, "frames": sum(p["count"] for p in parts),
            "left_out": None if complete else
            "The page budget holds raw frames for part of the full-rate frames only; elsewhere the "
            "player shows the filtered frames."}
    return part, lists


def part_bound(n_segments: int) -> int:
    """The most the "raw_frames" part's text can take."""
    return 400 + 80 * n_segments


def part_text(part: Dict[str, Any]) -> str:
    return ',"raw_frames":' + pagefiles.comment_json(part)
