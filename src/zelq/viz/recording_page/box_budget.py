"""The recording page's boxes within their share of the page budget.

Boxes that fit their share are all kept, and the page is what it always was. Beyond it
the page keeps the boxes of evenly spaced label times (every k-th timestamp of labels
and predictions together, so a kept frame shows all its boxes and its matches), or, when
a few timestamps hold them all, every k-th box; it says so among its warnings and in the
boxes part. Sizes are estimated from an even sample of the boxes, so a large set is never
turned into text whole to learn that it does not fit.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, Optional, Tuple

import numpy as np

from ..pagefiles import comment_json

BOX_SHARE = 0.25  # of the page budget; frames, overview and the space-time sample share the rest
_SAMPLE = 4096
_FLAG_BYTES = 2  # a box's match flag in the scores part: "1,"


@dataclass
class PageBoxes:
    """Rows of each set the page holds (None: all of the window's, or no set), and what it says
    of those it leaves out."""
    labels: Optional[np.ndarray] = None
    predictions: Optional[np.ndarray] = None
    note: Optional[str] = None
    left_out: Optional[Dict[str, Any]] = None

    @property
    def thinned(self) -> bool:
        return self.note is not None


def _window(b: Any, t0: int, t1: int) -> np.ndarray:
    rows = b.between(t0, t1)
    return np.arange(rows.start, rows.stop, dtype=np.int64)


def _bytes_per_box(sets: Tuple[Any, Any, Any], rows: Tuple[np.ndarray, ...]) -> float:
    """The document's bytes per box, from an even sample of the rows of both sets."""
    total = sum(len(r) for r in rows)
    if not total:
        return 0.0
    size, counted = 0, 0
    for b, r in zip(sets[:2], rows):
        if b is None or not len(r):
            continue
        pick = r[np.linspace(0, len(r) - 1, min(len(r), _SAMPLE)).astype(np.int64)]
        size += len(comment_json(b.columns(rows=pick)))
        counted += len(pick)
    both = sets[0] is not None and sets[1] is not None
    return size / counted + (_FLAG_BYTES if both else 0)


def _at_times(b: Any, rows: np.ndarray, times: np.ndarray) -> np.ndarray:
    t = b.t[rows]
    at = np.minimum(np.searchsorted(times, t), max(len(times) - 1, 0))
    return rows[times[at] == t] if len(times) else rows[:0]


def page_boxes(sets: Tuple[Any, Any, Any], t0: int, t1: int, max_bytes: int) -> PageBoxes:
    """The boxes of [t0, t1) that the page holds within BOX_SHARE of `max_bytes`."""
    labels, predictions, _ = sets
    if labels is None and predictions is None:
        return PageBoxes()
    empty = np.zeros(0, np.int64)
    rows: Tuple[np.ndarray, ...] = tuple(empty if b is None else _window(b, t0, t1) for b in (labels, predictions))
    total = sum(len(r) for r in rows)
    budget = int(max_bytes * BOX_SHARE)
    per_box = _bytes_per_box(sets, rows)
    if total * per_box <= budget:
        return PageBoxes()
    times = np.union1d(*(np.unique(b.t[r]) if b is not None else empty for b, r in zip(sets[:2], rows)))
    step = max(2, math.ceil(total * per_box / budget))
    while True:
        if len(times) >= 2 * step:
            kept_times = times[::step]
            kept: Tuple[np.ndarray, ...] = tuple(_at_times(b, r, kept_times) if b is not None else r
                                                 for b, r in zip(sets[:2], rows))
            how = f"the boxes of every {step:,}th label time"
        else:  # a few timestamps hold them all
            kept = tuple(r[::step] for r in rows)
            how = f"every {step:,}th box"
        held = sum(len(r) for r in kept)
        if held * _bytes_per_box(sets, kept) <= budget or step >= total:
            break
        step *= 2
    note = (f"boxes: the page holds {held:,} of {total:,} ({how}) within its share of the page budget, "
            f"{budget:,} bytes; scores count them all")
    return PageBoxes(labels=kept[0] if labels is not None else None,
                     predictions=kept[1] if predictions is not None else None, note=note,
                     left_out={"held": held, "total": total, "step": step,
                               "by": "time" if how.startswith("the boxes") else "box"})
