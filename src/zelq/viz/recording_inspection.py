"""The recording page's inspection parts: its health, the events for the space-time view,
and the score of predictions against labels.

One pass over the source, before the page pass, gathers the health report and an even
subsample of the events in the page's span; both go into the document (see
docs/recording-document.md) and count in the page's budget like the rest of its text.
"""
from __future__ import annotations

import base64
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from . import _native, health, pagefiles
from .recordings import _sources

__all__ = ["document_parts", "XYT_MAX_POINTS"]

XYT_MAX_POINTS = 1_000_000
_XYT_BYTES_PER_POINT = 12    # x, y (2 bytes each), t (4) and p (1), in base64
# Of the page budget, at most: small budgets keep their room for frames and the overview.
_XYT_BUDGET_SHARE, _XYT_SMALL_SHARE, _XYT_SMALL_BUDGET = 0.12, 0.02, 10_000_000
_PIECE = 1 << 16
_FRAMES_LISTED = 2000


def _b64(values: np.ndarray) -> str:
    return base64.b64encode(np.ascontiguousarray(values).tobytes()).decode("ascii")


def _json(value: Any) -> str:
    return pagefiles.comment_json(value)


class _Sample:
    """An even subsample of the events in [t0, t1): every `step`-th of them, the step doubling
    (every other kept event let go) whenever more than `cap` are kept."""

    def __init__(self, t0: int, t1: int, cap: int, fields: Tuple[Any, ...]) -> None:
        self.t0, self.t1, self.cap, self.fields = t0, t1, max(1, cap), fields
        self.step, self.seen = 1, 0
        self.parts: List[Tuple[np.ndarray, ...]] = []
        self.kept = 0

    def __call__(self, piece: np.ndarray) -> None:
        fx, fy, ft, fp = self.fields
        t = piece[ft]
        inside = (t >= self.t0) & (t < self.t1)
        n = int(np.count_nonzero(inside))
        if not n:
            return
        index = self.seen + np.arange(n, dtype=np.int64)
        self.seen += n
        take = index % self.step == 0
        sel = piece[inside][take]
        y = sel[fy] if fy is not None else np.zeros(len(sel), np.int64)
        p = sel[fp] > 0 if fp is not None else np.ones(len(sel), bool)
        self.parts.append((index[take], sel[fx].astype(np.int64), np.asarray(y, np.int64),
                           sel[ft].astype(np.int64), p))
        self.kept += len(sel)
        while self.kept > self.cap:
            self.step *= 2
            self.parts = [tuple(c[part[0] % self.step == 0] for c in part) for part in self.parts]
            self.kept = sum(len(part[0]) for part in self.parts)

    def document(self) -> Dict[str, Any]:
        cols = [np.concatenate([part[k] for part in self.parts]) if self.parts else np.zeros(0, np.int64)
                for k in range(5)]
        return _xyt_document(self.t0, self.t1, self.seen, self.step, *cols[1:])


def _xyt_document(t0: int, t1: int, seen: int, step: int, x: np.ndarray, y: np.ndarray, t: np.ndarray,
                  p: np.ndarray) -> Dict[str, Any]:
    span = max(t1 - t0, 1)
    unit = max(1, -(-span // (1 << 32)))  # times fit 32 bits in units of this many µs
    return {"count": int(seen), "step": int(step), "points": int(len(t)), "t_base": t0, "t_unit": unit,
            "x": _b64(np.clip(x, 0, 65535).astype("<u2")), "y": _b64(np.clip(y, 0, 65535).astype("<u2")),
            "t": _b64(((t.astype(np.int64) - t0) // unit).astype("<u4")), "p": _b64(p.astype(np.uint8))}


def _samples_natively(src: Any) -> bool:
    """Whether the native check can keep the sample: records, or an array whose x, y and t
    are integers it reads exactly (the Python sample takes the rest)."""
    if src.kind != "array":
        return True
    dtype = src.events.dtype
    return all(dtype[f].kind == "i" or (dtype[f].kind == "u" and dtype[f].itemsize < 8)
               for f in src.fields[:3] if f is not None)


def _scores(box_sets: Any, t0: int, t1: int, kept: Any = None) -> Optional[Dict[str, Any]]:
    truth, pred, classes = box_sets
    if truth is None or pred is None:
        return None
    from .scoring import scored_sets
    result, found, outcome = scored_sets(truth, pred, 0.5, tuple(classes))
    # The flags of the boxes the document holds: those in [t0, t1), in the sets' order.
    tr, pr = truth.between(t0, t1), pred.between(t0, t1)
    frames = [f for f in result["frames"] if t0 <= f[0] < t1]
    if kept is not None and kept.thinned:  # the rows the page holds within its budget
        found, outcome = found[kept.labels], outcome[kept.predictions]
    else:
        found, outcome = found[tr.start:tr.stop], outcome[pr.start:pr.stop]
    return {"iou": 0.5, "classes": result["classes"], "all": result["all"], "frames": frames[:_FRAMES_LISTED],
            "frames_count": len(frames), "labels": found.astype(int).tolist(),
            "predictions": outcome.astype(int).tolist()}


def document_parts(src: Any, sensor: Tuple[int, int], t0: int, t1: int, box_sets: Any, max_bytes: int) -> str:
    """',"health":{...},"xyt":{...},"scores":{...}': the inspection parts of the recording
    document, from one pass over `src` (scores only with both labels and predictions)."""
    return gathered_parts(src, sensor, t0, t1, box_sets, max_bytes)[0]


def sample_cap(max_bytes: int) -> int:
    """The most points the space-time view keeps for a page of `max_bytes`."""
    share = _XYT_BUDGET_SHARE if max_bytes >= _XYT_SMALL_BUDGET else _XYT_SMALL_SHARE
    return int(min(XYT_MAX_POINTS, max_bytes * share // _XYT_BYTES_PER_POINT))


def gathered_parts(src: Any, sensor: Tuple[int, int], t0: int, t1: int, box_sets: Any, max_bytes: int,
                   kept_boxes: Any = None) -> Tuple[str, Dict[str, Any]]:
    """The inspection parts, and the pass's native counts (hot pixels, extents) for the filters;
    the scores' flags are those of `kept_boxes` when the page holds only some (box_budget.py)."""
    cap = sample_cap(max_bytes)
    fields = tuple(src.fields) if src.kind == "array" else ("x", "y", "t", "p")
    back: List[int] = []
    pieces = _sources.source_pieces(src, _PIECE, back)
    if _samples_natively(src):
        check = _native.inspection()._Health(*sensor, t0, t1, cap)
        counts, offset, notes = health.gather(pieces, fields, sensor, back, health=check)
        sample = check.sample()
    else:
        python_sample = _Sample(t0, t1, cap, fields)
        counts, offset, notes = health.gather(pieces, fields, sensor, back, python_sample)
        return parts_of(counts, offset, notes, python_sample.document(), scores_text(box_sets, t0, t1, kept_boxes)), counts
    return parts_of(counts, offset, notes, _xyt_document(t0, t1, *sample), scores_text(box_sets, t0, t1, kept_boxes)), counts


def scores_text(box_sets: Any, t0: int, t1: int, kept_boxes: Any = None) -> str:
    """',"scores":{...}' with both labels and predictions, else ''."""
    scores = _scores(box_sets, t0, t1, kept_boxes)
    return "" if scores is None else ',"scores":' + _json(scores)


def parts_of(counts: Dict[str, Any], offset: Optional[int], notes: List[str], xyt: Dict[str, Any],
             scores: str) -> str:
    """The inspection parts' text from the health check's counts, the sample's document and the
    scores' text."""
    report = health.report_of(counts, offset, notes)
    marks = {"report": report, "first_backwards_t": int(counts["first_backwards_t"]) if counts["backwards"] else None}
    return ',"health":' + _json(marks) + ',"xyt":' + _xyt_text(xyt) + scores


_COLUMNS = ("x", "y", "t", "p")


def _xyt_text(xyt: Dict[str, Any]) -> str:
    """_json(xyt), its base64 columns (the document's last keys) joined in as they are: base64
    needs no escape, and a million points are megabytes the encoder would only scan."""
    head = _json({k: v for k, v in xyt.items() if k not in _COLUMNS})
    return head[:-1] + "".join(f',"{k}":"{xyt[k]}"' for k in _COLUMNS) + "}"


def folded_parts(result: Dict[str, Any], offset: Optional[int], notes: List[str], scores: str, t0: int,
                 t1: int) -> str:
    """The inspection parts from a page pass that gathered them itself (its "health" and "xyt")."""
    return parts_of(result["health"], offset, notes, _xyt_document(t0, t1, *result["xyt"]), scores)


def thinned_floor(cap: int, t0: int, t1: int) -> int:
    """How much longer than in shortest_parts the space-time part is at least once its sample has
    thinned: it then keeps more than half of `cap` points (the step doubles when cap + 1 are kept)
    and has counted more than `cap` events."""
    cap = max(1, cap)
    points = (cap + 2) // 2
    b64 = lambda n_bytes: 4 * -(-n_bytes // 3)  # noqa: E731
    # Against the empty document: the digits of count, step and points, and the columns' text
    # (x and y two bytes a point, t four, p one). The times' base and unit are the same in both.
    digits = len(str(cap + 1)) - 1 + len(str(points)) - 1
    return digits + 2 * b64(2 * points) + b64(4 * points) + b64(points)


def shortest_parts(scores: str, t0: int, t1: int) -> str:
    """Text no longer than any inspection parts of [t0, t1) can be: what a page pass that gathers
    them is planned with (a clean recording, no points, the shortest numbers)."""
    clean = {"gaps": [], "backwards": {"count": 0, "first_index": 0, "first_offset": 0}, "bursts": [],
             "dead_rows": [], "dead_columns": [], "hot_pixels": [], "verdict": "ok"}
    none = np.zeros(0, np.int64)
    parts = ',"health":' + _json({"report": clean, "first_backwards_t": 0}) + ',"xyt":' \
        + _json(_xyt_document(t0, t1, 0, 1, none, none, none, none))
    return parts + scores
