"""The engine driver: one pass of the native streaming engine over a source.

A file is decoded a chunk at a time straight into the engine's accumulators (rate
timeline, pixel counts, row raster, frame counts, a decayed overview); finished frames
are PNG-encoded on a second thread and spooled to disk. A pass runs in one of four modes:
a survey (the extent only), the page, the frames of a video, or a summary. `pump` feeds
it and yields whenever frames wait to be taken; `conclude` says what the readers say of
the file at the end.
"""
from __future__ import annotations

import errno
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from .. import _native
from ..recordings import _sources as sources
from ..recordings._sources import RECORD, Source

# The engine's jobs, by the names it knows them by (its _STREAM_JOBS).
SURVEY, SUMMARY, PAGE, RENDER = "survey", "summary", "page", "render"
SPAN_LIMIT = 2 ** 62
_ARRAY_STEP = 1 << 20           # events converted to records at a time


def unmappable(e: BaseException) -> bool:
    # No room to map the whole file (an address-space limit): the caller decodes from the start instead.
    return isinstance(e, MemoryError) or getattr(e, "errno", None) == errno.ENOMEM


@dataclass
class Pass:
    """One run of the engine over a source: the engine, a file's decoder state (the readers' own,
    kept in step by the engine), the byte decoding starts at, and what the run found."""
    src: Source
    engine: Any
    bounds: Tuple[int, int]
    state: Any = None
    pos: int = 0
    cut: Optional[int] = None       # where a file cut short ends its whole words (or packets)
    back: Optional[int] = None      # the byte where a file's times first went backwards


def open_pass(src: Source, mode: str, sensor: Tuple[int, int], t0: int, t1: int, first: int, to_end: bool = True,
              **settings: Any) -> Pass:
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
    if mode == SURVEY:  # the sensor is still to be found: only the header's bounds the events
        bounds = src.sensor_size or (0, 0)
    run = Pass(src, None, bounds)
    fmt = 0
    if src.kind == "native":
        lay, fmt = src.layout, src.layout.fmt.number
        begin = max(0, t0 - values["lead"] * values["period_us"] - first)
        duration = -1 if to_end or t1 >= SPAN_LIMIT else max(0, t1 - first - begin)
        run.state = src.decoder.new_state(begin, duration)  # outside events dropped natively and counted
        run.state["width"], run.state["height"] = bounds
        run.pos = lay.offset
        if begin or duration >= 0:
            run.state["has_first"], run.state["first"] = 1, first
            try:
                run.pos = src.decoder.seek(run.state, first + begin)
            except (OSError, MemoryError) as e:
                if not unmappable(e):
                    raise
                run.state["loops"] = 0
    values.update(width=sensor[0], height=sensor[1], t0=t0, t1=t1)
    run.engine = _native.events()._Stream(mode, values, format=fmt,
                                          state=None if run.state is None else run.state.array)
    return run


# ---------------------------------------------------------------- feeding

@dataclass
class Outcome:
    cut_short: Optional[Dict[str, Any]] = None
    dropped: int = 0
    notes: List[str] = field(default_factory=list)


def pump(run: Pass, lo: int, hi: int) -> Iterator[None]:
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


def _pump_file(run: Pass) -> Iterator[None]:
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


def array_records(src: Source, lo: int, hi: int) -> Iterator[np.ndarray]:
    """An array source's records in [lo, hi), in time order, a step at a time."""
    arr, ft = src.events, src.fields[2]
    if not len(arr):
        return
    t = arr[ft]
    order = None if len(t) < 2 or bool(np.all(t[1:] >= t[:-1])) else np.argsort(t, kind="stable")
    for i in range(0, len(arr), _ARRAY_STEP):
        part = arr[i:i + _ARRAY_STEP] if order is None else arr[order[i:i + _ARRAY_STEP]]
        rec = _records(part, src.fields)
        keep = (rec["t"] >= lo) & (rec["t"] < hi)
        yield rec if keep.all() else rec[keep]


def _pump_array(run: Pass, lo: int, hi: int) -> Iterator[None]:
    for rec in array_records(run.src, lo, hi):
        yield from _feed_records(run.engine, rec)


def _pump_chunks(run: Pass, lo: int, hi: int) -> Iterator[None]:
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


def run_pass(run: Pass, lo: int = -SPAN_LIMIT, hi: int = SPAN_LIMIT) -> Dict[str, Any]:
    for _ in pump(run, lo, hi):
        pass
    return run.engine.result()


# The widest or tallest sensor taken from the events of a file that declares none, where the
# events would make an image of more than INFERRED_SIDE² pixels (a one-row sensor may be wider).
INFERRED_SIDE = int(_native.events()._INFERRED_SIDE)


def conclude(run: Pass, result: Dict[str, Any]) -> Outcome:
    """What the readers say of a file at the end of a read: one warning for a file cut short, and
    events outside the sensor refused or, on request, dropped with a warning."""
    src, outcome = run.src, Outcome()
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
        elif src.sensor_size is None and INFERRED_SIDE in (w, h):
            sensor = (f"the {w} × {h} pixels a sensor of no declared size is taken to have (its events reach "
                      "far past any real sensor's)")
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
