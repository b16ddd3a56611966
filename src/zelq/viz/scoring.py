"""Predicted boxes scored against labelled ones: matches, precision, recall and VOC AP.

Boxes are compared at the labels' timestamps. The greedy match runs natively over both sets
sorted once, both natively (kernels/box_match.hpp); the rest is array arithmetic.
"""
from __future__ import annotations

import math
import os
import warnings
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _native

__all__ = ["score_boxes"]

BoxInput = Union[str, "os.PathLike[str]", np.ndarray]


def _boxes(value: Any, param: str) -> Any:
    from .boxes import boxes_of
    if value is None:
        from . import _args
        _args.refuse(param, "str, os.PathLike or numpy.ndarray", value)
    return boxes_of(value, param)


def _names(classes: Any) -> Tuple[str, ...]:
    from .boxes import class_names
    return class_names(classes)


def _iou_arg(iou: Any) -> float:
    from . import _args
    if isinstance(iou, bool) or not isinstance(iou, (int, float, np.integer, np.floating)):
        _args.refuse("iou", "float", iou)
    if not (0 < iou <= 1):
        raise ValueError(f"iou must be above 0 and at most 1 (got {iou!r})")
    return float(iou)


def _columns(b: Any) -> Tuple[np.ndarray, ...]:
    """The matching's columns of a box set, as they are (the match takes them in its rows' order)."""
    return tuple(np.ascontiguousarray(col, dt) for col, dt in
                 ((b.t, np.int64), (b.class_id, np.int64), (b.x, np.float64), (b.y, np.float64),
                  (b.w, np.float64), (b.h, np.float64)))


def _distinct(sorted_values: np.ndarray) -> np.ndarray:
    if not len(sorted_values):
        return sorted_values
    return sorted_values[np.r_[True, sorted_values[1:] != sorted_values[:-1]]]


def _ratio(a: int, b: int) -> Optional[float]:
    return a / b if b else None


def voc_ap(hit_ranked: np.ndarray, n_truth: int) -> Optional[float]:
    """Area under the precision envelope over recall, all points (VOC 2010 and later), of
    detections ranked by confidence; None without truth boxes."""
    if not n_truth:
        return None
    if not len(hit_ranked):
        return 0.0
    tp = np.cumsum(hit_ranked)
    fp = np.cumsum(~hit_ranked)
    recall = np.concatenate([[0.0], tp / n_truth, [1.0]])
    precision = np.concatenate([[0.0], tp / (tp + fp), [0.0]])
    precision = np.maximum.accumulate(precision[::-1])[::-1]
    steps = np.flatnonzero(recall[1:] != recall[:-1])
    return float(np.sum((recall[steps + 1] - recall[steps]) * precision[steps + 1]))


def _record(truth: int, predicted: int, tp: int, ap: Optional[float]) -> Dict[str, Any]:
    return {"truth": truth, "predicted": predicted, "tp": tp, "fp": predicted - tp, "fn": truth - tp,
            "precision": _ratio(tp, predicted), "recall": _ratio(tp, truth), "ap": ap}


def score_boxes(truth: BoxInput, predictions: BoxInput, *, iou: float = 0.5,
                classes: Optional[Sequence[str]] = None) -> Dict[str, Any]:
    """Predictions scored against truth boxes, both box files (.npy) or record arrays in the
    format the recording page's boxes take (t or ts, x, y, w, h, class_id[, confidence]).

    Boxes are compared at the truth's timestamps (the datasets' label times; predictions at
    other times are left out). At each timestamp, predictions are taken in descending
    confidence (file order among equals, and for predictions without confidence); each takes
    the unmatched truth box of its class with the highest IoU, if that IoU is at least `iou`,
    and is a false positive otherwise. Truth boxes left unmatched are misses. IoU uses the
    boxes' own coordinates, with no +1 pixel.

    Returns {"classes": {name: record}, "all": record, "frames": [[t, tp, fp, fn], ...]}. A record
    is {"truth", "predicted", "tp", "fp", "fn", "precision", "recall", "ap"}: precision and
    recall are None where nothing was predicted or labelled; "ap" is the all-point area under
    the precision envelope over recall (VOC 2010 and later), None for a class without truth
    boxes. "all" sums the counts; its "ap" is the mean over the classes with truth boxes.
    Classes are named by `classes` (names in class_id order; a list or "a,b,c"), else by their
    ids. "frames" lists the timestamps with errors: the most errors first, then the earliest.
    Files without a common timestamp give a UserWarning and no matches.

    Raises ValueError (naming the file or argument) for boxes with missing fields, fields of the
    wrong type, NaN or negative sizes, object arrays (never unpickled) and an iou outside
    (0, 1]; TypeError for arguments of the wrong type.
    """
    threshold = _iou_arg(iou)
    names = _names(classes)
    tb, pb = _boxes(truth, "truth"), _boxes(predictions, "predictions")
    return scored_sets(tb, pb, threshold, names, stacklevel=3)[0]


def scored_sets(tb: Any, pb: Any, threshold: float, names: Tuple[str, ...], stacklevel: int = 2
                ) -> Tuple[Dict[str, Any], np.ndarray, np.ndarray]:
    """The score of two box sets (the readers' Boxes, in time order), with each truth box's
    match (True: found) and each prediction's (1 hit, 0 false positive, -1 not at a label time),
    in the sets' own order."""
    # Box sets come in time order (stable: file order among equal times).
    labelled = _distinct(tb.t)
    at = np.minimum(np.searchsorted(labelled, pb.t), max(len(labelled) - 1, 0))
    scored = labelled[at] == pb.t if len(labelled) else np.zeros(len(pb), bool)
    if len(tb) and len(pb) and not scored.any():
        warnings.warn("score_boxes: the truth and the predictions have no timestamp in common; nothing "
                      "is matched (are both in µs?)", UserWarning, stacklevel=stacklevel + 1)
    p_rows = np.flatnonzero(scored)
    conf = np.ones(len(pb)) if pb.confidence is None else pb.confidence
    order = _native.inspection()._order_boxes
    # (t, class, -confidence), file order among equals: the native match's order.
    p_rows = p_rows[order(pb.t[p_rows], pb.class_id[p_rows], None if pb.confidence is None else conf[p_rows], None)]
    t_rows = order(tb.t, tb.class_id, None, None)
    hit, taken = _native.inspection()._match_boxes(_columns(tb), _columns(pb), threshold, t_rows, p_rows)
    found = np.zeros(len(tb), bool)
    found[t_rows] = taken
    outcome = np.full(len(pb), -1, np.int8)
    outcome[p_rows] = hit
    return _summary(tb, pb, t_rows, p_rows, hit, taken, conf, names), found, outcome


def _summary(tb: Any, pb: Any, t_rows: np.ndarray, p_rows: np.ndarray, hit: np.ndarray, taken: np.ndarray,
             conf: np.ndarray, names: Tuple[str, ...]) -> Dict[str, Any]:
    t_cls, p_cls = tb.class_id[t_rows], pb.class_id[p_rows]
    ids = np.union1d(t_cls, p_cls)
    # Each class's predictions ranked by confidence (file order among equals), in one sort.
    ranked = _native.inspection()._order_boxes(None, p_cls, conf[p_rows], p_rows)  # p_rows: file order among equals
    bounds = np.searchsorted(p_cls[ranked], ids, "left"), np.searchsorted(p_cls[ranked], ids, "right")
    n_truth = np.searchsorted(np.sort(t_cls), ids, "right") - np.searchsorted(np.sort(t_cls), ids, "left")
    out: Dict[str, Any] = {}
    aps: List[float] = []
    for k, cid in enumerate(ids.tolist()):  # one step per class, never per box
        mine = hit[ranked[bounds[0][k]:bounds[1][k]]]
        ap = voc_ap(mine, int(n_truth[k]))
        if ap is not None:
            aps.append(ap)
        name = names[cid] if 0 <= cid < len(names) else str(cid)
        if name in out:  # two ids given one name: both kept
            name = f"{name} ({cid})"
        out[name] = _record(int(n_truth[k]), len(mine), int(np.count_nonzero(mine)), ap)
    overall = _record(len(t_rows), len(p_rows), int(np.count_nonzero(hit)), float(np.mean(aps)) if aps else None)
    return {"classes": out, "all": overall, "frames": _frames(tb.t[t_rows], taken, pb.t[p_rows], hit)}


def _frames(t_truth: np.ndarray, taken: np.ndarray, t_pred: np.ndarray, hit: np.ndarray) -> List[List[int]]:
    times = _distinct(t_truth)  # ordered by (t, class): by time first
    at_t = np.searchsorted(times, t_truth)
    at_p = np.searchsorted(times, t_pred)
    tp = np.bincount(at_p[hit], minlength=len(times))
    fp = np.bincount(at_p[~hit], minlength=len(times))
    fn = np.bincount(at_t[~taken], minlength=len(times))
    errors = fp + fn
    bad = np.flatnonzero(errors)
    bad = bad[np.lexsort((times[bad], -errors[bad]))]
    return np.stack([times[bad], tp[bad], fp[bad], fn[bad]], 1).tolist() if len(bad) else []


def score_text(result: Dict[str, Any]) -> str:
    """The score table as the command line prints it."""
    def cell(v: Optional[float]) -> str:
        return "-" if v is None or (isinstance(v, float) and math.isnan(v)) else f"{v:.3f}"
    rows = [("class", "truth", "pred", "tp", "fp", "fn", "precision", "recall", "AP")]
    for name, r in [*result["classes"].items(), ("all", result["all"])]:
        rows.append((name[:40], *(str(r[k]) for k in ("truth", "predicted", "tp", "fp", "fn")),
                     cell(r["precision"]), cell(r["recall"]), cell(r["ap"])))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(v.ljust(widths[0]) if i == 0 else v.rjust(widths[i]) for i, v in enumerate(row)) for row in rows]
    worst = result["frames"][:5]
    if worst:
        lines.append("worst frames (t µs: tp, fp, fn): " + "; ".join(f"{t}: {a}, {b}, {c}" for t, a, b, c in worst))
    return "\n".join(lines)
