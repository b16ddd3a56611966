"""Readers whose files come in pieces of records (HDF5 tables read a slice at a time, bag
messages, AEDAT 4 packets): the window, the sensor check and the slicing into `chunk` events,
over any generator of pieces, so that memory stays bounded whatever the file's length.

A `Pieces` is a callable that starts a fresh pass over the file: a generator of record arrays
in file order that returns the offset where a file cut short ends (None when it is whole). Its
argument is a time that the pass may seek to (None: from the start); it is given only where the
file's times are known to rise, and a pass that seeks must not skip an event at or after it.
A reader may also give `times`, a pass over the times alone, where no sensor bounds them.
"""
from __future__ import annotations

from pathlib import Path
from typing import Any, Callable, Generator, Iterator, List, Optional, Tuple

import numpy as np

from ._headers import INT64_MAX
from ._problems import cut_note, events_text, outside_sensor, warn
from ._registry import RECORD, Window

Pieces = Callable[[Optional[int]], Generator[np.ndarray, None, Optional[int]]]


class PieceFile:
    """A file read in pieces: its path, its passes, the sensor that bounds its events (None:
    none, nothing is outside), how that sensor is named in messages, what a cut ends inside
    ("packet", "message"), and the word for a position in it ("byte", "index")."""

    def __init__(self, path: Path, pieces: Pieces, sensor: Optional[Tuple[int, int]], size: int = 0,
                 unit: str = "packet", where: str = "index", sensor_text: str = "",
                 times: Optional[Callable[[], Iterator[np.ndarray]]] = None) -> None:
        self.path, self.pieces, self.sensor, self.size = path, pieces, sensor, size
        self.times = times if sensor is None else None
        self.unit, self.where = unit, where
        self.sensor_text = sensor_text or (f"the {sensor[0]} × {sensor[1]} sensor the file declares" if sensor else "")


class _Outside:
    """Events outside the sensor: counted, the first one kept for the message."""

    def __init__(self, sensor: Optional[Tuple[int, int]]) -> None:
        self.sensor, self.count, self.first = sensor, 0, ""

    def mask(self, rec: np.ndarray) -> np.ndarray:
        if self.sensor is None:
            return np.zeros(len(rec), bool)
        w, h = self.sensor
        return (rec["x"] < 0) | (rec["x"] >= w) | (rec["y"] < 0) | (rec["y"] >= h)

    def note(self, bad: np.ndarray) -> None:
        if len(bad) and not self.count:
            self.first = f"x={bad['x'][0]}, y={bad['y'][0]}, t={bad['t'][0]}"
        self.count += len(bad)


def _kept(f: PieceFile, window: Window, anchor: Optional[int], back_note: str,
          stop: bool = True) -> Generator[np.ndarray, None, None]:
    """The events of one pass inside the sensor and the window, in file order; `anchor` is the
    window's origin (None: the first event inside the sensor). The pass ends after the window
    when `stop` and times have not gone backwards. Warns at the end of the pass."""
    outside = _Outside(f.sensor)
    whole = window.whole
    lo = hi = 0
    if anchor is not None:
        lo, hi = bounds(anchor, window)
    latest: Optional[int] = None
    broke = False
    seen = kept = 0
    pieces = f.pieces(lo if stop and anchor is not None and not whole else None)
    cut = None
    try:
        while True:
            try:
                rec = next(pieces)
            except StopIteration as end:
                cut = end.value
                break
            if not len(rec):
                continue
            bad = outside.mask(rec)
            if not whole and anchor is None:
                inside = np.flatnonzero(~bad)
                if not len(inside):
                    outside.note(rec)
                    seen += len(rec)
                    continue
                anchor = int(rec["t"][inside[0]])
                lo, hi = bounds(anchor, window)
                outside.note(rec[:inside[0]][bad[:inside[0]]])
            t = rec["t"]
            if not broke:
                order = t[1:] < np.maximum.accumulate(t)[:-1] if len(t) > 1 else np.zeros(0, bool)
                below = latest is not None and int(t[0]) < latest
                if below or order.any():
                    broke = True
                    at = seen + (0 if below else int(np.argmax(order)) + 1)
                    if back_note:
                        warn(f.path, f"times go backwards at {f.where} {at}; {back_note}")
                latest = max(latest if latest is not None else int(t[0]), int(t.max()))
            seen += len(rec)
            if not whole:
                keep = (t >= lo) & (t < hi)
                outside.note(rec[bad & keep])
                rec = rec[keep & ~bad]
                if stop and not broke and int(t.min()) >= hi:
                    if len(rec):
                        kept += len(rec)
                        yield rec
                    break
            elif bad.any():
                outside.note(rec[bad])
                rec = rec[~bad]
            if len(rec):
                kept += len(rec)
                yield rec
    finally:
        pieces.close()
    if cut is not None:
        warn(f.path, cut_note(f.size, f.unit, cut, kept))
    if outside.count:
        outside_sensor(f.path, outside.count, f.sensor_text, outside.first, window.outside)


def bounds(anchor: int, window: Window) -> Tuple[int, int]:
    """The window [lo, hi) of times for a window whose origin is `anchor`."""
    lo = min(anchor + window.start, INT64_MAX)
    return lo, INT64_MAX if window.duration < 0 else min(lo + window.duration, INT64_MAX)


def _inside_times(f: PieceFile) -> Iterator[Tuple[np.ndarray, np.ndarray, int]]:
    """(times inside the sensor, their indices in the piece) of every piece, and the piece's length."""
    if f.times is not None:
        for t in f.times():
            yield t, np.arange(len(t)), len(t)
        return
    outside = _Outside(f.sensor)
    pieces = f.pieces(None)
    try:
        for rec in pieces:
            where = np.flatnonzero(~outside.mask(rec))
            yield rec["t"][where], where, len(rec)
    finally:
        pieces.close()


def _survey(f: PieceFile) -> Tuple[Optional[int], Optional[int]]:
    """(earliest time inside the sensor, index where times first go backwards), by a pass that
    keeps nothing; None for what is not there. Indices count events in file order."""
    best: Optional[int] = None
    latest: Optional[int] = None
    broke: Optional[int] = None
    seen = 0
    for t, where, n in _inside_times(f):
        if len(t):
            if broke is None:
                running = np.maximum.accumulate(t)
                down = t[1:] < running[:-1]
                if latest is not None and int(t[0]) < latest:
                    broke = seen + int(where[0])
                elif down.any():
                    broke = seen + int(where[int(np.argmax(down)) + 1])
                latest = int(running[-1]) if latest is None else max(latest, int(running[-1]))
            m = int(t.min())
            best = m if best is None else min(best, m)
        seen += n
    return best, broke


def read(f: PieceFile, window: Window) -> np.ndarray:
    """The events `read_events` returns: a window is exactly the full read filtered to it, from
    the earliest time, also where the file's times go backwards (a survey pass finds both)."""
    if window.whole:
        return _join(list(_kept(f, window, None, "")), window)
    earliest, broke = _survey(f)
    if broke is not None:
        warn(f.path, f"times go backwards at {f.where} {broke}; the window is taken from a read of the whole file")
    return _join(list(_kept(f, window, earliest if earliest is not None else 0, "", stop=broke is None)), window)


def iterate(f: PieceFile, window: Window, chunk: int) -> Iterator[np.ndarray]:
    """The events of `read`, in pieces of at most `chunk`, reading as the caller takes them. A window
    starts at the first event inside the sensor; where times go backwards after it, a warning names
    the index and the window keeps its start, read to the end of the file."""
    note = "the window keeps its start and is read to the end of the file" if not window.whole else ""
    pending: List[np.ndarray] = []
    held = 0
    for rec in _kept(f, window, None, note):
        pending.append(rec)
        held += len(rec)
        while held >= chunk:
            out = _take(pending, chunk)
            held -= chunk
            yield out
    if held:
        yield _take(pending, held)


def _take(pending: List[np.ndarray], n: int) -> np.ndarray:
    out = np.empty(n, RECORD)
    raw = out.view(np.uint8)  # copied as bytes: a structured copy goes field by field
    size = RECORD.itemsize
    at = 0
    while at < n:
        rec = pending[0]
        k = min(len(rec), n - at)
        if rec.dtype == RECORD:
            raw[at * size:(at + k) * size] = np.ascontiguousarray(rec[:k]).view(np.uint8)
        else:
            out[at:at + k] = rec[:k]
        at += k
        if k == len(rec):
            pending.pop(0)
        else:
            pending[0] = rec[k:]
    return out


def _join(parts: List[np.ndarray], window: Window) -> np.ndarray:
    out = np.empty(sum(len(p) for p in parts), RECORD)
    at = 0
    for i, part in enumerate(parts):
        out[at:at + len(part)] = part
        at += len(part)
        parts[i] = None  # type: ignore[call-overload]
    if window.progress:
        window.progress(1.0)
    return out


def source(f: PieceFile, name: str, outside: str) -> Any:
    """What the recording page reads of the file: its pieces, as they come."""
    from ._registry import Source

    def chunks() -> Generator[np.ndarray, None, Optional[int]]:
        return (yield from f.pieces(None))
    return Source(name=f.path.name, format=name, path=f.path, kind="chunks", size=f.size, sensor_size=f.sensor,
                  outside=outside, unit=f.unit, chunks=chunks)


def records(x: np.ndarray, y: Optional[np.ndarray], t: np.ndarray, p: Optional[np.ndarray]) -> np.ndarray:
    """Columns as records: coordinates beyond int16 clipped to its bounds (outside any sensor,
    so they are refused or dropped, never wrapped onto one), polarity -1 or 1 (above 0 is ON)."""
    rec = np.empty(len(t), RECORD)
    rec["x"] = np.clip(x, -32768, 32767)
    rec["y"] = 0 if y is None else np.clip(y, -32768, 32767)
    rec["t"] = t
    rec["p"] = 1 if p is None else np.where(p > 0, 1, -1)
    return rec


__all__ = ["PieceFile", "Pieces", "bounds", "read", "iterate", "records", "events_text"]
