"""Noise filters for event arrays: hot pixels, background activity and the refractory period.

The rules are the field's reference definitions (Tonic's `Denoise` and `RefractoryPeriod`),
to the event, and the local hot-pixel rule; the work is done natively in one pass per stage
(see kernels/filters.hpp). The streaming engines apply the same stage to recordings.
"""
from __future__ import annotations

import math
import base64
from dataclasses import dataclass
from typing import Any, Dict, Iterable, Iterator, List, Optional, Tuple, Union

import numpy as np

from . import _args, _native

__all__ = ["filter_events", "filter_time", "hot_pixel_list", "Settings", "settings_of", "stage", "stage_args",
           "Removed", "filtered_pieces", "filters_part"]

HOT_RULE = ("pixels with at least 16 events and at least 10 times the median count of their "
            "eight neighbours (those that exist at a border)")
_INT64_MAX = 2 ** 63 - 1


def filter_time(name: str, value: Any) -> Union[int, float, None]:
    """A filter time in µs: None (off), or a positive, finite number within int64."""
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        _args.refuse(name, "int or float", value)
    shown = value.item() if isinstance(value, np.generic) else value
    if isinstance(value, (float, np.floating)) and not math.isfinite(value):
        raise ValueError(f"{name} must be a finite time in µs (got {shown!r})")
    if not value > 0:
        raise ValueError(f"{name} must be a positive time in µs (got {shown!r})")
    if value > _INT64_MAX:
        raise ValueError(f"{name} must be at most {_INT64_MAX:,} µs, the int64 range (got {shown!r})")
    return int(value) if isinstance(value, (int, np.integer)) else float(value)


def _sensor(events: np.ndarray, sensor_size: Any) -> Tuple[int, int]:
    if sensor_size is None:
        return tuple(int(v) for v in _native.events()._detect_sensor_size(events))  # type: ignore[return-value]
    if type(sensor_size) is not tuple:
        _args.refuse("sensor_size", "tuple", sensor_size)
    if len(sensor_size) != 2 or not all(isinstance(v, (int, np.integer)) and not isinstance(v, bool) and v > 0
                                        for v in sensor_size):
        raise ValueError(f"sensor_size must be two positive whole numbers (got {sensor_size!r})")
    return int(sensor_size[0]), int(sensor_size[1])


def _run(events: Any, sensor_size: Any, denoise_us: Any, refractory_us: Any, hot_pixels: Any
         ) -> Tuple[np.ndarray, np.ndarray, Tuple[int, ...], List[int], Tuple[int, int]]:
    if not isinstance(events, np.ndarray):
        _args.refuse("events", "numpy.ndarray", events)
    denoise = filter_time("denoise_us", denoise_us)
    refractory = filter_time("refractory_us", refractory_us)
    if not isinstance(hot_pixels, (bool, np.bool_)):
        _args.refuse("hot_pixels", "bool", hot_pixels)
    events = events.reshape(-1) if events.ndim != 1 else events
    fx, fy, ft, _ = _native.events()._get_event_fields(events)
    if fx is None or ft is None:
        raise ValueError("filter_events needs events with x and t fields (and y for a 2-D sensor)")
    sensor = _sensor(events, sensor_size)
    mask, counts, hot = _native.inspection()._filter_mask(events, fx, fy, ft, sensor[0], sensor[1],
                                                          denoise, refractory, bool(hot_pixels))
    return events, mask, counts, hot, sensor


def filter_events(events: np.ndarray, *, sensor_size: Optional[Tuple[int, int]] = None,
                  denoise_us: Optional[float] = None, refractory_us: Optional[float] = None,
                  hot_pixels: bool = False) -> np.ndarray:
    """The events that survive the noise filters, in the input's dtype and order (a new array).

    Filters apply in this order, each to what the ones before it kept:
    - `hot_pixels=True` removes every event of the hot pixels: those with at least 16 events
      and at least 10 times the median count of their eight neighbours (at a border, the
      neighbours that exist). A scene's busy edges have busy neighbours; a stuck pixel does not.
    - `denoise_us` keeps an event only when one of its four neighbours (left, right, up, down)
      fired less than `denoise_us` before it, exactly as Tonic's `Denoise(filter_time=...)`:
      every pixel starts as if it fired at time 0, so events before `denoise_us` pass where a
      neighbour exists, and the neighbours are bounded by the largest x and y that reach it.
    - `refractory_us` drops an event that comes at most `refractory_us` after the previous
      event at its pixel, dropped or not, exactly as Tonic's `RefractoryPeriod(delta=...)`;
      a pixel's first event passes only when its time is above 0.
    Times are in the events' unit (µs). Events outside `sensor_size` (default: inferred from
    the largest coordinates) have no pixel and are removed by any filter; with no filter on,
    every event is returned.

    Raises ValueError for a filter time that is 0, negative, not finite or beyond int64, for
    events without x or t fields and for a bad sensor size; TypeError for arguments of the
    wrong type.
    """
    events, mask, _, _, _ = _run(events, sensor_size, denoise_us, refractory_us, hot_pixels)
    return events[mask]


def filter_counts(events: np.ndarray, *, sensor_size: Optional[Tuple[int, int]] = None,
                  denoise_us: Optional[float] = None, refractory_us: Optional[float] = None,
                  hot_pixels: bool = False) -> Dict[str, Any]:
    """How many events each filter removes, and the hot pixels found: as `filter_events` runs."""
    _, _, counts, hot, (w, _h) = _run(events, sensor_size, denoise_us, refractory_us, hot_pixels)
    outside, hot_n, denoise, refractory, kept = counts
    return {"outside": outside, "hot": hot_n, "denoise": denoise, "refractory": refractory, "kept": kept,
            "hot_pixels": [[i % w, i // w] for i in hot]}


def hot_pixel_list(counts: np.ndarray) -> List[List[int]]:
    """[[x, y], ...] of the hot pixels of a (height, width) count array, by the local rule, in
    row-major order."""
    w = counts.shape[1]
    return [[int(i % w), int(i // w)] for i in _native.inspection()._local_hot_pixels(counts)]


# ---------------------------------------------------------------- the stream stage

@dataclass(frozen=True)
class Settings:
    """The filters a stream asks for: times in µs (None: off) and whether hot pixels go."""
    denoise_us: Union[int, float, None] = None
    refractory_us: Union[int, float, None] = None
    drop_hot: bool = False

    @property
    def on(self) -> bool:
        return self.denoise_us is not None or self.refractory_us is not None or self.drop_hot

    @property
    def needs_counts(self) -> bool:
        """Hot pixels and the denoise bounds come from a counting pass over the whole recording."""
        return self.drop_hot or self.denoise_us is not None


def settings_of(denoise_us: Any, refractory_us: Any, drop_hot: Any) -> Settings:
    """The stream keywords, checked as filter_events checks its own."""
    if not isinstance(drop_hot, (bool, np.bool_)):
        _args.refuse("drop_hot", "bool", drop_hot)
    return Settings(filter_time("denoise_us", denoise_us), filter_time("refractory_us", refractory_us), bool(drop_hot))


def stage_args(settings: Settings, sensor: Tuple[int, int], counts: Optional[Dict[str, Any]],
               bins: Tuple[int, int, int] = (0, 1, 0)) -> Tuple[Any, ...]:
    """The native filter stage's arguments on `sensor`, from the counting pass's results (`counts`:
    the health pass's hot pixels and extents; None when no filter needs them); removed events are
    counted in `bins` = (start, bin µs, number of bins)."""
    w, h = sensor
    hot: List[int] = []
    bounds = (w, h)
    if counts is not None:
        if settings.drop_hot:
            hot = [int(y) * w + int(x) for x, y, _ in counts["hot_pixels"] if x < w and y < h]
        bounds = tuple(counts["cool_extent"] if settings.drop_hot else counts["extent"])
    return (w, h, settings.denoise_us, settings.refractory_us, hot, bounds[0], bounds[1], *bins)


def stage(settings: Settings, sensor: Tuple[int, int], counts: Optional[Dict[str, Any]],
          bins: Tuple[int, int, int] = (0, 1, 0)) -> Any:
    """The native filter stage (see stage_args), fed record pieces in file order."""
    return _native.inspection()._Filter(*stage_args(settings, sensor, counts, bins))


@dataclass(frozen=True)
class Removed:
    """What a stage removed, taken from an engine that filtered a file's bytes itself."""
    counted: Dict[str, Any]
    bins: bytes

    @classmethod
    def of(cls, engine: Any) -> "Removed":
        return cls(engine.filter_counts(), engine.filter_removed())

    def counts(self) -> Dict[str, Any]:
        return self.counted

    def removed(self) -> bytes:
        return self.bins


def filtered_pieces(pieces: Iterable[np.ndarray], stage_: Any) -> Iterator[np.ndarray]:
    """The survivors of record pieces, in order, each piece compacted in place."""
    for piece in pieces:
        n = stage_.apply(piece)
        if n:
            yield piece[:n]


def filters_part(settings: Settings, stage_: Any) -> Dict[str, Any]:
    """The document's "filters": what was asked, what each filter removed, and the removed events
    per timeline bin (base64 uint32)."""
    c = stage_.counts()
    return {"denoise_us": settings.denoise_us, "refractory_us": settings.refractory_us, "drop_hot": settings.drop_hot,
            "removed": {"hot": c["hot"], "denoise": c["denoise"], "refractory": c["refractory"]},
            "kept": c["kept"], "removed_bins": base64.b64encode(stage_.removed()).decode("ascii")}
