"""Recordings of any length, streamed: the recording page, its frames and a one-pass summary.

A file is decoded a chunk at a time straight into the native engine's
accumulators (rate timeline, pixel counts, row raster, frame counts, a decayed
overview); finished frames are PNG-encoded on a second thread and spooled to
disk, so memory depends on the sensor and the page budget, never on the
recording's length. The page's document is described in
docs/recording-document.md.
"""
from __future__ import annotations

import base64
import errno
import functools
import math
import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _args, _native, pagefiles
from ._palettes import DEFAULT_BACKGROUND, DEFAULT_PALETTE, PALETTES
from .recordings import _sources as sources
from .recordings import read_segments
from .recordings._sources import RECORD
from . import recording_page

__all__ = ["export_recording_html", "recording_frames", "summarize_recording"]

_SURVEY, _PAGE, _RENDER, _SUMMARY = range(4)
_ARRAY_STEP = 1 << 20           # events converted to records at a time
_LEAD_DECAYS = 3                # lead-in frames cover this many decay times
_TIMELINE_BINS, _RASTER_BINS = 2000, 500
_OVERVIEW_WIDTH = 320           # the overview's width at most (before the budget)
_SPAN_LIMIT = 2 ** 62
_HOT_FACTOR, _HOT_MIN = 10, 16
_HOT_LISTED = 32
HOT_RULE = (f"pixels with at least {_HOT_FACTOR} times the median count of the pixels that have events, "
            f"and at least {_HOT_MIN} events")
# Page text outside the images that grows with the segments (their headers, spans and
# the words that list them), and with the image blocks (their tags).
_SEGMENT_BYTES, _BLOCK_OVERHEAD = 256, 32


# ---------------------------------------------------------------- sources

_Source = sources.Source
_open_source = sources.open_source


def _unmappable(e: BaseException) -> bool:
    # No room to map the whole file (an address-space limit): the caller decodes from the start instead.
    return isinstance(e, MemoryError) or getattr(e, "errno", None) == errno.ENOMEM


@dataclass
class _Pass:
    """One run of the engine over a source: the engine, a file's decoder state (the readers' own,
    kept in step by the engine), the byte decoding starts at, and what the run found."""
    src: _Source
    engine: Any
    bounds: Tuple[int, int]
    state: Any = None
    pos: int = 0
    cut: Optional[int] = None       # where a file cut short ends its whole words (or packets)
    back: Optional[int] = None      # the byte where a file's times first went backwards


def _stream(src: _Source, mode: int, sensor: Tuple[int, int], t0: int, t1: int, first: int, to_end: bool = True,
            **settings: Any) -> _Pass:
    """The native engine over [t0, t1) (frames from t0 - lead * period); a file's decoder is anchored
    on `first`, the file's first event, starts at the window through the time index, and reads to
    the file's end when `to_end` (as a read without a duration does)."""
    values: Dict[str, Any] = dict(
        period_us=20_000, lead=0, decay_us=30_000.0, timeline_bin=1, timeline_bins=0, raster_bin=1, raster_bins=0,
        segments=[], spool_path=None, frame_budget=0, overview_step=1, overview_scale=1, overview_budget=0, gain=1.0,
        palette=[], scale=1)
    values.update(settings)
    bounds = sensor if src.sensor_size is None else \
        (min(sensor[0], src.sensor_size[0]), min(sensor[1], src.sensor_size[1]))
    if mode == _SURVEY:  # the sensor is still to be found: only the header's bounds the events
        bounds = src.sensor_size or (0, 0)
    run = _Pass(src, None, bounds)
    fmt = 0
    if src.kind == "native":
        lay, fmt = src.layout, src.layout.fmt.number
        begin = max(0, t0 - values["lead"] * values["period_us"] - first)
        duration = -1 if to_end or t1 >= _SPAN_LIMIT else max(0, t1 - first - begin)
        run.state = src.decoder.new_state(begin, duration)  # outside events dropped natively and counted
        run.state["width"], run.state["height"] = bounds
        run.pos = lay.offset
        if begin or duration >= 0:
            run.state["has_first"], run.state["first"] = 1, first
            try:
                run.pos = src.decoder.seek(run.state, first + begin)
            except (OSError, MemoryError) as e:
                if not _unmappable(e):
                    raise
                run.state["loops"] = 0
    run.engine = _native.events()._Stream(mode, sensor[0], sensor[1], t0, t1, format=fmt,
                                              state=None if run.state is None else run.state.array, **values)
    return run


# ---------------------------------------------------------------- feeding

@dataclass
class _Outcome:
    cut_short: Optional[Dict[str, Any]] = None
    dropped: int = 0
    notes: List[str] = field(default_factory=list)


def _pump(run: _Pass, lo: int, hi: int) -> Iterator[None]:
    """Feeds the source's events in [lo, hi) to the engine and finishes it; yields whenever frames wait
    to be taken."""
    engine, kind = run.engine, run.src.kind
    if kind == "native":
        yield from _pump_file(run)
    elif kind == "chunks":
        yield from _pump_chunks(run, lo, hi)
    else:
        yield from _pump_array(run, lo, hi)
    while engine.feed_bytes(b"")[1]:
        yield
    while not engine.finish():
        yield


def _pump_file(run: _Pass) -> Iterator[None]:
    # Read into one reused buffer rather than mapping the file: the address
    # space stays small whatever the file's size (a memory limit counts mappings).
    src, engine, state = run.src, run.engine, run.state
    p, fmt = src.file, src.layout.fmt
    size, pos = src.size, run.pos
    if size <= pos:
        return
    # No bigger than the data: a small file must not pay for zeroing a whole chunk.
    buffer = bytearray(min(sources.READ_BYTES, size - pos))
    with open(p, "rb") as f, memoryview(buffer) as view:
        f.seek(pos)
        start = filled = 0  # buffer[start:filled] is read but not yet decoded
        while True:
            # Every whole word before `filled` is decoded: keep the partial one, read more.
            rest = filled - start
            view[:rest] = bytes(view[start:filled])
            start, filled = 0, rest
            got = f.readinto(view[filled:]) or 0
            filled += got
            if not got:
                break
            while True:
                was_back = state["back"]
                used, paused = engine.feed_bytes(view[start:filled])
                if state["error"]:
                    raise src.decoder.error(state, pos)
                if state["back"] and not was_back:
                    run.back = pos + state["back_at"]
                pos += used
                start += used
                if not paused:
                    break
                yield
            if state["done"]:
                filled = start
                break
        if filled > start or (state["packet_left"] > 0 and not state["done"]):
            # A unit (a word, a packet) the file ends inside: named where it begins.
            run.cut = state["packet_at"] if state["packet_left"] > 0 else pos


def _records(part: np.ndarray, fields: Sequence[Any]) -> np.ndarray:
    fx, fy, ft, fp = fields
    rec = np.empty(len(part), RECORD)
    rec["x"] = np.clip(part[fx], -32768, 32767)
    rec["y"] = 0 if fy is None else np.clip(part[fy], -32768, 32767)
    rec["t"] = part[ft]
    rec["p"] = 1 if fp is None else np.where(part[fp] > 0, 1, -1)
    return rec


def _feed_records(engine: Any, rec: np.ndarray) -> Iterator[None]:
    done = 0
    while done < len(rec):
        done += engine.feed_records(rec[done:])
        if done < len(rec):
            yield


def _pump_array(run: _Pass, lo: int, hi: int) -> Iterator[None]:
    src = run.src
    arr, ft = src.events, src.fields[2]
    if not len(arr):
        return
    t = arr[ft]
    order = None if len(t) < 2 or bool(np.all(t[1:] >= t[:-1])) else np.argsort(t, kind="stable")
    for i in range(0, len(arr), _ARRAY_STEP):
        part = arr[i:i + _ARRAY_STEP] if order is None else arr[order[i:i + _ARRAY_STEP]]
        rec = _records(part, src.fields)
        keep = (rec["t"] >= lo) & (rec["t"] < hi)
        yield from _feed_records(run.engine, rec if keep.all() else rec[keep])


def _pump_chunks(run: _Pass, lo: int, hi: int) -> Iterator[None]:
    src = run.src
    assert src.chunks is not None, "a chunks source reads its pieces"
    pieces = src.chunks()
    try:
        while True:
            try:
                rec = next(pieces)
            except StopIteration as end:
                run.cut = end.value
                break
            keep = (rec["t"] >= lo) & (rec["t"] < hi)
            yield from _feed_records(run.engine, rec if keep.all() else rec[keep])
            if int(rec["t"].min()) >= hi:
                break
    finally:
        pieces.close()


def _run(run: _Pass, lo: int = -_SPAN_LIMIT, hi: int = _SPAN_LIMIT) -> Dict[str, Any]:
    for _ in _pump(run, lo, hi):
        pass
    return run.engine.result()


def _conclude(run: _Pass, result: Dict[str, Any]) -> _Outcome:
    """What the readers say of a file at the end of a read: one warning for a file cut short, and
    events outside the sensor refused or, on request, dropped with a warning."""
    src, outcome = run.src, _Outcome()
    if run.cut is not None:
        note = sources.cut_note(src.size, src.unit, run.cut, result["event_count"])
        sources.warn(src.file, note)
        outcome.cut_short = {"offset": run.cut, "message": f"{src.path}: {note}"}
        outcome.notes.append(outcome.cut_short["message"])
    n, (x, y, t, _) = result["outside"], result["first_outside"]
    if run.state is not None and run.state["outside"]:
        n += run.state["outside"]
        x, y, t = run.state["outside_x"], run.state["outside_y"], run.state["outside_t"]
        run.bounds = (run.state["width"], run.state["height"])
    if n:
        w, h = run.bounds
        if src.sensor_size == (w, h):
            sensor = f"the {w} × {h} sensor its header declares"
        elif src.kind == "native" and src.sensor_size is None and (w, h) == src.layout.fmt.range:
            sensor = f"the {w} × {h} addresses of {src.layout.fmt.name}"
        else:
            sensor = f"the {w} × {h} sensor given"
        first = f"x={x}, y={y}, t={t}"
        sources.outside_sensor(src.label, n, sensor, first, src.outside)
        outcome.dropped = n
        outcome.notes.append(f"{src.label}: dropped {n:,} event{'s' if n != 1 else ''} outside {sensor} "
                             f"(the first: {first})")
    skipped = sources.skipped_note(run.state) if run.state is not None else ""
    if skipped:
        outcome.notes.append(f"{src.label}: {skipped}")
    return outcome


# ---------------------------------------------------------------- extent

def _extent(src: _Source) -> Dict[str, Any]:
    """The whole recording's first and last time, and its largest coordinates when they are needed.

    The one place that learns a file's extent before the page pass: the readers' time index when
    the header gives the sensor, else one decoding pass that keeps nothing but the extent.
    """
    if src.kind == "array":
        arr, (fx, fy, ft, _) = src.events, src.fields
        if not len(arr):
            return {"have_events": False, "t_first": 0, "t_last": 0, "max_x": -1, "max_y": -1}
        return {"have_events": True, "t_first": int(arr[ft].min()), "t_last": int(arr[ft].max()),
                "max_x": int(arr[fx].max()), "max_y": 0 if fy is None else int(arr[fy].max())}
    if src.kind == "native" and src.sensor_size is not None:
        try:
            extent = src.decoder.time_range()
        except (OSError, MemoryError) as e:
            if not _unmappable(e):
                raise
        else:
            if extent is None:
                return {"have_events": False, "t_first": 0, "t_last": 0}
            return {"have_events": True, "t_first": extent[0], "t_last": extent[1]}
    return _run(_stream(src, _SURVEY, (1, 1), -_SPAN_LIMIT, _SPAN_LIMIT, 0))


def _sensor(src: _Source, given: Any, extent: Optional[Dict[str, Any]]) -> Tuple[Tuple[int, int], Optional[Dict]]:
    """The sensor size: given, from the header, or from the events' extent (which it then returns)."""
    if given is not None:
        if not isinstance(given, tuple):
            _args.refuse("sensor_size", "tuple", given)
        if len(given) != 2 or not all(isinstance(v, (int, np.integer)) and 0 < v <= 32767 for v in given):
            raise ValueError(f"sensor_size must be two whole numbers from 1 to 32767 (got {given!r})")
        return (int(given[0]), int(given[1])), extent
    if src.sensor_size is not None:
        return src.sensor_size, extent
    extent = extent or _extent(src)
    if not extent["have_events"]:
        return (1, 1), extent
    return (min(int(extent["max_x"]) + 1, 32767), min(int(extent["max_y"]) + 1, 32767)), extent


# ---------------------------------------------------------------- arguments

def _window_args(start: Any, duration: Any) -> Tuple[int, Optional[int]]:
    start = _args.integer("start", start, none=True)
    duration = _args.integer("duration", duration, none=True)
    for name, v in (("start", start), ("duration", duration)):
        if v is not None and not 0 <= v < 2 ** 62:
            raise ValueError(f"{name} must be from 0 to 2**62 microseconds (got {v})")
    return start or 0, duration


def _positive(name: str, value: Any, limit: float = 2 ** 62) -> Union[float, np.integer, np.floating]:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        _args.refuse(name, "float", value)
    if not (0 < value <= limit):
        raise ValueError(f"{name} must be positive (got {value!r})")
    return value


def _palette(palette: Any, background: Any) -> List[float]:
    if palette not in PALETTES:
        raise ValueError(f"unknown palette {palette!r} (known: {', '.join(PALETTES)})")
    if background not in ("dark", "light"):
        raise ValueError(f"background must be 'dark' or 'light' (got {background!r})")
    p = PALETTES[palette][background]
    return [float(v) for key in ("background", "on", "off") for v in p[key]]


@dataclass
class _Span:
    """What a pass decodes: [t0, t1) of a recording whose events run from t_first to t_last."""
    sensor: Tuple[int, int]
    have_events: bool
    t_first: int
    t_last: int
    t0: int
    t1: int
    to_end: bool


def _span(src: _Source, start: int, duration: Optional[int], sensor_size: Any = None) -> _Span:
    extent = _extent(src)
    sensor, _ = _sensor(src, sensor_size, extent)
    have = extent["have_events"]
    t_first, t_last = (extent["t_first"], extent["t_last"]) if have else (0, -1)
    t0 = min(t_first + start, _SPAN_LIMIT)
    t1 = min(t0 + duration, _SPAN_LIMIT) if duration is not None else max(t_last + 1, t0)
    return _Span(sensor, have, t_first, t_last, t0, t1, duration is None)


# ---------------------------------------------------------------- frames for video

def recording_frames(recording: Union[str, os.PathLike, np.ndarray], *, start: Optional[int] = None,
                     duration: Optional[int] = None, frame_period: int = 20_000, decay: float = 30_000,
                     gain: float = 1.0, palette: str = DEFAULT_PALETTE, background: str = DEFAULT_BACKGROUND,
                     scale: int = 1, sensor_size: Optional[Tuple[int, int]] = None,
                     outside: str = "refuse", dataset: Optional[str] = None, sample: Optional[int] = None,
                     topic: Optional[str] = None) -> Iterator[Tuple[int, np.ndarray]]:
    """The recording page's frames as RGB images: yields (frame start in µs, uint8 array (H*scale, W*scale, 3)).

    Frame k covers t0 + k * frame_period <= t < t0 + (k + 1) * frame_period, where t0 is the first
    event's time plus `start`; the frames cover `duration` (default: through the last event).
    Each pixel shows S = a * S + C per polarity (a = exp(-frame_period / decay), C the frame's count
    clipped to 255 as in the page's images, S = 0 before the first frame), level = 1 - exp(-S / gain),
    blended from the palette's background towards its ON and OFF colours and rounded half up.
    The image is the sensor's size: `sensor_size`, the header's, or the events' extent.
    Memory stays bounded whatever the recording's length. A file is read as `read_events` reads it:
    events outside the sensor are refused, or dropped with `outside="drop"`, at the end; a file cut
    short gives the frames of the events before the cut and a RecordingWarning.
    """
    start_us, duration_us = _window_args(start, duration)
    period = int(_args.integer("frame_period", frame_period))
    if not 1 <= period < 2 ** 40:
        raise ValueError(f"frame_period must be at least 1 µs (got {period})")
    decay = float(_positive("decay", decay))
    gain = float(_positive("gain", gain))
    colours = _palette(palette, background)
    scale = int(_args.integer("scale", scale))
    if not 1 <= scale <= 16:
        raise ValueError(f"scale must be from 1 to 16 (got {scale})")
    src = _open_source(recording, outside, sources.options_arg(dataset, sample, topic))
    span = _span(src, start_us, duration_us, sensor_size)
    return _frames(src, span, period, decay, gain, colours, scale)


def _frames(src: _Source, span: _Span, period: int, decay: float, gain: float, colours: List[float],
            scale: int) -> Iterator[Tuple[int, np.ndarray]]:
    run = _stream(src, _RENDER, span.sensor, span.t0, span.t1, span.t_first, span.to_end, period_us=period,
                  decay_us=float(decay), gain=float(gain), palette=colours, scale=scale)
    warned = False
    for _ in _pump(run, span.t0, span.t1):
        warned = warned or _warn_backwards(src, run)
        yield from run.engine.take_frames()
    yield from run.engine.take_frames()
    warned or _warn_backwards(src, run)
    _conclude(run, run.engine.result())


def _warn_backwards(src: _Source, run: "_Pass") -> bool:
    """Warns, once, where a file's times go backwards: frames already given cannot be redone."""
    if run.back is None:
        return False
    sources.warn(src.file, f"times go backwards at byte {run.back}: a late event is drawn in the frame "
                               "being drawn when it is read, and a window may miss events after that byte")
    return True


# ---------------------------------------------------------------- document parts

def _b64(values: np.ndarray, dtype: str) -> str:
    return base64.b64encode(np.ascontiguousarray(values, dtype=dtype).tobytes()).decode("ascii")


_json = pagefiles.comment_json  # the document travels in a comment of the page


def _level(counts: np.ndarray) -> np.ndarray:
    """min(255, ceil(16 * log2(1 + c))): one event is 16, none is 0."""
    return np.minimum(255, np.ceil(16 * np.log2(1 + counts.astype(np.float64)))).astype(np.uint8)


def _png(rgb: np.ndarray) -> str:
    return _native.events()._encode_image_base64(np.ascontiguousarray(rgb, dtype=np.uint8))


def _heatmap(on: np.ndarray, off: np.ndarray) -> Dict[str, Any]:
    h, w = on.shape
    rgb = np.zeros((h, w, 3), np.uint8)
    rgb[..., 0], rgb[..., 1] = _level(off), _level(on)
    total = on.astype(np.int64) + off
    return {"width": w, "height": h, "png": _png(rgb), "max": int(total.max()) if total.size else 0}


def _hot_pixels(on: np.ndarray, off: np.ndarray, limit: int) -> Tuple[List[List[int]], int]:
    """The hot pixels, hottest first (ties by position), at most `limit`, and how many there are."""
    total = (on.astype(np.int64) + off).ravel()
    active = total[total > 0]
    if not len(active):
        return [], 0
    threshold = max(_HOT_MIN, _HOT_FACTOR * float(np.median(active)))
    hot = np.flatnonzero(total >= threshold)
    top = hot[np.lexsort((hot, -total[hot]))[:limit]]
    w = on.shape[1]
    return [[int(i % w), int(i // w), int(on.flat[i]), int(off.flat[i])] for i in top], len(hot)


def _top_pixels(on: np.ndarray, off: np.ndarray, limit: int) -> List[List[int]]:
    """The `limit` pixels with the most events (ties: lower y * W + x first), never one without events."""
    total = (on.astype(np.int64) + off).ravel()
    candidates = np.flatnonzero(total)
    if len(candidates) > limit:
        candidates = candidates[np.argpartition(-total[candidates], limit - 1)[:limit]]
        cut = total[candidates].min()
        candidates = np.flatnonzero(total >= cut)  # every pixel tied at the cut, then order
    top = candidates[np.lexsort((candidates, -total[candidates]))][:limit]
    w = on.shape[1]
    return [[int(i % w), int(i // w), int(on.flat[i]), int(off.flat[i])] for i in top]


def _thumbnail(on: np.ndarray, off: np.ndarray, long_side: int = 64) -> str:
    h, w = on.shape
    k = max(1, math.ceil(max(w, h) / long_side))
    ph, pw = math.ceil(h / k), math.ceil(w / k)

    def pooled(c: np.ndarray) -> np.ndarray:
        padded = np.zeros((ph * k, pw * k), np.int64)
        padded[:h, :w] = c
        return padded.reshape(ph, k, pw, k).sum(axis=(1, 3))
    sums = np.stack([pooled(off), pooled(on)], axis=-1)
    # Stretched so that the 99th percentile of the lit cells is full brightness (a sparse
    # file is not left near black, a hot pixel cannot dim the rest), in integers after the curve.
    lit = np.sort(sums[sums > 0])  # at most 2 x 64 x 64 cells
    top = int(_level(lit[(lit.size - 1) * 99 // 100])) if lit.size else 255
    rgb = np.zeros((ph, pw, 3), np.uint8)
    rgb[..., :2] = np.minimum(255, _level(sums).astype(np.int64) * 255 // top)
    return _png(rgb)


def _box_sets(boxes: Any, predictions: Any, classes: Any) -> Tuple[Any, Any, List[str]]:
    """Labels, predictions (read by the video's box reader) and class names, checked."""
    from .video import _class_names, boxes_of
    return boxes_of(boxes, "boxes"), boxes_of(predictions, "predictions"), list(_class_names(classes))


def _boxes(sets: Tuple[Any, Any, List[str]], t0: int, t1: int) -> Optional[Dict[str, Any]]:
    """The document's boxes: those whose time lies in [t0, t1), columnar."""
    labels, predicted, names = sets
    if labels is None and predicted is None:
        return None
    return {"classes": names, "labels": None if labels is None else labels.columns(t0, t1),
            "predictions": None if predicted is None else predicted.columns(t0, t1)}


# ---------------------------------------------------------------- page plan

def _lead(shown_start: int, t_first: int, period: int, decay: float) -> int:
    """Lead-in frames before a segment's first shown frame: enough for the decay, none before the recording."""
    if shown_start <= t_first:
        return 0
    return min(math.ceil(_LEAD_DECAYS * decay / period), -(-(shown_start - t_first) // period))


def _segments(windows: Optional[Sequence[Tuple[int, int]]], span: _Span, period: int, decay: float,
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
        lead = min(_lead(span.t0 + (shown - grid_lead) * period, span.t_first, period, decay), shown - floor)
        out.append((shown - lead, lead, end))
    return out


def _windows_arg(windows: Any) -> Optional[List[Tuple[int, int]]]:
    if windows is None:
        return None
    out = []
    for w in windows:
        if not isinstance(w, (tuple, list)) or len(w) != 2:
            raise ValueError(f"a window is a (start, end) pair of microseconds (got {w!r})")
        a, b = (int(_args.integer("windows", v)) for v in w)
        if not 0 <= a < b < 2 ** 62:
            raise ValueError(f"a window needs 0 <= start < end (got {a}, {b})")
        out.append((a, b))
    return out


def _spans(accepted: List[Tuple[int, int]], segments: List[Tuple[int, int, int]], grid: int,
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


def _covers(spans: List[Tuple[int, int, int, int]], lo: int, hi: int) -> bool:
    reach = lo
    for _, _, a, b in spans:
        if a > reach:
            return False
        reach = max(reach, b)
    return reach > hi


# ---------------------------------------------------------------- the recording page

def export_recording_html(recording: Union[str, os.PathLike, np.ndarray], output_path: Union[str, os.PathLike], *,
                          start: Optional[int] = None, duration: Optional[int] = None,
                          windows: Optional[Sequence[Tuple[int, int]]] = None, frame_period: int = 20_000,
                          decay: float = 30_000, gain: float = 1.0, max_page_mb: float = 100,
                          sensor_size: Optional[Tuple[int, int]] = None, title: Optional[str] = None,
                          boxes: Any = None, predictions: Any = None, classes: Optional[Sequence[str]] = None,
                          outside: str = "refuse", segments: Any = None, dataset: Optional[str] = None,
                          sample: Optional[int] = None, topic: Optional[str] = None) -> str:
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
    inside an HDF5 file or a bag, as `read_events` takes them.

    The page is written beside the target and renamed into place, so a failure leaves no page.
    Raises RecordingError for a file that cannot be read, or with events outside the sensor
    (`outside="drop"` drops them instead, counts them in the page and warns); ValueError for
    arguments out of range or a window without events; TypeError for arguments of the wrong type.
    A recording cut short gives the events before the cut, a warning in the page and a
    RecordingWarning naming the file and the byte offset. A window over a file whose times go
    backwards is taken, as `read_events` takes it, from a decoding of the whole file anchored at
    its earliest event (in time order here), with a RecordingWarning naming the byte.
    """
    start_us, duration_us = _window_args(start, duration)
    period = int(_args.integer("frame_period", frame_period))
    if not 1 <= period < 2 ** 40:
        raise ValueError(f"frame_period must be at least 1 µs (got {period})")
    decay = float(_positive("decay", decay))
    gain = float(_positive("gain", gain))
    max_bytes = int(_positive("max_page_mb", max_page_mb, 1e6) * 1_000_000)
    if title is not None and not isinstance(title, str):
        _args.refuse("title", "str", title)
    if not isinstance(output_path, (str, os.PathLike)):
        _args.refuse("output_path", "str", output_path)
    window_list = _windows_arg(windows)
    box_sets = _box_sets(boxes, predictions, classes)  # bad boxes are refused before the pass
    labelled = _labelled_arg(segments)
    _args.output_folder(output_path)
    target = Path(os.fspath(output_path))

    src = _open_source(recording, outside, sources.options_arg(dataset, sample, topic))
    windowed = start is not None or duration is not None
    span = _span(src, start_us, duration_us, sensor_size)
    if windowed and not (span.have_events and span.t0 <= span.t_last):
        raise ValueError(f"{src.label}: no events in the time window")
    title = src.name if title is None else title
    sections = recording_page.template_sections(title)
    settings: Dict[str, Any] = dict(period=period, decay=decay, gain=gain, max_bytes=max_bytes, windows=window_list,
                                    sections=sections)

    spool = pagefiles.beside(target, ".frames")
    try:
        with pagefiles.replacing(target) as partial:
            # The boxes' value, and the inspection parts that follow it in the document.
            box_json = _json(_boxes(box_sets, span.t0, span.t1)) + inspection_parts(src, span, box_sets, max_bytes)
            run, result, plan, segments = _page_pass(src, span, spool, box_json, **settings)
            outcome = _conclude(run, result)
            if windowed and run.back is not None:
                # Times go backwards: the seek may have passed events of the window, and late ones
                # would count in a later frame. As a windowed read does, the window is taken from
                # a read of the whole file, anchored at the earliest event, in time order.
                note = f"times go backwards at byte {run.back}; the window is taken from a read of the whole file"
                sources.warn(src.file, note)
                outcome.notes.append(f"{src.path}: {note}")
                run.engine = None  # its spool handle closes before the pass that rewrites the spool
                src, span = _sorted_window(src, run.bounds, span, start_us, duration_us, period, decay)
                box_json = _json(_boxes(box_sets, span.t0, span.t1)) + inspection_parts(src, span, box_sets, max_bytes)
                run, result, plan, segments = _page_pass(src, span, spool, box_json, **settings)
            run.engine = None  # closes the spool
            page = _Page(src, span, plan, result, outcome, outcome.notes, windowed, period, decay, gain, segments,
                         max_bytes, box_json, labelled)
            with open(partial, "wb") as out, open(spool, "rb") as frames:
                size = page.write(out, frames, sections)
        if size > max_bytes:  # only the parts that are not images can do this
            w, h = span.sensor
            sources.warn(target, f"the page is {size:,} bytes, over its budget of {max_bytes:,}: its parts "
                                 f"other than frames need that much for a {w} × {h} sensor")
    finally:
        pagefiles.remove(spool)
    return str(target)


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


def inspection_parts(src: _Source, span: _Span, box_sets: Any, max_bytes: int) -> str:
    from .recording_inspection import document_parts
    return document_parts(src, span.sensor, span.t0, span.t1, box_sets, max_bytes)


def _page_pass(src: _Source, span: _Span, spool: str, box_json: str, *, period: int, decay: float, gain: float,
               max_bytes: int, windows: Optional[List[Tuple[int, int]]], sections: Tuple[str, str, str]
               ) -> Tuple[_Pass, Dict[str, Any], "_Plan", List[Tuple[int, int, int]]]:
    """One page pass of the engine over the span, frames spooled to `spool` (rewritten)."""
    plan = _Plan.of(span, period, decay)
    segments = _segments(windows, span, period, decay, plan.lead)
    # The overview may take all that the rest of the page leaves, counted at its most (it is
    # the page's one view of the whole recording). Frames are encoded as if the heat map were
    # free; the writer keeps those that fit beside what the rest of the page turned out to be.
    fixed = _fixed_bytes(sections, box_json, span.sensor, plan, len(segments), max_bytes)
    overview_budget = max(0, max_bytes - fixed)
    frame_budget = max(0, max_bytes - fixed + _heat_bound(span.sensor))
    run = _stream(src, _PAGE, span.sensor, span.t0, span.t1, span.t_first, span.to_end, period_us=period,
                  lead=plan.lead, decay_us=decay, timeline_bin=plan.timeline_bin, timeline_bins=plan.timeline_bins,
                  raster_bin=plan.raster_bin, raster_bins=plan.raster_bins, segments=segments,
                  spool_path=os.fsencode(spool), frame_budget=frame_budget, overview_step=plan.overview_step,
                  overview_scale=plan.overview_scale, overview_budget=overview_budget, gain=gain)
    result = _run(run, span.t0 - plan.lead * period, span.t1)
    return run, result, plan, segments



def _sorted_window(src: _Source, bounds: Tuple[int, int], span: _Span, start: int, duration: Optional[int],
                   period: int, decay: float) -> Tuple[_Source, _Span]:
    """A file's window (and its lead-in) as an event array in time order, from a decoding of the
    whole file anchored at its earliest event; the span re-anchored there."""
    extremes = src.decoder.extremes()
    t_first, t_last = extremes if extremes else (0, -1)
    t0 = min(t_first + start, _SPAN_LIMIT)
    t1 = min(t0 + duration, _SPAN_LIMIT) if duration is not None else max(t_last + 1, t0)
    span = _Span(span.sensor, extremes is not None, t_first, t_last, t0, t1, duration is None)
    begin = max(0, t0 - _Plan.of(span, period, decay).lead * period - t_first)
    state = src.decoder.new_state(begin, -1 if duration is None else max(0, t1 - t_first - begin))
    state["width"], state["height"] = bounds
    state["has_first"], state["first"] = 1, t_first
    state["back"] = 1  # no early stop: later events may still fall in the window
    events = src.decoder.decode(state)
    events = events[np.argsort(events["t"], kind="stable")]
    return _Source(name=src.name, format=src.format, path=src.path, kind="array", size=src.size,
                   sensor_size=src.sensor_size, array=events, fields=("x", "y", "t", "p"), outside=src.outside), span


def _fixed_bytes(sections: Tuple[str, str, str], box_json: str, sensor: Tuple[int, int], plan: "_Plan",
                 n_segments: int, max_bytes: int) -> int:
    """The most the page can hold besides its frame and overview images: template, summary
    (a heat map PNG at worst a little over its raw pixels), and the image blocks' tags."""
    h = sensor[1]
    return (_allowance(sections, n_segments, max_bytes) + len(box_json) + _heat_bound(sensor)
            + h * plan.raster_bins * 8 // 3 + plan.timeline_bins * 11 + 64_000)


def _heat_bound(sensor: Tuple[int, int]) -> int:
    """The heat map's base64 PNG at its largest: a little over its raw pixels."""
    w, h = sensor
    return ((w * 3 + 1) * h * 51 // 50 + 1024) * 4 // 3


def _allowance(sections: Tuple[str, str, str], n_segments: int, max_bytes: int) -> int:
    """The template, and room for what grows with the segments and the image blocks."""
    blocks = max_bytes // recording_page.BLOCK_BYTES + 2 * n_segments + 4
    return (sum(len(part.encode("utf-8")) for part in sections) + n_segments * _SEGMENT_BYTES
            + blocks * _BLOCK_OVERHEAD + 2048)


@dataclass
class _Plan:
    """The document's bins and grids for a decoded span."""
    lead: int
    timeline_bin: int
    timeline_bins: int
    raster_bin: int
    raster_bins: int
    overview_step: int
    overview_scale: int

    @classmethod
    def of(cls, span: _Span, period: int, decay: float) -> "_Plan":
        length = span.t1 - span.t0
        timeline_bin = max(1, length // _TIMELINE_BINS)
        raster_bin = -(-length // min(_RASTER_BINS, length)) if length else 1
        return cls(lead=_lead(span.t0, span.t_first, period, decay), timeline_bin=timeline_bin,
                   timeline_bins=-(-length // timeline_bin), raster_bin=raster_bin,
                   raster_bins=-(-length // raster_bin), overview_step=max(1, 1_000_000 // period),
                   overview_scale=max(1, -(-span.sensor[0] // _OVERVIEW_WIDTH)))


class _Counter:
    """A binary file that counts what goes through it."""

    def __init__(self, out: Any) -> None:
        self.out, self.bytes = out, 0

    def write(self, text: Union[str, bytes]) -> None:
        data = text.encode("utf-8") if isinstance(text, str) else text
        self.out.write(data)
        self.bytes += len(data)


@dataclass
class _Page:
    """The document of one page pass, written in its key order straight to the page file."""
    src: _Source
    span: _Span
    plan: _Plan
    result: Dict[str, Any]
    outcome: _Outcome
    notes: List[str]
    windowed: bool
    period: int
    decay: float
    gain: float
    segments: List[Tuple[int, int, int]]
    max_bytes: int
    box_json: str
    labelled: Optional[List[Dict[str, Any]]] = None

    def write(self, out: Any, frames: Any, sections: Tuple[str, str, str]) -> int:
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
            '{"kind":"recording","version":1,"source":' + _json(source) + ',"window":'
            + _json({"start": t0, "end": t1} if self.windowed else None),
            ',"timeline":' + _json({"start": t0, "bin_us": plan.timeline_bin, "on": _b64(timeline_on, "<u4"),
                                    "off": _b64(timeline_off, "<u4"),
                                    **({"labels": self.labelled} if self.labelled is not None else {})}),
            ',"heatmap":' + _json(_heatmap(on, off)),
            ',"hot_pixels":' + _json({"rule": f"the {_HOT_LISTED} pixels with the most events",
                                      "pixels": _top_pixels(on, off, _HOT_LISTED)})]
        rest = [',"raster":' + _json({"start": t0, "bin_us": plan.raster_bin, "bins": plan.raster_bins, "rows": h,
                                       "counts": _b64(np.minimum(result["raster"], 65535), "<u2")}),
                ',"boxes":' + self.box_json]

        # What the images may take now that the rest of the page is known; the overview first,
        # when the frames do not cover everything, and the frames keep what it leaves, earliest first.
        room = self.max_bytes - _allowance(sections, len(self.segments), self.max_bytes) \
            - sum(len(part) for part in summary + rest)
        accepted = result["frames"]
        offsets = np.concatenate([[0], np.cumsum([length for _, length in accepted], dtype=np.int64)])
        spans = _spans(accepted, self.segments, grid, period)
        covered = _covers(spans, t0, t1 - 1) if t1 > t0 else True
        if covered and _fitting(accepted, room) == len(accepted):
            ov_images = []
        else:
            covered = False
            accepted = accepted[:_fitting(accepted, room - sum(len(i) + 1 for i in ov_images))]
            spans = _spans(accepted, self.segments, grid, period)

        # (tag, spool offsets, lengths) of each list of images, in document order
        lists: List[Tuple[str, List[int], List[int]]] = []
        segment_json = []
        of_segment: Dict[int, List[int]] = {}
        for i, (seg, _) in enumerate(accepted):
            of_segment.setdefault(seg, []).append(i)
        for s, _, _, _ in spans:
            mine = of_segment[s]
            first, lead, _ = self.segments[s]
            tag = recording_page.segment_tag(len(lists))
            lists.append((tag, [int(offsets[i]) for i in mine], [accepted[i][1] for i in mine]))
            segment_json.append('{"start":' + str(grid + first * period) + ',"lead":' + str(lead)
                                + ',"images":[],"count":' + str(len(mine)) + "}")
        overview = None
        if not covered:
            overview = {"period_us": step * period, "start": t0, "scale": plan.overview_scale, "width": ov_w,
                        "height": ov_h, "images": [], "count": len(ov_images)}
            lists.append((recording_page.OVERVIEW_TAG, [], [len(i) for i in ov_images]))
        shown_first = spans[0][2] if spans else None
        first_view = recording_page.segment_tag(0) if shown_first is not None and (covered or shown_first <= t0) \
            else recording_page.OVERVIEW_TAG
        blocks = recording_page.block_plan([(tag, lengths) for tag, _, lengths in lists], first_view)
        by_tag = {tag: (where, lengths) for tag, where, lengths in lists}
        blocks_bytes = sum(recording_page.block_bytes(tag, by_tag[tag][1][a:b]) for tag, a, b in blocks)

        c = _Counter(out)
        c.write(head)
        for part in summary:
            c.write(part)
        c.write(',"frames":{"period_us":' + str(period) + ',"decay_us":' + _json(_integral(self.decay))
                + ',"segments":[' + ",".join(segment_json) + "]}")
        c.write(',"overview":' + _json(overview))
        for part in rest:
            c.write(part)
        full_rate = [[a, b] for _, _, a, b in spans]
        left_out = "" if covered else _left_out(spans, t0, t1, step * period, plan.overview_scale)
        view = ',"view":' + _json({"palette": DEFAULT_PALETTE, "background": DEFAULT_BACKGROUND,
                                   "gain": float(self.gain)}) + "}"
        after = len(view) + len(middle.encode("utf-8")) + blocks_bytes + len(end.encode("utf-8"))
        size = 0
        for _ in range(4):  # the page's size includes the digits that state it
            budget = ',"budget":' + _json({"max_bytes": self.max_bytes, "bytes": size, "full_rate": full_rate,
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
                # a block's frames lie in order in the spool: one read, not one per frame
                frames.seek(where[a])
                text = memoryview(frames.read(where[b - 1] + lengths[b - 1] - where[a]))
                c.write(b" " + b" ".join(text[where[k] - where[a]:where[k] - where[a] + lengths[k]]
                                         for k in range(a, b)))
            else:
                c.write("".join(" " + ov_images[k] for k in range(a, b)))
            c.write("-->")
        c.write(end)
        if c.bytes != size:
            raise RuntimeError(f"the recording page came out at {c.bytes} bytes, not the {size} it states")
        return size


def _fitting(accepted: List[Tuple[int, int]], room: int) -> int:
    """How many of the accepted frames, from the first, fit in `room` bytes of image text."""
    for n, (_, length) in enumerate(accepted):
        room -= length + 1
        if room < 0:
            return n
    return len(accepted)


def _integral(v: float) -> Union[int, float]:
    return int(v) if float(v).is_integer() else v


def _seconds(us: int) -> str:
    return f"{us / 1e6:.3f}".rstrip("0").rstrip(".") + " s"


def _left_out(spans: List[Tuple[int, int, int, int]], t0: int, t1: int, ov_period: int, scale: int) -> str:
    held = ", ".join(f"{_seconds(a - t0)} to {_seconds(b - t0)}" for _, _, a, b in spans) or "no span"
    return (f"Full-rate frames hold {held} of {_seconds(t1 - t0)}; the page budget leaves out the "
            f"rest at full rate. The overview shows all of it at one image every {_seconds(ov_period)}, "
            f"at 1/{scale} of the sensor's resolution.")


def frame_period_for(recording: Union[str, os.PathLike, np.ndarray], n_frames: int, start: Optional[int] = None,
                     duration: Optional[int] = None, *, dataset: Optional[str] = None, sample: Optional[int] = None,
                     topic: Optional[str] = None) -> int:
    """The frame period (µs) that splits the decoded span of a recording into n_frames frames."""
    start_us, duration_us = _window_args(start, duration)
    if duration_us is None:
        extent = _extent(_open_source(recording, "refuse", sources.options_arg(dataset, sample, topic)))
        duration_us = max(extent["t_last"] + 1 - extent["t_first"] - start_us, 1) if extent["have_events"] else 1
    return max(1, -(-duration_us // n_frames))


# ---------------------------------------------------------------- dataset summaries

def summarize_recording(path: Union[str, os.PathLike], *, outside: str = "refuse",
                        span: Optional[Tuple[int, int]] = None, sample: Optional[int] = None) -> Dict[str, Any]:
    """One streaming pass over a recording file: its extent, counts, rates, hot pixels and a thumbnail.

    Returns {"path", "format", "sensor_size", "t_first", "t_last", "duration_us", "event_count",
    "on_count", "rate_mean" (events/s), "rate_peak" (events/s over 10 ms bins), "hot_pixels"
    ([[x, y, count], ...], at most 16), "hot_count", "hot_rule", "thumbnail" (base64 PNG, at most 64
    pixels on the long side, OFF red and ON green on a log curve whose top is the 99th percentile
    of its lit pixels), "status" ("ok", "cut short" or "empty"), "offset" (where a cut-short
    file ends, else None), "message"}. A file that cannot be read raises RecordingError, as do
    events outside the sensor unless `outside="drop"` (then dropped, with a RecordingWarning).
    `span` (start, end), in the recording's µs, summarises the events in [start, end) alone (a
    labelled segment); `sample` one sample of a spike-train file.
    """
    sources.path_arg(path)
    outside = sources.outside_arg(outside)
    lo, hi = -_SPAN_LIMIT, _SPAN_LIMIT
    if span is not None:
        lo, hi = (int(_args.integer("span", v)) for v in span)
    file = sources.open_checked(path, _SUMMARY_HEAD, options=sources.options_arg(None, sample, None))
    src = sources.source_of(file, outside)
    # The one-call native summary starts the decoder afresh: formats with settings of their own
    # (columns, a mirror, packets) and spans take the engine's pass.
    if src.kind == "native" and span is None and not src.layout.slots and src.layout.fmt.word > 1:
        return _summarize_native(path, src, file.head)
    sensor, _ = _sensor(src, None, None)
    # A span's decoder reads the whole file (anchored at the span's start: no seek past it); the
    # engine counts the span alone.
    run = _stream(src, _SUMMARY, sensor, lo, hi, 0 if span is None else lo)
    result = _run(run, lo, hi)
    outcome = _conclude(run, result)
    w, h = sensor
    on, off = (c.reshape(h, w) for c in result["pixels"])
    hot, hot_count = _hot_pixels(on, off, 16)
    return _summary_record(path, src, (w, h), result, hot, hot_count, _thumbnail(on, off), outcome)


def _summary_record(path: Any, src: _Source, sensor: Tuple[int, int], result: Dict[str, Any],
                    hot: Sequence[Sequence[int]], hot_count: int, thumbnail: str, outcome: _Outcome) -> Dict[str, Any]:
    w, h = sensor
    have = result["have_events"]
    duration = result["t_last"] - result["t_first"] if have else 0
    return {
        "path": str(path), "format": src.format,
        "sensor_size": [w, h] if (src.sensor_size is not None or have) else None,
        "t_first": result["t_first"] if have else None, "t_last": result["t_last"] if have else None,
        "duration_us": duration, "event_count": result["event_count"], "on_count": result["on_count"],
        "rate_mean": result["event_count"] / (duration / 1e6) if duration > 0 else 0.0,
        "rate_peak": result["peak_10ms"] * 100.0,
        "hot_pixels": [[x, y, a + b] for x, y, a, b in hot], "hot_count": hot_count, "hot_rule": HOT_RULE,
        "thumbnail": thumbnail, "status": "cut short" if outcome.cut_short else "ok" if have else "empty",
        "offset": outcome.cut_short["offset"] if outcome.cut_short else None,
        "message": outcome.cut_short["message"] if outcome.cut_short else "",
    }


# The first bytes a summary reads in Python: its header, and the start of the data that the
# native pass decodes before reading on in cache-sized pieces of its own.
_SUMMARY_HEAD = 64 << 10


@functools.lru_cache(maxsize=None)
def _state_slot(name: str) -> int:
    return _native.events()._EVT_STATE.index(name)


def _summarize_native(path: Union[str, os.PathLike], src: _Source, head: bytes) -> Dict[str, Any]:
    """The summary of a file the native decoders read, in one native call: the header's facts go
    in (the first bytes already read serve again, the whole of a small file), and the counts,
    hot pixels and thumbnail come out, without the page engine's set-up per file."""
    p, lay, size = src.file, src.layout, src.size
    w, h = lay.sensor or (0, 0)
    result = _native.events()._summarize_file(lay.fmt.number, head, os.fsencode(p), lay.offset, size, lay.t0, w, h)
    if result["errno"]:
        raise OSError(result["errno"], os.strerror(result["errno"]), str(p))
    state = None
    if result["state"][_state_slot("error")] or result["state"][_state_slot("outside")]:  # the readers' words
        state = src.decoder.state_of(result["state"])
        if state["error"]:
            raise src.decoder.error(state, result["error_pos"])
    run = _Pass(src, None, (result["width"], result["height"]), state=state, cut=result["cut"])
    return _summary_record(path, src, run.bounds, result, result["hot_pixels"], result["hot_count"],
                           result["thumbnail"], _conclude(run, result))
