"""Bounding boxes over a recording: labels and predictions, read, checked and put in time order.

The recording page takes them as columns of its document; the video draws them, in the
class colours below (labels solid, predictions dashed), as the page does.
"""
from __future__ import annotations

import math
import os
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from zelq.viz import _args, _native

# class colours of box outlines (labels solid, predictions dashed), the pages' own table
CLASS_COLOURS: Tuple[Tuple[int, int, int], ...] = _native.events()._CLASS_COLOURS
_BOX_FIELDS = ("x", "y", "w", "h", "class_id")


class Boxes:
    """Boxes in time order: t (int64 µs), x, y, w, h (float64 pixels), class_id (int64),
    confidence (float64 or None), track_id (int64 or None)."""

    __slots__ = ("t", "x", "y", "w", "h", "class_id", "confidence", "track_id")
    t: np.ndarray
    x: np.ndarray
    y: np.ndarray
    w: np.ndarray
    h: np.ndarray
    class_id: np.ndarray
    confidence: Optional[np.ndarray]
    track_id: Optional[np.ndarray]

    def __init__(self, columns: Dict[str, Optional[np.ndarray]]) -> None:
        times = columns["t"]
        assert times is not None, "boxes always have times"
        # Files mostly come in time order: then the columns are kept as they are.
        order = None if bool(np.all(times[1:] >= times[:-1])) else np.argsort(times, kind="stable")
        for name in self.__slots__:
            value = columns.get(name)
            if value is not None:
                value = np.ascontiguousarray(value if order is None else value[order])
            setattr(self, name, value)

    def __len__(self) -> int:
        return len(self.t)

    def between(self, t0: int, t1: int) -> range:
        """Indices of the boxes with t0 <= t < t1."""
        return range(int(np.searchsorted(self.t, t0, "left")), int(np.searchsorted(self.t, t1, "left")))

    def columns(self, t0: Optional[int] = None, t1: Optional[int] = None,
                rows: Optional[np.ndarray] = None) -> Dict[str, Any]:
        """The document's columnar form (lists), of the boxes in [t0, t1) when given, or of `rows`."""
        sel: Any
        if rows is not None:
            sel = rows
        elif t0 is None:
            sel = slice(0, len(self))
        else:
            assert t1 is not None, "a window has both ends"
            window = self.between(t0, t1)
            sel = slice(window.start, window.stop)
        out: Dict[str, Any] = {"t": self.t[sel].tolist()}
        for name in ("x", "y", "w", "h"):
            out[name] = getattr(self, name)[sel].tolist()
        out["class_id"] = self.class_id[sel].tolist()
        out["confidence"] = None if self.confidence is None else self.confidence[sel].tolist()
        out["track_id"] = None if self.track_id is None else self.track_id[sel].tolist()
        return out


def _box_columns(arr: np.ndarray, where: str) -> Boxes:
    names = arr.dtype.names
    if names is None or arr.ndim != 1:
        raise ValueError(f"{where}: boxes must be a one-dimensional record array with the fields "
                         f"t (or ts), x, y, w, h, class_id (got a {arr.ndim}-dimensional {arr.dtype} array)")
    time = "t" if "t" in names else "ts" if "ts" in names else None
    missing = [f for f in _BOX_FIELDS if f not in names] + ([] if time else ["t (or ts)"])
    if missing:
        raise ValueError(f"{where}: the box array lacks the field{'s' if len(missing) > 1 else ''} "
                         f"{', '.join(missing)} (its fields: {', '.join(names)})")
    cols: Dict[str, Optional[np.ndarray]] = {}
    for name, src, kind in ([("t", time, "i")] + [(f, f, "f") for f in ("x", "y", "w", "h")]
                            + [("class_id", "class_id", "i"), ("confidence", "confidence", "f"),
                               ("track_id", "track_id", "i")]):
        if src not in names:
            cols[name] = None
            continue
        col = arr[src]
        if col.ndim != 1:
            raise ValueError(f"{where}: the box field {src!r} holds {math.prod(col.shape[1:])} values per box, not one")
        if col.dtype.kind not in "uif":
            raise ValueError(f"{where}: the box field {src!r} is {col.dtype}, not a number")
        if kind == "i":
            if col.dtype.kind == "f":
                if not np.all(np.isfinite(col)) or np.any(col != np.floor(col)):
                    raise ValueError(f"{where}: the box field {src!r} holds values that are not whole numbers")
                if len(col) and (col.min() < -2.0**62 or col.max() > 2.0**62):
                    raise ValueError(f"{where}: the box field {src!r} holds values out of range")
            elif col.dtype == np.uint64 and len(col) and col.max() > np.iinfo(np.int64).max:
                raise ValueError(f"{where}: the box field {src!r} holds values out of range")
            cols[name] = col.astype(np.int64)
        else:
            values = col.astype(np.float64)
            if not np.all(np.isfinite(values)):
                raise ValueError(f"{where}: the box field {src!r} holds NaN or infinite values")
            cols[name] = values
    widths, heights = cols["w"], cols["h"]
    assert widths is not None and heights is not None  # required fields, checked above
    if np.any(widths < 0) or np.any(heights < 0):
        raise ValueError(f"{where}: a box has a negative width or height")
    return Boxes(cols)


def read_boxes(path: Any) -> Boxes:
    """The boxes of an .npy record array with the fields t (or ts, µs), x, y, w, h,
    class_id and optionally confidence and track_id, in time order.

    Never runs pickled objects. Raises FileNotFoundError for a missing file and
    ValueError, naming the file, for anything that is not such an array.
    """
    if not isinstance(path, (str, os.PathLike)):
        _args.refuse("path", "str or os.PathLike", path)
    from .inputfiles import npy_header, regular
    p = regular(path)
    with open(p, "rb") as f:
        is_npz = f.read(4) == b"PK\x03\x04"
    if not is_npz:
        # Each box becomes eight 8-byte columns beside the file's own record.
        npy_header(p, "box array", working_bytes=64)
    try:
        arr = np.load(p, allow_pickle=False, mmap_mode="r")
    except (ValueError, OSError, EOFError) as e:
        raise ValueError(f"{p}: not a readable .npy box array ({str(e).splitlines()[0] if str(e) else type(e).__name__})") from None
    if not isinstance(arr, np.ndarray):  # an .npz archive
        raise ValueError(f"{p}: not a .npy box array (an archive of several arrays)")
    return _box_columns(np.asarray(arr), str(p))


def boxes_of(value: Any, param: str) -> Optional[Boxes]:
    """Boxes from a path, a record array or Boxes; None stays None."""
    if value is None or isinstance(value, Boxes):
        return value
    if isinstance(value, np.ndarray):
        return _box_columns(value, param)
    if isinstance(value, (str, os.PathLike)):
        return read_boxes(value)
    _args.refuse(param, "str, os.PathLike or numpy.ndarray", value)
    return None


def class_names(classes: Any) -> Tuple[str, ...]:
    if classes is None:
        return ()
    if isinstance(classes, str):
        return tuple(c.strip() for c in classes.split(","))
    names = tuple(classes)
    for c in names:
        if not isinstance(c, str):
            _args.refuse("classes", "str or a sequence of str", c)
    return names


def box_sets(boxes: Any, predictions: Any, classes: Any) -> Tuple[Any, Any, List[str]]:
    """Labels, predictions and class names, checked."""
    return boxes_of(boxes, "boxes"), boxes_of(predictions, "predictions"), list(class_names(classes))


def box_columns(sets: Tuple[Any, Any, List[str]], t0: int, t1: int, kept: Any = None) -> Optional[Dict[str, Any]]:
    """The document's boxes: those whose time lies in [t0, t1), columnar; or, with `kept` (the
    page's boxes within its budget, recording_page/box_budget.py), the rows it holds."""
    labels, predicted, names = sets
    if labels is None and predicted is None:
        return None
    if kept is not None and kept.thinned:
        return {"classes": names, "labels": None if labels is None else labels.columns(rows=kept.labels),
                "predictions": None if predicted is None else predicted.columns(rows=kept.predictions),
                "left_out": kept.left_out}
    return {"classes": names, "labels": None if labels is None else labels.columns(t0, t1),
            "predictions": None if predicted is None else predicted.columns(t0, t1)}
