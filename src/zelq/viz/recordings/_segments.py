"""Labelled segments of a recording, as DVS Gesture ships them beside each file: a CSV whose
header is exactly `class,startTime_usec,endTime_usec`, one segment a line, times in µs on the
recording's own clock. `NAME_labels.csv` belongs to `NAME.aedat`."""
from __future__ import annotations

import os
from pathlib import Path
from typing import Any, List, NamedTuple, Optional

from ._problems import fail
from ._text import LABELS_HEADER

_LIMIT = 64 << 20  # a labels file is small; more is not one


class Segment(NamedTuple):
    label: str
    start: int
    end: int


def read_segments(path: Any) -> List[Segment]:
    """The segments of a labels CSV, in file order. Raises RecordingError naming the file and the
    line (counting from 1, the header included) for a header or line that is not a segment's."""
    p = Path(os.fspath(path))
    try:
        with open(p, "rb") as f:
            raw = f.read(_LIMIT + 1)
    except FileNotFoundError:
        raise
    except OSError as e:
        raise fail(p, f"cannot be read ({e.strerror or e})") from None
    if len(raw) > _LIMIT:
        raise fail(p, f"is larger than {_LIMIT >> 20} MB, which no labels file is")
    lines = raw.split(b"\n")
    header = lines[0].rstrip(b"\r").decode("utf-8", "replace").lstrip("\ufeff").strip()
    if header != LABELS_HEADER:
        raise fail(p, f"is not a labels file: its header is {header[:200]!r}, not {LABELS_HEADER!r}")
    out: List[Segment] = []
    for number, line in enumerate(lines[1:], 2):
        text = line.rstrip(b"\r").decode("utf-8", "replace").strip()
        if not text:
            continue
        fields = [v.strip() for v in text.split(",")]
        try:
            if len(fields) != 3:
                raise ValueError
            label, start, end = fields[0], int(fields[1]), int(fields[2])
        except ValueError:
            raise fail(p, f"line {number} is not a segment (class,startTime_usec,endTime_usec): {text[:200]!r}") \
                from None
        if not label or not 0 <= start < end < 1 << 62:
            raise fail(p, f"line {number} is not a segment: it needs a class and 0 <= start < end "
                          f"(got {text[:200]!r})")
        out.append(Segment(label, start, end))
    return out


def labels_beside(recording: Any) -> Optional[Path]:
    """The labels file DVS Gesture puts beside a recording (`NAME_labels.csv`), if there is one."""
    p = Path(os.fspath(recording))
    candidate = p.with_name(p.stem + "_labels.csv")
    return candidate if candidate.is_file() else None
