"""The noise filters as a stage between a source and the engine: the page, its frames and
video see a recording's survivors, exactly as `filter_events` filters the whole recording.

The filters' state needs every event from the file's start in file order, so a filtered
source is read from its start (a windowed pass still feeds only its window to the engine).
Hot pixels and the denoise bounds need the whole recording's counts: a counting pass comes
first (the page's health pass is that pass), or the page pass gathers them itself and stands
when they are the ones it assumed (folding.py).

A whole native file whose times rise is filtered by the engine itself: its decoding thread
gives the raw frames and the filters each decoded buffer, and the counting thread counts
the survivors. That pass stands when it read what the record pieces would have given (no
cut, nothing outside the sensor or the span, no skipped words, times that never went back);
otherwise the page takes the pieces' path.
"""
from __future__ import annotations

from typing import Any, Dict, Generator, Optional, Sequence, Tuple

import numpy as np

from .. import filters, health
from ..recordings import _sources as sources
from ..recordings._sources import Source
from .span import Span

__all__ = ["through", "stage_for", "natively", "feeds", "stands"]

_STEP, _PIECE = 1 << 20, 1 << 16


def stage_for(src: Source, sensor: Tuple[int, int], wanted: filters.Settings,
              bins: Tuple[int, int, int] = (0, 1, 0)) -> Any:
    """The filter stage of `src` on `sensor`, after a counting pass when hot pixels or the
    denoise bounds need one."""
    counts: Optional[Dict[str, Any]] = None
    if wanted.needs_counts:
        fields = tuple(src.fields) if src.kind == "array" else ("x", "y", "t", "p")
        back: list = []
        counts = health.gather(sources.source_pieces(src, _PIECE, back), fields, sensor, back)[0]
    return filters.stage(wanted, sensor, counts, bins)


def natively(src: Source, span: Span, windowed: bool, counts: Optional[Dict[str, Any]]) -> bool:
    """Whether the engine filters the bytes of `src` itself: a whole native file on the sensor
    its header gives, whose times rose through the counting pass."""
    return (src.kind == "native" and not windowed and src.sensor_size is not None and span.sensor == src.sensor_size
            and counts is not None and not counts["backwards"])


def feeds(engine: Any, args: Tuple[Any, ...], raw: Any = None) -> None:
    """The filters (filters.stage_args) between the engine's decoder and its counting; `raw`
    (a started RawFrames) counts the records before them."""
    engine.filter(*args)
    if raw is not None and raw.engine is not None:
        engine.raw_frames(raw.engine, raw.end)


def stands(run: Any, result: Dict[str, Any]) -> bool:
    """Whether a pass that filtered the file's bytes read what the record pieces give: every
    decoded event within the sensor and the span, nothing cut or skipped, times never back."""
    return (run.cut is None and run.back is None and not run.state["outside"] and not sources.skipped_note(run.state)
            and result["beyond"] == 0 and result["outside"] == 0)


def through(src: Source, stage: Any, raw: Any = None) -> Source:
    """`src` as the filter stage passes it: survivors only, in file order. `raw` (a RawFrames
    of an array source counts the array itself) sees a file's pieces before the filter."""
    if src.kind == "array":
        arr = src.events
        kept = [piece[:stage.apply(piece)] for piece in
                (_records(arr[i:i + _STEP], src.fields) for i in range(0, len(arr), _STEP))]
        events = np.concatenate(kept) if kept else np.zeros(0, sources.RECORD)
        return Source(name=src.name, format=src.format, path=src.path, kind="array", size=src.size,
                      sensor_size=src.sensor_size, array=events, fields=("x", "y", "t", "p"), outside=src.outside)

    def chunks() -> Generator[np.ndarray, None, Optional[int]]:
        pieces = sources.source_pieces(src, _PIECE, None, src.outside)
        if raw is not None:
            pieces = _seen(pieces, raw)
        yield from filters.filtered_pieces(pieces, stage)
        return None

    return Source(name=src.name, format=src.format, path=src.path, kind="chunks", size=src.size,
                  sensor_size=src.sensor_size, outside=src.outside, unit=src.unit, chunks=chunks)


def _seen(pieces: Any, raw: Any) -> Any:
    """The pieces, each shown to `raw` before the filter compacts it, while it wants them."""
    wanted = True
    for piece in pieces:
        if wanted:
            wanted = raw.feed(piece)
        yield piece


def _records(part: np.ndarray, fields: Sequence[Any]) -> np.ndarray:
    fx, fy, ft, fp = fields
    rec = np.empty(len(part), sources.RECORD)
    rec["x"] = np.clip(part[fx], -32768, 32767)
    rec["y"] = 0 if fy is None else np.clip(part[fy], -32768, 32767)
    rec["t"] = part[ft]
    rec["p"] = 1 if fp is None else np.where(part[fp] > 0, 1, -1)
    return rec
