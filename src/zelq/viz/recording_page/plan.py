"""The page plan: full-rate segments, the bins of the timeline and raster, and the byte budget."""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

from . import template
from .span import Span

_LEAD_DECAYS = 3                # lead-in frames cover this many decay times
_TIMELINE_BINS, _RASTER_BINS = 2000, 500
_OVERVIEW_WIDTH = 320           # the overview's width at most (before the budget)
# Page text outside the images that grows with the segments (their headers, spans and
# the words that list them), and with the image blocks (their tags).
_SEGMENT_BYTES, _BLOCK_OVERHEAD = 256, 32


def lead_in(shown_start: int, t_first: int, period: int, decay: float) -> int:
    """Lead-in frames before a segment's first shown frame: enough for the decay, none before the recording."""
    if shown_start <= t_first:
        return 0
    return min(math.ceil(_LEAD_DECAYS * decay / period), -(-(shown_start - t_first) // period))


def segments_of(windows: Optional[Sequence[Tuple[int, int]]], span: Span, period: int, decay: float,
              grid_lead: int) -> List[Tuple[int, int, int]]:
    """Full-rate segments (first frame, lead-in frames, end frame) on the frame grid from
    t0 - grid_lead * period; `windows` are spans after the recording's first event."""
    frames = grid_lead + -(-(span.t1 - span.t0) // period)
    if not windows:
        return [(0, grid_lead, frames)]
    out: List[Tuple[int, int, int]] = []
    for w_start, w_end in sorted(windows):
        shown = grid_lead + max(span.t_first + w_start - span.t0, 0) // period
        end = min(grid_lead + -(-(span.t_first + w_end - span.t0) // period), frames)
        floor = out[-1][2] if out else 0
        shown = max(shown, floor)
        if end <= shown:
            continue
        lead = min(lead_in(span.t0 + (shown - grid_lead) * period, span.t_first, period, decay), shown - floor)
        out.append((shown - lead, lead, end))
    return out


def shown_spans(accepted: List[Tuple[int, int]], segments: List[Tuple[int, int, int]], grid: int,
           period: int) -> List[Tuple[int, int, int, int]]:
    """(segment, frames accepted, shown start, shown end) of each segment that shows a frame."""
    counts = [0] * len(segments)
    for seg, _ in accepted:
        counts[seg] += 1
    out = []
    for s, (first, lead, _) in enumerate(segments):
        if counts[s] > lead:
            out.append((s, counts[s], grid + (first + lead) * period, grid + (first + counts[s]) * period))
    return out


def covers(spans: List[Tuple[int, int, int, int]], lo: int, hi: int) -> bool:
    reach = lo
    for _, _, a, b in spans:
        if a > reach:
            return False
        reach = max(reach, b)
    return reach > hi


def fixed_bytes(sections: Tuple[str, str, str], box_json: str, sensor: Tuple[int, int], plan: "Plan",
                 n_segments: int, max_bytes: int) -> int:
    """The most the page can hold besides its frame and overview images: template, summary
    (a heat map PNG at worst a little over its raw pixels), and the image blocks' tags."""
    h = sensor[1]
    return (allowance(sections, n_segments, max_bytes) + len(box_json) + heat_bound(sensor)
            + h * plan.raster_bins * 8 // 3 + plan.timeline_bins * 11 + 64_000)


def budgets(sections: Tuple[str, str, str], box_json: str, sensor: Tuple[int, int], plan: "Plan",
            n_segments: int, max_bytes: int, raw_share: float = 0.0) -> Tuple[int, int, int]:
    """(overview, frames, raw frames) budgets of a page pass planned with `box_json`. The overview
    may take all that the rest of the page leaves, counted at its most (it is the page's one view
    of the whole recording); frames are encoded as if the heat map were free, the writer keeping
    those that fit beside what the rest turned out to be; a filtered page's raw frames take
    `raw_share` of the overview's budget, from both the others."""
    fixed = fixed_bytes(sections, box_json, sensor, plan, n_segments, max_bytes)
    overview = max(0, max_bytes - fixed)
    raw = int(raw_share * overview)
    return overview - raw, max(0, max_bytes - fixed + heat_bound(sensor)) - raw, raw


def heat_bound(sensor: Tuple[int, int]) -> int:
    """The heat map's base64 PNG at its largest: a little over its raw pixels."""
    w, h = sensor
    return ((w * 3 + 1) * h * 51 // 50 + 1024) * 4 // 3


def allowance(sections: Tuple[str, str, str], n_segments: int, max_bytes: int) -> int:
    """The template, and room for what grows with the segments and the image blocks."""
    blocks = max_bytes // template.BLOCK_BYTES + 2 * n_segments + 4
    return (sum(len(part.encode("utf-8")) for part in sections) + n_segments * _SEGMENT_BYTES
            + blocks * _BLOCK_OVERHEAD + 2048)


@dataclass
class Plan:
    """The document's bins and grids for a decoded span."""
    lead: int
    timeline_bin: int
    timeline_bins: int
    raster_bin: int
    raster_bins: int
    overview_step: int
    overview_scale: int

    @classmethod
    def of(cls, span: Span, period: int, decay: float) -> "Plan":
        length = span.t1 - span.t0
        timeline_bin = max(1, length // _TIMELINE_BINS)
        raster_bin = -(-length // min(_RASTER_BINS, length)) if length else 1
        return cls(lead=lead_in(span.t0, span.t_first, period, decay), timeline_bin=timeline_bin,
                   timeline_bins=-(-length // timeline_bin), raster_bin=raster_bin,
                   raster_bins=-(-length // raster_bin), overview_step=max(1, 1_000_000 // period),
                   overview_scale=max(1, -(-span.sensor[0] // _OVERVIEW_WIDTH)))


def fitting(accepted: List[Tuple[int, int]], room: int) -> int:
    """How many of the accepted frames, from the first, fit in `room` bytes of image text."""
    for n, (_, length) in enumerate(accepted):
        room -= length + 1
        if room < 0:
            return n
    return len(accepted)
