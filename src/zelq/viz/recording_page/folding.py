"""The page pass that also gathers the recording's health and the space-time sample, so that a
whole file is decoded once rather than twice.

The page's frame and overview budgets depend on the size of those parts, which only the pass
finds. So the pass is planned with the shortest text they can take (it may keep more frames
than the page will), and its result stands when it is what a pass planned with their real
size gives: the overview never thinned and within the real overview budget. Its frames are
then cut to those the real budget keeps: the encoder commits frames in order, and the first
whose bytes pass the budget less the overview's reserve is refused with all after it, so the
frames it noted say where that is. Otherwise the page pass runs again with the parts known.
The events the pass gathers must be those the health check's own pass reads: a whole native
file on the sensor its header gives, without filters, every decoded event counted (none before
the span, none off the sensor). Pages whose overview would likely thin keep the separate pass:
for them a second page pass would cost more.

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

import numpy as np

from .. import filters
from ..recordings import _sources as sources
from ..recordings._sources import Source
from . import raw_frames
from .engine import Pass
from .plan import Plan, budgets, heat_bound
from .span import Span

__all__ = ["foldable", "stands", "recount", "raw_budget", "every_event", "same_filters", "health_notes"]

# The overview's likely text against the room the other parts leave it (the space-time points
# at their most): a share of its images' raw pixels in base64 (their PNGs are smaller on any
# real scene).
_OVERVIEW_SHARE, _POINT_BYTES, _LIKELY_SHARE = 0.25, 12, 0.8


def foldable(src: Source, span: Span, windowed: bool, wanted: filters.Settings, max_bytes: int, period: int,
             points: int) -> bool:
    """Whether the page pass of `src` gathers the health and the sample itself."""
    if windowed or wanted.drop_hot or src.kind != "native" or src.sensor_size is None \
            or span.sensor != src.sensor_size:
        return False
    plan = Plan.of(span, period, period)  # the lead-in does not matter here
    w, h = span.sensor
    images = ((span.t1 - span.t0) // period) // plan.overview_step + 1
    cell_bytes = 3 * -(-w // plan.overview_scale) * -(-h // plan.overview_scale) * 4 / 3
    room = max_bytes - heat_bound(span.sensor) - h * plan.raster_bins * 8 // 3 - plan.timeline_bins * 11 \
        - points * _POINT_BYTES
    return images * cell_bytes * _OVERVIEW_SHARE <= room * _LIKELY_SHARE


def stands(run: Pass, result: Dict[str, Any], plan: Plan, box_json: str, sections: Tuple[str, str, str],
           span: Span, n_segments: int, max_bytes: int, raw: Optional[Dict[str, Any]] = None) -> bool:
    """Whether a pass planned with shorter parts is the pass planned with `box_json`; `raw`, the
    result of the raw frames of a filtered page (which keep_within then cuts to their real share).
    If it is, its frames are cut to those that pass keeps (see recount)."""
    overview_budget, frame_budget, _ = budgets(sections, box_json, span.sensor, plan, n_segments, max_bytes,
                                               raw_frames.RAW_SHARE if raw is not None else 0.0)
    if raw is not None and raw["spool_failed"]:
        return False
    step, _, _, images = result["overview"]
    if not (every_event(run, result) and not result["spool_failed"] and step == plan.overview_step
            and (len(images) <= 1 or sum(len(i) + 3 for i in images) <= overview_budget)):
        return False
    recount(result, frame_budget, overview_budget)
    return True


def recount(result: Dict[str, Any], frame_budget: int, overview_budget: int) -> None:
    """The pass's frames cut to those a pass with `frame_budget` and `overview_budget` (no larger
    than its own) accepts: those before the first whose bytes through it pass the budget less the
    reserve the overview then wanted, capped at its budget."""
    through, wanted = result["frame_asks"]
    asked = through + np.where(wanted < 0, 0, np.minimum(wanted, overview_budget))
    fits = asked <= frame_budget
    n = len(fits) if fits.all() else int(np.argmin(fits))
    if n < len(result["frames"]):
        result["frames"], result["frames_refused"] = result["frames"][:n], True
    result["frame_bytes"] = int(through[n - 1]) if n else 0
    result["frame_peak"] = int(asked[:n].max()) if n else 0


def raw_budget(plan: Plan, box_json: str, sections: Tuple[str, str, str], span: Span, n_segments: int,
               max_bytes: int) -> int:
    """The raw frames' budget of a filtered page pass planned with `box_json`."""
    share = budgets(sections, box_json, span.sensor, plan, n_segments, max_bytes, raw_frames.RAW_SHARE)[2]
    return share - raw_frames.part_bound(n_segments)


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
