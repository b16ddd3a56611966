"""Dataset summaries: one pass over a recording file gives its extent, counts, rates, hot pixels
and a thumbnail; a file the native decoders read is summarised in one native call."""
from __future__ import annotations

import functools
import os
from typing import Any, Dict, Optional, Sequence, Tuple, Union

import numpy as np

from .. import _args, _native, filters
from ..recordings import _sources as sources
from ..recordings._sources import Source
from .engine import SPAN_LIMIT, SUMMARY, Outcome, Pass, conclude, open_pass, run_pass
from .parts import hot_pixels
from .span import sensor_of

HOT_RULE = filters.HOT_RULE


def thumbnail_of(on: np.ndarray, off: np.ndarray) -> str:
    """The thumbnail of ON and OFF pixel counts, drawn natively as file summaries draw theirs."""
    return _native.events()._thumbnail(np.ascontiguousarray(on, np.uint32), np.ascontiguousarray(off, np.uint32))


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
    lo, hi = -SPAN_LIMIT, SPAN_LIMIT
    if span is not None:
        lo, hi = (int(_args.integer("span", v)) for v in span)
    file = sources.open_checked(path, _SUMMARY_HEAD, options=sources.options_arg(None, sample, None))
    src = sources.source_of(file, outside)
    # The one-call native summary starts the decoder afresh: formats with settings of their own
    # (columns, a mirror, packets) and spans take the engine's pass.
    if src.kind == "native" and span is None and not src.layout.slots and src.layout.fmt.word > 1:
        return _summarize_native(path, src, file.head)
    sensor, _ = sensor_of(src, None, None)
    # A span's decoder reads the whole file (anchored at the span's start: no seek past it); the
    # engine counts the span alone.
    run = open_pass(src, SUMMARY, sensor, lo, hi, 0 if span is None else lo)
    result = run_pass(run, lo, hi)
    outcome = conclude(run, result)
    if src.kind == "array":  # the engine takes an array in time order: its file order is counted here
        result.update(_timing(src.events[src.fields[2]], lo, hi))
    w, h = sensor
    on, off = (c.reshape(h, w) for c in result["pixels"])
    hot, hot_count = hot_pixels(on, off, 16)
    return _summary_record(path, src, (w, h), result, hot, hot_count, thumbnail_of(on, off), outcome)


def _timing(t: np.ndarray, lo: int, hi: int) -> Dict[str, int]:
    """Gaps of 100 ms or more past the latest time so far, and times below the one before, in
    the array's own order (the health check's rules)."""
    t = t.astype(np.int64)
    t = t[(t >= lo) & (t < hi)]
    if len(t) < 2:
        return {"gaps": 0, "backwards": 0}
    latest = np.maximum.accumulate(t)
    return {"gaps": int(np.count_nonzero(t[1:] - latest[:-1] >= 100_000)),
            "backwards": int(np.count_nonzero(t[1:] < t[:-1]))}


def _summary_record(path: Any, src: Source, sensor: Tuple[int, int], result: Dict[str, Any],
                    hot: Sequence[Sequence[int]], hot_count: int, thumbnail: str, outcome: Outcome) -> Dict[str, Any]:
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
        "gaps": int(result.get("gaps", 0)), "backwards": int(result.get("backwards", 0)),
    }


# The first bytes a summary reads in Python: its header, and the start of the data that the
# native pass decodes before reading on in cache-sized pieces of its own.
_SUMMARY_HEAD = 64 << 10


@functools.lru_cache(maxsize=None)
def _state_slot(name: str) -> int:
    return _native.events()._EVT_STATE.index(name)


def _summarize_native(path: Union[str, os.PathLike], src: Source, head: bytes) -> Dict[str, Any]:
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
    run = Pass(src, None, (result["width"], result["height"]), state=state, cut=result["cut"])
    return _summary_record(path, src, run.bounds, result, result["hot_pixels"], result["hot_count"],
                           result["thumbnail"], conclude(run, result))
