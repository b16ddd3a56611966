"""Event text files, decoded natively a line at a time (text_events.hpp):

- `.txt`: `t x y p` lines, t in seconds (rounded to the nearest µs), as the classic event-camera
  datasets ship them, with an optional first line `W H` giving the sensor size;
- `.csv`: a header naming the columns with the event roles (t, x, y, p and their other
  accepted names), times in µs. A `class,startTime_usec,endTime_usec` file holds labelled
  segments, not events, and is refused as an event file.
A line that is not an event is refused, naming the line (counting from 1, the header included).
"""
from __future__ import annotations

import re
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from .. import _native
from . import _native_formats as native
from ._headers import checked_sensor
from ._problems import RecordingError, fail
from ._registry import File, Reader

LABELS_HEADER = "class,startTime_usec,endTime_usec"
_SIZE_LINE = re.compile(rb"[ \t]*(\d+)[ \t]+(\d+)[ \t]*\r?\n")
_FAULTS = {1: "fields", 2: "time", 3: "x", 4: "y", 5: "p"}


def _layout(name: str, offset: int, sensor: Optional[Tuple[int, int]], slots: Dict[str, int]) -> native.Layout:
    return native.Layout(native.decoder_format(name), offset, 0, sensor, slots)


def _first_line(head: bytes) -> bytes:
    nl = head.find(b"\n")
    return head if nl < 0 else head[:nl + 1]


def is_labels(head: bytes) -> bool:
    return _first_line(head).strip().decode("utf-8", "replace") == LABELS_HEADER


def layout(file: File) -> native.Layout:
    """The decoder, data offset, sensor and columns of a text file."""
    p, ext, head, size = file.path, file.ext, file.head, file.size
    if ext == ".txt":
        m = _SIZE_LINE.match(head)
        if m:
            sensor = checked_sensor(p, m.group(1), m.group(2), "first line")
            return _layout("text", m.end(), sensor, {"line": 1, "data_end": size})
        return _layout("text", 0, None, {"line": 0, "data_end": size})
    first = _first_line(head)
    if not first.endswith(b"\n") and len(first) < size:
        raise fail(p, "its header line runs past 1 MB")
    try:
        text = first.decode("utf-8").lstrip("\ufeff").strip()
    except UnicodeDecodeError:
        raise fail(p, "its header line is not UTF-8 text") from None
    if text == LABELS_HEADER:
        raise fail(p, f"holds labelled segments ({LABELS_HEADER}), not events: show them on a recording's "
                      "timeline with segments= (on the command line, --segments FILE.csv)")
    names = [n.strip() for n in text.split(",")]
    fields = _roles(names)
    if "t" not in fields or "x" not in fields:
        raise fail(p, f"its header ({text[:200]!r}) names no time and x columns: name them t, x, y, p "
                      "(or ts/time/timestamp, channel/addr/address, row, pol/polarity/on)")
    slots = {"line": 1, "data_end": size, "columns": len(names),
             "col_t": fields["t"], "col_x": fields["x"], "col_y": fields.get("y", -1), "col_p": fields.get("p", -1)}
    return _layout("CSV", len(first), None, slots)


def _roles(names: List[str]) -> Dict[str, int]:
    unique = [n for i, n in enumerate(names) if n and n not in names[:i]]
    x, y, t, p = _native.events()._get_event_fields(np.empty(0, [(n, "u1") for n in unique]))
    return {role: names.index(name) for role, name in zip("xytp", (x, y, t, p)) if name is not None}


def in_folder(p: Path) -> bool:
    """Whether a text file found in a folder is events: a CSV whose header names a time and an x
    column, or text whose first line is `W H` or `t x y p` numbers."""
    try:
        with open(p, "rb") as f:
            first = f.readline(4096)
    except OSError:
        return True  # the reader says why
    if p.suffix.lower() == ".csv":
        names = [n.strip() for n in first.decode("utf-8", "replace").lstrip("\ufeff").strip().split(",")]
        return is_labels(first) is False and {"t", "x"} <= set(_roles(names))
    fields = first.split()
    try:
        [float(v) for v in fields]
    except ValueError:
        return False
    return len(fields) in (2, 4)


def line_error(p: Path, state: Any, at: int) -> RecordingError:
    """The message of a line that is not an event: its number, what is wrong and its text."""
    with open(p, "rb") as f:
        f.seek(at)
        raw = f.read(201)
    text = raw.split(b"\n", 1)[0].rstrip(b"\r").decode("utf-8", "replace")
    shown = repr(text[:200] + ("…" if len(text) > 200 or len(raw) > 200 and b"\n" not in raw else ""))
    csv = state["columns"] > 0
    fault = _FAULTS.get(state["error_word"], "")
    unit = "µs" if csv else "seconds"
    why = {"fields": (f"it does not hold the {state['columns']} fields of the header" if csv
                      else "it does not hold the four fields t x y p"),
           "time": f"its time is not a number of {unit}, or lies past 64-bit µs",
           "x": "its x is not a whole number", "y": "its y is not a whole number",
           "p": "its polarity is not a number"}.get(fault, "")
    return fail(p, f"line {state['line']} is not an event ({why}): {shown}")


def _sensor_size(file: File) -> Optional[Tuple[int, int]]:
    return layout(file).sensor


native.ERROR_TEXTS["bad_line"] = line_error
TXT = native.decoded(".txt", "event text", layout, accepts=(None, "%-header"), sensor_size=_sensor_size,
                     in_folder=in_folder)
CSV = native.decoded(".csv", "event CSV", layout, accepts=(None, "%-header"), sensor_size=_sensor_size,
                     in_folder=in_folder)
