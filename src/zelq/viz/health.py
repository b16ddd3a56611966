"""A recording's health in one streaming pass: gaps, times that go backwards, bursts, dead
rows and columns, hot pixels, and a verdict in a user's words.

The counting is native (kernels/health.hpp); this module feeds it a file's pieces in file
order, or an array in slices of itself, and words the report.
"""
from __future__ import annotations

import os
from typing import Any, Dict, Iterator, List, Optional, Tuple, Union

import numpy as np

from . import _args, _native
from .recordings import _sources
from .recordings._counts import gather

__all__ = ["check_recording", "failing", "report_text", "gather", "report_of"]

_PIECE = 1 << 16
_SLICE = 1 << 20  # array events fed at a time (views, not copies)


def _sensor_arg(sensor_size: Any) -> Tuple[int, int]:
    if sensor_size is None:
        return 0, 0
    if type(sensor_size) is not tuple:
        _args.refuse("sensor_size", "tuple", sensor_size)
    if len(sensor_size) != 2 or not all(isinstance(v, (int, np.integer)) and not isinstance(v, bool)
                                        and 0 < v <= 32767 for v in sensor_size):
        raise ValueError(f"sensor_size must be two whole numbers from 1 to 32767 (got {sensor_size!r})")
    return int(sensor_size[0]), int(sensor_size[1])


def _array_pieces(arr: np.ndarray) -> Tuple[Iterator[np.ndarray], Tuple[Any, ...]]:
    fields = _native.events()._get_event_fields(arr)
    if arr.dtype.names is None or arr.ndim != 1 or fields[0] is None or fields[2] is None:
        raise ValueError("an event array is a one-dimensional record array with time and x fields")
    return (arr[i:i + _SLICE] for i in range(0, len(arr), _SLICE)), fields


def _gathered(recording: Any, sensor: Tuple[int, int]) -> Tuple[Dict[str, Any], Optional[int], List[str]]:
    """The native counts, the first backwards byte (files the native decoders read) and the
    readers' warnings (a file cut short, events outside the sensor)."""
    back: List[int] = []
    if isinstance(recording, np.ndarray):
        pieces, fields = _array_pieces(recording)
    else:
        _sources.path_arg(recording)
        file = _sources.open_checked(os.fspath(recording))
        reader = _sources.READERS[file.ext]
        if sensor == (0, 0) and reader.sensor_size is not None:
            sensor = reader.sensor_size(file) or (0, 0)
        pieces, fields = _sources.whole_pieces(file, "drop", _PIECE, back), ("x", "y", "t", "p")
    return gather(pieces, fields, sensor, back)


def report_of(r: Dict[str, Any], offset: Optional[int], notes: List[str]) -> Dict[str, Any]:
    """The report, keys in order, from the native counts."""
    back_count = int(r["backwards"])
    report: Dict[str, Any] = {
        "gaps": [[int(a), int(b)] for a, b in r["gaps"]],
        "backwards": {"count": back_count, "first_index": int(r["first_backwards"]) if back_count else None,
                      "first_offset": offset if back_count else None},
        "bursts": [[int(a), int(c)] for a, c in r["bursts"]],
        "dead_rows": [int(v) for v in r["dead_rows"]],
        "dead_columns": [int(v) for v in r["dead_columns"]],
        "hot_pixels": [[int(x), int(y), int(c)] for x, y, c in sorted(r["hot_pixels"], key=lambda p: (-p[2], p[1], p[0]))],
    }
    problems = _problems(report, r, notes)
    report["verdict"] = problems or "ok"
    return report


def check_recording(recording: Union[str, os.PathLike, np.ndarray], *,
                    sensor_size: Optional[Tuple[int, int]] = None) -> Dict[str, Any]:
    """The health of a recording file or event array, from one streaming pass over it.

    Returns a dict, keys in this order:
    - "gaps": [[t_last_before, t_next], ...], every stretch of 100 ms or more without events
      between the first and the last event (µs, the recording's clock);
    - "backwards": {"count", "first_index", "first_offset"}: the events whose time is below the
      previous event's in file order, the first one's 0-based index, and the byte where its
      word starts in the file (None for arrays and formats read in packets); None and None
      when there are none;
    - "bursts": [[t_bin_start, count], ...]: 10 ms bins, counted from the first event, holding
      at least 20 times the median count of the non-empty bins;
    - "dead_rows", "dead_columns": rows and columns without any event, listed only when the
      recording averages at least 100 events per row (per column);
    - "hot_pixels": [[x, y, count], ...], hottest first, by the local rule (at least 16 events
      and 10 times the median of the eight neighbours, those that exist at a border);
    - "verdict": "ok", or a short list of the problems in words.
    The sensor is `sensor_size`, else the header's, else the largest coordinates; events outside
    it are counted in the verdict. Memory depends on the sensor and the non-empty 10 ms bins.

    Raises as `read_events` does for a file that cannot be read; ValueError for an array without
    time and x fields or a bad sensor size; TypeError for arguments of the wrong type.
    """
    sensor = _sensor_arg(sensor_size)
    if not isinstance(recording, (str, os.PathLike, np.ndarray)):
        _args.refuse("recording", "str, os.PathLike or numpy.ndarray", recording)
    return report_of(*_gathered(recording, sensor))


def _us(t: int) -> str:
    return f"{t / 1e6:,.3f} s"


def _plural(n: int, one: str, many: Optional[str] = None) -> str:
    return f"{n:,} {one if n == 1 else (many or one + 's')}"


def _problems(report: Dict[str, Any], r: Dict[str, Any], notes: List[str]) -> List[str]:
    out: List[str] = []
    gaps = report["gaps"]
    if gaps:
        a, b = max(gaps, key=lambda g: g[1] - g[0])
        out.append(f"{_plural(len(gaps), 'gap')} of 100 ms or more without events; the longest lasts "
                   f"{(b - a) / 1e3:,.1f} ms, from {_us(a)}")
    back = report["backwards"]
    if back["count"]:
        where = f", at byte {back['first_offset']:,}" if back["first_offset"] is not None else ""
        out.append(f"times go backwards {_plural(back['count'], 'time')}, first at event {back['first_index']:,}{where}")
    for key, what in (("dead_rows", "row"), ("dead_columns", "column")):
        lines = report[key]
        if lines:
            shown = ", ".join(map(str, lines[:8])) + (", ..." if len(lines) > 8 else "")
            out.append(f"{_plural(len(lines), 'dead ' + what)} without any event ({shown})")
    if report["bursts"]:
        out.append(f"{_plural(len(report['bursts']), 'burst')}: 10 ms with 20 times the usual count or more")
    if report["hot_pixels"]:
        out.append(f"{_plural(len(report['hot_pixels']), 'hot pixel')}")
    if not r["events"]:
        out.append("no events")
    if r["outside"]:
        out.append(f"{_plural(int(r['outside']), 'event')} outside the sensor")
    out.extend(notes)
    return out


def failing(report: Dict[str, Any]) -> bool:
    """Whether a report fails the check: gaps, backwards times or dead rows or columns."""
    return bool(report["gaps"] or report["backwards"]["count"] or report["dead_rows"] or report["dead_columns"])


def report_text(name: str, report: Dict[str, Any]) -> str:
    """The report as the command line prints it."""
    verdict = report["verdict"]
    state = "ok" if verdict == "ok" else "fails the check" if failing(report) else "passes the check, with notes"
    lines = [f"{name}: {state}"]
    if verdict != "ok":
        lines += [f"  - {p}" for p in verdict]
    listed = [(report["gaps"], lambda g: f"gap: {_us(g[0])} to {_us(g[1])} ({(g[1] - g[0]) / 1e3:,.1f} ms)"),
              (report["bursts"], lambda b: f"burst: {_plural(b[1], 'event')} in 10 ms at {_us(b[0])}"),
              (report["hot_pixels"], lambda p: f"hot pixel: x {p[0]}, y {p[1]}, {_plural(p[2], 'event')}")]
    for items, line in listed:
        lines += [f"  {line(item)}" for item in items[:10]]
        if len(items) > 10:
            lines.append(f"  ... and {len(items) - 10:,} more")
    return "\n".join(lines)
