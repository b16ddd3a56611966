"""The recording page: one streaming pass, then the document written in its key order to the page file.

Memory depends on the sensor and the page budget, never on the recording's length. The
page's document is described in docs/recording-document.md.
"""
from __future__ import annotations

import os
import threading
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from .. import _args, filters, pagefiles
from .._palettes import DEFAULT_BACKGROUND, DEFAULT_PALETTE
from ..boxes import box_columns, box_sets
from .box_budget import page_boxes
from ..pagefiles import comment_json
from ..recordings import _sources as sources
from ..recordings import read_segments
from ..recordings._sources import Source
from . import template
from .arguments import frame_look, positive, windows_arg
from .filtering import through
from . import filtering, folding, raw_frames
from .spool import block_range, copy_range, text_offsets
from .raw_frames import RawFrames
from .engine import PAGE, SPAN_LIMIT, Outcome, Pass, conclude, open_pass, run_pass
from .. import recording_inspection as inspection
from .parts import b64, heatmap, hot_pixels
from .summary import HOT_RULE
from .plan import Plan, allowance, budgets, covers, fitting, segments_of, shown_spans
from .span import Span, extent_text, span_of

_HOT_LISTED = 32


def export_recording_html(recording: Union[str, os.PathLike, np.ndarray], output_path: Union[str, os.PathLike], *,
                          start: Optional[int] = None, duration: Optional[int] = None,
                          windows: Optional[Sequence[Tuple[int, int]]] = None, frame_period: int = 20_000,
                          decay: float = 30_000, gain: float = 1.0, max_page_mb: float = 100,
                          sensor_size: Optional[Tuple[int, int]] = None, title: Optional[str] = None,
                          boxes: Any = None, predictions: Any = None, classes: Optional[Sequence[str]] = None,
                          outside: str = "refuse", segments: Any = None, dataset: Optional[str] = None,
                          sample: Optional[int] = None, topic: Optional[str] = None,
                          denoise_us: Optional[float] = None, refractory_us: Optional[float] = None,
                          drop_hot: bool = False) -> str:
    """Write the recording page of a file or event array to output_path and return the path as text.

    One streaming pass: memory depends on the sensor and the page budget, not on the recording.
    Times are µs: `start` and `duration` pick the part to decode (start after the first event);
    `windows` are (start, end) pairs, also after the first event, that get full-rate frames
    (default: from the start until the budget is spent). Frames last `frame_period`; the page
    shows them decayed over `decay` with tone curve gain `gain`. The page stays within
    `max_page_mb` (10^6 bytes); what does not fit at full rate is covered by a reduced-resolution
    overview of at least one image a second, which comes before full-rate frames in the budget
    (a budget too small even for the parts other than frames gives a RecordingWarning). `boxes` and `predictions` are box record arrays (or
    .npy paths) with fields t or ts, x, y, w, h, class_id, and optionally confidence and track_id;
    `classes` names the class ids (a list of names, or "a,b,c"). `segments` are labelled spans drawn
    on the timeline: a labels CSV (`class,startTime_usec,endTime_usec`, as DVS Gesture ships them)
    or (label, start, end) triples in the recording's µs. `dataset`, `sample` and `topic` choose
    inside an HDF5 file or a bag, as `read_events` takes them. `denoise_us`, `refractory_us` and
    `drop_hot` filter the events in the engine as `filter_events` filters the whole recording
    (on its sensor): frames, counts and plots show the survivors, and the page says what each
    filter removed, per timeline bin too; hot pixels and the denoise bounds come from the
    pass that gathers the page's health, before the page pass. A filtered page also holds the
    raw frames, counted in the same pass from a fifth of the frames' share of the budget
    (from the first frame on, as far as that goes), and its player switches between the two.

    The page is written beside the target and renamed into place, so a failure leaves no page.
    Raises RecordingError for a file that cannot be read, or with events outside the sensor
    (`outside="drop"` drops them instead, counts them in the page and warns); ValueError for
    arguments out of range or a window without events; TypeError for arguments of the wrong type.
    A recording cut short gives the events before the cut, a warning in the page and a
    RecordingWarning naming the file and the byte offset. A window over a file whose times go
    backwards is taken, as `read_events` takes it, from a decoding of the whole file anchored at
    its earliest event (in time order here), with a RecordingWarning naming the byte.
    """
    start_us, duration_us = _args.window(start, duration)
    period, decay, gain = frame_look(frame_period, decay, gain)
    max_bytes = int(positive("max_page_mb", max_page_mb, 1e6) * 1_000_000)
    if title is not None and not isinstance(title, str):
        _args.refuse("title", "str", title)
    if not isinstance(output_path, (str, os.PathLike)):
        _args.refuse("output_path", "str", output_path)
    window_list = windows_arg(windows)
    sets = box_sets(boxes, predictions, classes)  # bad boxes are refused before the pass
    wanted = filters.settings_of(denoise_us, refractory_us, drop_hot)
    labelled = _labelled_arg(segments)
    _args.output_folder(output_path)
    target = Path(os.fspath(output_path))

    src = sources.open_source(recording, outside, sources.options_arg(dataset, sample, topic))
    windowed = start is not None or duration is not None
    span = span_of(src, start_us, duration_us, sensor_size)
    if windowed and not (span.have_events and span.t0 <= span.t_last):
        raise ValueError(f"{src.label}: no events in the time window ({extent_text(span)})")
    title = src.name if title is None else title
    sections = template.template_sections(title)
    settings: Dict[str, Any] = dict(period=period, decay=decay, gain=gain, max_bytes=max_bytes, windows=window_list,
                                    sections=sections)

    spool = pagefiles.beside(target, ".frames")
    raw_spool = pagefiles.beside(target, ".raw-frames")
    unfiltered: Optional[RawFrames] = None
    try:
        with pagefiles.replacing(target) as partial:
            box_notes: List[str] = []
            stage: Any = None
            points = inspection.sample_cap(max_bytes)
            folded = False
            if folding.foldable(src, span, windowed, wanted, max_bytes, period, points):
                # One decoding: the page pass gathers the health and the sample too.
                kept = page_boxes(sets, span.t0, span.t1, max_bytes)
                boxes = comment_json(box_columns(sets, span.t0, span.t1, kept))
                scores = inspection.scores_text(sets, span.t0, span.t1, kept)
                if wanted.on:
                    filtered = _folded_filtered_pass(src, span, spool, raw_spool, boxes, scores, wanted, settings,
                                                     points)
                    if filtered is not None:
                        run, result, plan, segments, box_json, unfiltered, outcome = filtered
                        src, folded = run.src, True
                else:
                    run, result, plan, segments = _page_pass(
                        src, span, spool, boxes + inspection.shortest_parts(scores, span.t0, span.t1),
                        inspect=points, **settings)
                    outcome = conclude(run, result)
                    box_json = boxes + inspection.folded_parts(result, run.back, folding.health_notes(run, result),
                                                              scores, span.t0, span.t1)
                    if not folding.stands(run, result, plan, box_json, sections, span, len(segments), max_bytes):
                        run.engine = None  # its spool handle closes before the pass that rewrites the spool
                        run, result, plan, segments = _page_pass(src, span, spool, box_json, **settings)
                    folded = True
                if folded and kept.note is not None:
                    box_notes.append(kept.note)
            if not folded:
                box_json, counts = _box_json(src, span, sets, max_bytes, box_notes)
                if wanted.on:
                    run, result, plan, segments, box_json, unfiltered = _filtered_pass(
                        src, span, spool, raw_spool, box_json, wanted, counts, windowed, settings)
                    src = run.src
                else:
                    run, result, plan, segments = _page_pass(src, span, spool, box_json, **settings)
                outcome = conclude(run, result)
            outcome.notes.extend(box_notes)
            if windowed and run.back is not None:
                # Times go backwards: the seek may have passed events of the window, and late ones
                # would count in a later frame. As a windowed read does, the window is taken from
                # a read of the whole file, anchored at the earliest event, in time order.
                note = f"times go backwards at byte {run.back}; the window is taken from a read of the whole file"
                sources.warn(src.file, note)
                outcome.notes.append(f"{src.path}: {note}")
                run.engine = None  # its spool handle closes before the pass that rewrites the spool
                src, span = _sorted_window(src, run.bounds, span, start_us, duration_us, period, decay)
                outcome.notes = [n for n in outcome.notes if n not in box_notes]
                box_json, counts = _box_json(src, span, sets, max_bytes, outcome.notes)
                if wanted.on:  # the window's array, filtered as the whole file would be
                    unfiltered = RawFrames(src, raw_spool)
                    src, stage, box_json = _filtered(src, span, wanted, counts, box_json, period, decay, unfiltered)
                run, result, plan, segments = _page_pass(src, span, spool, box_json, raw=unfiltered, **settings)
                if stage is not None:
                    box_json = _filters_json(box_json, wanted, stage)
            letting_go = _let_go(run)
            try:
                page = _Page(src, span, plan, result, outcome, outcome.notes, windowed, period, decay, gain,
                             segments, max_bytes, box_json, labelled, unfiltered)
                with pagefiles.open_beside(partial) as out, open(spool, "rb") as frames, \
                        open(raw_spool if unfiltered is not None else spool, "rb") as raw_images:
                    size = page.write(out, frames, sections, raw_images)
            finally:
                letting_go.join()
        if size > max_bytes:  # only the parts that are not images can do this
            w, h = span.sensor
            sources.warn(target, f"the page is {size:,} bytes, over its budget of {max_bytes:,}: its parts "
                                 f"other than frames need that much for a {w} × {h} sensor")
    finally:
        pagefiles.remove(spool)
        pagefiles.remove(raw_spool)
    return str(target)


def _let_go(run: Pass) -> threading.Thread:
    """The finished pass closed on another thread, which gives its tables back (hundreds of
    megabytes for an HD page) while this one writes the page from the spool, complete once the
    pass finished; join it before the spool goes."""
    engine, run.engine = run.engine, None
    closing = threading.Thread(target=engine.close, name="zelqviz page pass closing")
    closing.start()
    return closing


def _labelled_arg(segments: Any) -> Optional[List[Dict[str, Any]]]:
    """Labelled segments as the timeline takes them: [{"label", "start", "end"}], from a labels
    CSV or (label, start, end) triples."""
    if segments is None:
        return None
    if isinstance(segments, (str, os.PathLike)):
        segments = read_segments(segments)
    out = []
    for seg in segments:
        if not isinstance(seg, (tuple, list)) or len(seg) != 3:
            raise ValueError(f"a segment is a (label, start, end) triple of µs (got {seg!r})")
        a, b = (int(_args.integer("segments", v)) for v in seg[1:])
        if not 0 <= a < b < 2 ** 62:
            raise ValueError(f"a segment needs 0 <= start < end (got {a}, {b})")
        out.append({"label": str(seg[0]), "start": a, "end": b})
    return out


def _box_json(src: Source, span: Span, sets: Any, max_bytes: int, notes: List[str]) -> Tuple[str, Dict[str, Any]]:
    """The boxes' value and the inspection parts that follow it in the document; with the
    inspection pass's counts. Boxes beyond their share of the budget are thinned, with a note."""
    from ..recording_inspection import gathered_parts
    kept = page_boxes(sets, span.t0, span.t1, max_bytes)
    if kept.note is not None:
        notes.append(kept.note)
    parts, counts = gathered_parts(src, span.sensor, span.t0, span.t1, sets, max_bytes, kept)
    return comment_json(box_columns(sets, span.t0, span.t1, kept)) + parts, counts


_FILTERS_FIXED = 400  # the "filters" part beside its bins: names, flags and counts


def _filtered(src: Source, span: Span, wanted: "filters.Settings", counts: Dict[str, Any], box_json: str,
              period: int, decay: float, raw: Optional[RawFrames] = None) -> Tuple[Source, Any, str]:
    """The source seen through the filter stage, the stage, and the document text with room
    reserved for the "filters" part (its size is known before the pass: the budget holds)."""
    plan = Plan.of(span, period, decay)
    stage = filters.stage(wanted, span.sensor, counts, (span.t0, plan.timeline_bin, plan.timeline_bins))
    return through(src, stage, raw), stage, box_json + " " * _filters_reserve(plan)


def _filters_reserve(plan: Plan) -> int:
    return 4 * -(-4 * plan.timeline_bins // 3) + _FILTERS_FIXED


def _filtered_pass(src: Source, span: Span, spool: str, raw_spool: str, box_json: str, wanted: "filters.Settings",
                   counts: Dict[str, Any], windowed: bool, settings: Dict[str, Any]
                   ) -> Tuple[Pass, Dict[str, Any], Plan, List[Tuple[int, int, int]], str, RawFrames]:
    """The filtered page pass with its raw frames, and the document text with the "filters" part:
    by the engine's own feed where it reads what the record pieces give, else by the pieces."""
    if filtering.natively(src, span, windowed, counts):
        plan = Plan.of(span, settings["period"], settings["decay"])
        args = filters.stage_args(wanted, span.sensor, counts, (span.t0, plan.timeline_bin, plan.timeline_bins))
        raw = RawFrames(src, raw_spool)
        reserved = box_json + " " * _filters_reserve(plan)
        run, result, plan, segments = _page_pass(src, span, spool, reserved, raw=raw, filter_args=args, **settings)
        if filtering.stands(run, result):
            return run, result, plan, segments, _filters_json(reserved, wanted, filters.Removed.of(run.engine)), raw
        run.engine = None  # its spool handle closes before the pass that rewrites the spool
    raw = RawFrames(src, raw_spool)
    piped, stage, reserved = _filtered(src, span, wanted, counts, box_json, settings["period"], settings["decay"], raw)
    run, result, plan, segments = _page_pass(piped, span, spool, reserved, raw=raw, **settings)
    return run, result, plan, segments, _filters_json(reserved, wanted, stage), raw


def _folded_filtered_pass(src: Source, span: Span, spool: str, raw_spool: str, boxes: str, scores: str,
                          wanted: "filters.Settings", settings: Dict[str, Any], points: int) -> Optional[Tuple[
                              Pass, Dict[str, Any], Plan, List[Tuple[int, int, int]], str, RawFrames, Outcome]]:
    """The filtered page pass of a whole native file that gathers the health and the sample too
    (folding.py), with the document text and the outcome; None when the health it gathered is
    not the health pass's."""
    plan = Plan.of(span, settings["period"], settings["decay"])
    args = filters.stage_args(wanted, span.sensor, None, (span.t0, plan.timeline_bin, plan.timeline_bins))
    reserve = " " * _filters_reserve(plan)
    raw = RawFrames(src, raw_spool)
    run, result, plan, segments = _page_pass(src, span, spool, boxes + inspection.shortest_parts(scores, span.t0, span.t1)
                                             + reserve, raw=raw, filter_args=args, inspect=points, **settings)
    with warnings.catch_warnings(record=True) as said:  # said again by the pass that stands
        warnings.simplefilter("always")
        outcome = conclude(run, result)
    box_json = boxes + inspection.folded_parts(result, run.back, folding.health_notes(run, result), scores,
                                               span.t0, span.t1)
    if (folding.same_filters(wanted, span.sensor, result["health"]) and filtering.stands(run, result)
            and folding.stands(run, result, plan, box_json + reserve, settings["sections"], span, len(segments),
                               settings["max_bytes"], raw.result)):
        for w in said:
            warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
        raw.keep_within(folding.raw_budget(plan, box_json + reserve, settings["sections"], span, len(segments),
                                           settings["max_bytes"]))
        return (run, result, plan, segments, _filters_json(box_json + reserve, wanted, filters.Removed.of(run.engine)),
                raw, outcome)
    run.engine = None  # its spool handle closes before the pass that rewrites the spool
    if not folding.every_event(run, result):
        return None  # the health pass reads events this pass did not count
    run, result, plan, segments, box_json, raw = _filtered_pass(src, span, spool, raw_spool, box_json, wanted,
                                                                result["health"], False, settings)
    return run, result, plan, segments, box_json, raw, conclude(run, result)


def _filters_json(box_json: str, wanted: "filters.Settings", stage: Any) -> str:
    """The reserved room filled with the "filters" part (JSON allows the spaces left over)."""
    reserve = len(box_json) - len(box_json.rstrip(" "))
    text = ',"filters":' + comment_json(filters.filters_part(wanted, stage))
    if len(text) > reserve:
        raise RuntimeError("the filters part outgrew its room")
    return box_json[:len(box_json) - reserve] + text + " " * (reserve - len(text))




def _page_pass(src: Source, span: Span, spool: str, box_json: str, *, period: int, decay: float, gain: float,
               max_bytes: int, windows: Optional[List[Tuple[int, int]]], sections: Tuple[str, str, str],
               raw: Optional[RawFrames] = None, inspect: int = 0, filter_args: Optional[Tuple[Any, ...]] = None
               ) -> Tuple[Pass, Dict[str, Any], "Plan", List[Tuple[int, int, int]]]:
    """One page pass of the engine over the span, frames spooled to `spool` (rewritten); with `raw`,
    the raw frames beside them in the same pass, from their share of the frames' bytes; with
    `inspect`, the health and a sample of that many points gathered by the pass too; with
    `filter_args` (a native file's filters), the engine filters the decoded bytes itself."""
    plan = Plan.of(span, period, decay)
    segments = segments_of(windows, span, period, decay, plan.lead)
    overview_budget, frame_budget, share = budgets(sections, box_json, span.sensor, plan, len(segments), max_bytes,
                                                   raw_frames.RAW_SHARE if raw is not None else 0.0)
    if raw is not None:
        raw.start(span, plan, segments, share - raw_frames.part_bound(len(segments)), period, decay, gain)
    run = open_pass(src, PAGE, span.sensor, span.t0, span.t1, span.t_first, span.to_end, period_us=period,
                  lead=plan.lead, decay_us=decay, timeline_bin=plan.timeline_bin, timeline_bins=plan.timeline_bins,
                  raster_bin=plan.raster_bin, raster_bins=plan.raster_bins, segments=segments,
                  spool_path=os.fsencode(spool), frame_budget=frame_budget, overview_step=plan.overview_step,
                  overview_scale=plan.overview_scale, overview_budget=overview_budget, gain=gain)
    if inspect:
        run.engine.inspect(*span.sensor, span.t0, span.t1, inspect, inspection.thinned_floor(inspect, span.t0, span.t1))
    if filter_args is not None:
        filtering.feeds(run.engine, filter_args, raw)
    result = run_pass(run, span.t0 - plan.lead * period, span.t1)
    if raw is not None:
        raw.finish()
    return run, result, plan, segments


def _sorted_window(src: Source, bounds: Tuple[int, int], span: Span, start: int, duration: Optional[int],
                   period: int, decay: float) -> Tuple[Source, Span]:
    """A file's window (and its lead-in) as an event array in time order, from a decoding of the
    whole file anchored at its earliest event; the span re-anchored there."""
    extremes = src.decoder.extremes()
    t_first, t_last = extremes if extremes else (0, -1)
    t0 = min(t_first + start, SPAN_LIMIT)
    t1 = min(t0 + duration, SPAN_LIMIT) if duration is not None else max(t_last + 1, t0)
    span = Span(span.sensor, extremes is not None, t_first, t_last, t0, t1, duration is None)
    begin = max(0, t0 - Plan.of(span, period, decay).lead * period - t_first)
    state = src.decoder.new_state(begin, -1 if duration is None else max(0, t1 - t_first - begin))
    state["width"], state["height"] = bounds
    state["has_first"], state["first"] = 1, t_first
    state["back"] = 1  # no early stop: later events may still fall in the window
    events = src.decoder.decode(state)
    events = events[np.argsort(events["t"], kind="stable")]
    return Source(name=src.name, format=src.format, path=src.path, kind="array", size=src.size,
                   sensor_size=src.sensor_size, array=events, fields=("x", "y", "t", "p"), outside=src.outside), span


class _Counter:
    """A binary file that counts what goes through it."""

    def __init__(self, out: Any) -> None:
        self.out, self.bytes = out, 0

    def write(self, text: Union[str, bytes]) -> None:
        data = text.encode("utf-8") if isinstance(text, str) else text
        self.out.write(data)
        self.bytes += len(data)

    def copy(self, source: Any, start: int, count: int) -> None:
        self.bytes += copy_range(source, self.out, start, count)


@dataclass
class _Page:
    """The document of one page pass, written in its key order straight to the page file."""
    src: Source
    span: Span
    plan: Plan
    result: Dict[str, Any]
    outcome: Outcome
    notes: List[str]
    windowed: bool
    period: int
    decay: float
    gain: float
    segments: List[Tuple[int, int, int]]
    max_bytes: int
    box_json: str
    labelled: Optional[List[Dict[str, Any]]] = None
    raw: Optional[RawFrames] = None

    def write(self, out: Any, frames: Any, sections: Tuple[str, str, str], raw_images: Any = None) -> int:
        """The summary (the document with its image lists emptied and counted), then the
        images in blocks: what the first view shows, the overview, the other frames."""
        head, middle, end = sections
        span, plan, result, period = self.span, self.plan, self.result, self.period
        w, h = span.sensor
        t0, t1 = span.t0, span.t1
        grid = t0 - plan.lead * period
        on, off = (c.reshape(h, w) for c in result["pixels"])
        timeline_on, timeline_off = result["timeline"]
        step, ov_w, ov_h, ov_images = result["overview"]
        source = {"name": self.src.name, "format": self.src.format, "sensor_size": [w, h],
                  "t_first": span.t_first, "t_last": span.t_last if span.have_events else span.t_first,
                  "event_count": result["event_count"], "on_count": result["on_count"],
                  "dropped": self.outcome.dropped,
                  "cut_short": self.outcome.cut_short, "warnings": self.notes}
        summary = [
            '{"kind":"recording","version":1,"source":' + comment_json(source) + ',"window":'
            + comment_json({"start": t0, "end": t1} if self.windowed else None),
            ',"timeline":' + comment_json({"start": t0, "bin_us": plan.timeline_bin, "on": b64(timeline_on, "<u4"),
                                    "off": b64(timeline_off, "<u4"),
                                    **({"labels": self.labelled} if self.labelled is not None else {})}),
            ',"heatmap":' + comment_json(heatmap(on, off)),
            ',"hot_pixels":' + comment_json({"rule": HOT_RULE, "pixels": hot_pixels(on, off, _HOT_LISTED)[0]})]
        rest = [',"raster":' + comment_json({"start": t0, "bin_us": plan.raster_bin, "bins": plan.raster_bins, "rows": h,
                                       "counts": b64(np.minimum(result["raster"], 65535), "<u2")}),
                ',"boxes":' + self.box_json]

        # What the images may take now that the rest of the page is known; the overview first,
        # when the frames do not cover everything, and the frames keep what it leaves, earliest first.
        room = self.max_bytes - allowance(sections, len(self.segments), self.max_bytes) \
            - sum(len(part) for part in summary + rest)
        if self.raw is not None:  # the raw frames' blocks and statement, at their most
            raw_accepted = self.raw.accepted()
            room -= sum(length + 1 for _, length in raw_accepted) + raw_frames.part_bound(len(self.segments)) \
                + (sum(length for _, length in raw_accepted) // template.BLOCK_BYTES + 2 * len(self.segments) + 2) * 32
        accepted = result["frames"]
        offsets = text_offsets(accepted)
        spans = shown_spans(accepted, self.segments, grid, period)
        covered = covers(spans, t0, t1 - 1) if t1 > t0 else True
        if covered and fitting(accepted, room) == len(accepted):
            ov_images = []
        else:
            covered = False
            accepted = accepted[:fitting(accepted, room - sum(len(i) + 1 for i in ov_images))]
            spans = shown_spans(accepted, self.segments, grid, period)

        # (tag, spool offsets, lengths) of each list of images, in document order
        lists: List[Tuple[str, List[int], List[int]]] = []
        segment_json = []
        of_segment: Dict[int, List[int]] = {}
        for i, (seg, _) in enumerate(accepted):
            of_segment.setdefault(seg, []).append(i)
        doc_segments = []
        for s, _, _, _ in spans:
            mine = of_segment[s]
            first, lead, _ = self.segments[s]
            doc_segments.append((s, first, lead, len(mine)))
            tag = template.segment_tag(len(lists))
            lists.append((tag, [offsets[i] for i in mine], [accepted[i][1] for i in mine]))
            segment_json.append('{"start":' + str(grid + first * period) + ',"lead":' + str(lead)
                                + ',"images":[],"count":' + str(len(mine)) + "}")
        overview = None
        if not covered:
            overview = {"period_us": step * period, "start": t0, "scale": plan.overview_scale, "width": ov_w,
                        "height": ov_h, "images": [], "count": len(ov_images)}
            lists.append((template.OVERVIEW_TAG, [], [len(i) for i in ov_images]))
        raw_part = ""
        if self.raw is not None:  # after the others: the first view shows filtered frames
            raw_doc, raw_lists = raw_frames.document_part(self.raw, doc_segments, grid, period)
            raw_part = raw_frames.part_text(raw_doc)
            lists += raw_lists
        shown_first = spans[0][2] if spans else None
        first_view = template.segment_tag(0) if shown_first is not None and (covered or shown_first <= t0) \
            else template.OVERVIEW_TAG
        blocks = template.block_plan([(tag, lengths) for tag, _, lengths in lists], first_view)
        by_tag = {tag: (where, lengths) for tag, where, lengths in lists}
        blocks_bytes = sum(template.block_bytes(tag, by_tag[tag][1][a:b]) for tag, a, b in blocks)

        c = _Counter(out)
        c.write(head)
        for part in summary:
            c.write(part)
        c.write(',"frames":{"period_us":' + str(period) + ',"decay_us":' + comment_json(_integral(self.decay))
                + ',"segments":[' + ",".join(segment_json) + "]}")
        c.write(',"overview":' + comment_json(overview))
        c.write(raw_part)
        for part in rest:
            c.write(part)
        full_rate = [[a, b] for _, _, a, b in spans]
        left_out = "" if covered else _left_out(spans, t0, t1, step * period, plan.overview_scale)
        view = ',"view":' + comment_json({"palette": DEFAULT_PALETTE, "background": DEFAULT_BACKGROUND,
                                   "gain": float(self.gain)}) + "}"
        after = len(view) + len(middle.encode("utf-8")) + blocks_bytes + len(end.encode("utf-8"))
        size = 0
        for _ in range(4):  # the page's size includes the digits that state it
            budget = ',"budget":' + comment_json({"max_bytes": self.max_bytes, "bytes": size, "full_rate": full_rate,
                                           "left_out": left_out})
            want = c.bytes + len(budget) + after
            if want == size:
                break
            size = want
        c.write(budget)
        c.write(view)
        c.write(middle)
        for tag, a, b in blocks:
            where, lengths = by_tag[tag]
            c.write("<!--" + tag)
            if where:
                images = raw_images if tag.startswith("R") else frames
                c.copy(images, *block_range(where, lengths, a, b))
            else:
                c.write("".join(" " + ov_images[k] for k in range(a, b)))
            c.write("-->")
        c.write(end)
        if c.bytes != size:
            raise RuntimeError(f"the recording page came out at {c.bytes} bytes, not the {size} it states")
        return size


def _integral(v: float) -> Union[int, float]:
    return int(v) if float(v).is_integer() else v


def _seconds(us: int) -> str:
    return f"{us / 1e6:.3f}".rstrip("0").rstrip(".") + " s"


def _left_out(spans: List[Tuple[int, int, int, int]], t0: int, t1: int, ov_period: int, scale: int) -> str:
    held = ", ".join(f"{_seconds(a - t0)} to {_seconds(b - t0)}" for _, _, a, b in spans) or "no span"
    return (f"Full-rate frames hold {held} of {_seconds(t1 - t0)}; the page budget leaves out the "
            f"rest at full rate. The overview shows all of it at one image every {_seconds(ov_period)}, "
            f"at 1/{scale} of the sensor's resolution.")
