"""What a pass decodes: the recording's extent, the sensor, and the span [t0, t1) of a window."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Optional, Tuple

import numpy as np

from .. import _args
from ..recordings._sources import Source
from .engine import INFERRED_SIDE, SPAN_LIMIT, SURVEY, open_pass, run_pass, unmappable


def extent_of(src: Source) -> Dict[str, Any]:
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
            if not unmappable(e):
                raise
        else:
            if extent is None:
                return {"have_events": False, "t_first": 0, "t_last": 0}
            return {"have_events": True, "t_first": extent[0], "t_last": extent[1]}
    return run_pass(open_pass(src, SURVEY, (1, 1), -SPAN_LIMIT, SPAN_LIMIT, 0))


def sensor_of(src: Source, given: Any, extent: Optional[Dict[str, Any]]) -> Tuple[Tuple[int, int], Optional[Dict]]:
    """The sensor size: given, from the header, or from the events' extent (which it then returns)."""
    if given is not None:
        if not isinstance(given, tuple):
            _args.refuse("sensor_size", "tuple", given)
        if len(given) != 2 or not all(isinstance(v, (int, np.integer)) and 0 < v <= 32767 for v in given):
            raise ValueError(f"sensor_size must be two whole numbers from 1 to 32767 (got {given!r})")
        return (int(given[0]), int(given[1])), extent
    if src.sensor_size is not None:
        return src.sensor_size, extent
    extent = extent or extent_of(src)
    if not extent["have_events"]:
        return (1, 1), extent
    w, h = min(int(extent["max_x"]) + 1, 32767), min(int(extent["max_y"]) + 1, 32767)
    if w * h > INFERRED_SIDE ** 2:
        # Coordinates far past any real sensor (flipped bits, no size header): the engine does not
        # size its images from them; the events past the bound are outside, refused or dropped.
        w, h = min(w, INFERRED_SIDE), min(h, INFERRED_SIDE)
    return (w, h), extent


@dataclass
class Span:
    """What a pass decodes: [t0, t1) of a recording whose events run from t_first to t_last."""
    sensor: Tuple[int, int]
    have_events: bool
    t_first: int
    t_last: int
    t0: int
    t1: int
    to_end: bool


def span_of(src: Source, start: int, duration: Optional[int], sensor_size: Any = None) -> Span:
    extent = extent_of(src)
    sensor, _ = sensor_of(src, sensor_size, extent)
    have = extent["have_events"]
    t_first, t_last = (extent["t_first"], extent["t_last"]) if have else (0, -1)
    t0 = min(t_first + start, SPAN_LIMIT)
    t1 = min(t0 + duration, SPAN_LIMIT) if duration is not None else max(t_last + 1, t0)
    return Span(sensor, have, t_first, t_last, t0, t1, duration is None)


def seconds_text(us: int) -> str:
    """A length in the largest unit that keeps it at 1 or more: 590 ms, 2.5 s, 12 min."""
    for unit, size in (("min", 60_000_000), ("s", 1_000_000), ("ms", 1_000)):
        if us >= size:
            return f"{us / size:.4g} {unit}"
    return f"{us} µs"


def extent_text(span: Span) -> str:
    """What a window could have held, for the message of an empty one."""
    if not span.have_events:
        return "the recording has no events"
    return (f"the recording spans {seconds_text(span.t_last - span.t_first)}, from t = {span.t_first:,} "
            f"to {span.t_last:,} µs; a window's start counts from its first event")
