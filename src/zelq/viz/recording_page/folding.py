"""The page pass that also gathers the recording's health and the space-time sample, so that a
whole file is decoded once rather than twice.

The page's frame and overview budgets depend on the size of those parts, which only the pass
finds. So the pass is planned with the shortest text they can take (it may keep more than the
page will), and its result stands only when it is what a pass planned with their real size
gives: no frame refused, none that asked for more than the real frame budget, the overview
never thinned and within the real overview budget. Otherwise the page pass runs again with
the parts known. The events the pass gathers must be those the health check's own pass reads:
a whole native file on the sensor its header gives, without filters, every decoded event
counted (none before the span, none off the sensor). Pages that would likely fill their
budget keep the separate pass: for them a second page pass would cost more.

A filtered page folds it too. Its filters then run without the counting pass: no hot
pixels, denoise bounds of the whole sensor. That stands when the health the pass gathered
gives those same filters (a page with drop_hot keeps the separate pass, since sensors have
hot pixels). The raw frames, planned with the shorter text as well, may keep more than
their real share: frames are kept in order until one does not fit, so those the real share
keeps are the longest run from the first that it holds. When the page does not stand, the
health gathered is still the health pass's, and the filtered page pass runs again with it.
"""
from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

from .. import filters
from ..recordings import _sources as sources
from ..recordings._sources import Source
from . import raw_frames
from .engine import Pass
from .plan import Plan, fixed_bytes, heat_bound
from .span import Span

__all__ = ["foldable", "stands", "raw_budget", "every_event", "same_filters", "health_notes"]

# The page's likely size against its budget: image text per byte of the file and per frame,
# and the space-time points at their most.
_TEXT_PER_FILE_BYTE, _FRAME_FLOOR, _POINT_BYTES, _LIKELY_SHARE = 0.3, 4000, 12, 0.8


def foldable(src: Source, span: Span, windowed: bool, wanted: filters.Settings, max_bytes: int, period: int,
             points: int) -> bool:
    """Whether the page pass of `src` gathers the health and the sample itself."""
    if windowed or wanted.drop_hot or src.kind != "native" or src.sensor_size is None \
            or span.sensor != src.sensor_size:
        return False
    frames = (span.t1 - span.t0) // period + 1
    likely = src.size * _TEXT_PER_FILE_BYTE + frames * _FRAME_FLOOR + points * _POINT_BYTES
    return likely <= max_bytes * _LIKELY_SHARE


def stands(run: Pass, result: Dict[str, Any], plan: Plan, box_json: str, sections: Tuple[str, str, str],
           span: Span, n_segments: int, max_bytes: int, raw: Optional[Dict[str, Any]] = None) -> bool:
    """Whether a pass planned with shorter parts is the pass planned with `box_json`; `raw`, the
    result of the raw frames of a filtered page (which keep_within then cuts to their real share)."""
    fixed = fixed_bytes(sections, box_json, span.sensor, plan, n_segments, max_bytes)
    overview_budget = max(0, max_bytes - fixed)
    frame_budget = max(0, max_bytes - fixed + heat_bound(span.sensor))
    if raw is not None:
        share = int(raw_frames.RAW_SHARE * overview_budget)
        overview_budget -= share
        frame_budget -= share
        if raw["spool_failed"]:
            return False
    step, _, _, images = result["overview"]
    return (every_event(run, result) and not result["frames_refused"] and not result["spool_failed"]
            and result["frame_peak"] <= frame_budget and step == plan.overview_step
            and (len(images) <= 1 or sum(len(i) + 3 for i in images) <= overview_budget))


def raw_budget(plan: Plan, box_json: str, sections: Tuple[str, str, str], span: Span, n_segments: int,
               max_bytes: int) -> int:
    """The raw frames' budget of a filtered page pass planned with `box_json`."""
    fixed = fixed_bytes(sections, box_json, span.sensor, plan, n_segments, max_bytes)
    return int(raw_frames.RAW_SHARE * max(0, max_bytes - fixed)) - raw_frames.part_bound(n_segments)


def every_event(run: Pass, result: Dict[str, Any]) -> bool:
    """Whether the pass counted every event it decoded: the events its health saw are those the
    health check's own pass reads."""
    return result["beyond"] == 0 and result["outside"] == 0 and not run.state["outside"] \
        and not sources.skipped_note(run.state)


def same_filters(wanted: filters.Settings, sensor: Tuple[int, int], counts: Dict[str, Any]) -> bool:
    """Whether the filters run without the counting pass (no hot pixels, denoise bounds of the whole
    sensor) are those its `counts` give, for a file whose times rise."""
    bounds = counts["cool_extent"] if wanted.drop_hot else counts["extent"]
    return (not counts["backwards"] and not (wanted.drop_hot and counts["hot_pixels"])
            and (wanted.denoise_us is None or tuple(bounds) == tuple(sensor)))


def health_notes(run: Pass, result: Dict[str, Any]) -> List[str]:
    """What the health check's own pass notes of a file every event of which was counted: that it
    is cut short, in the readers' words, with the events decoded before the cut (the filters'
    survivors are fewer)."""
    if run.cut is None:
        return []
    note = sources.cut_note(run.src.size, run.src.unit, run.cut, int(result["health"]["events"]))
    return [f"{run.src.path}: {note}"]
