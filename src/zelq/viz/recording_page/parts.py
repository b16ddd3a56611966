"""Parts of the recording document: packed arrays, the tone curve of counts, images, the heat map
and the busiest pixels."""
from __future__ import annotations

import base64
import functools
from typing import Any, Dict, List, Tuple

import numpy as np

from .. import _native


def b64(values: np.ndarray, dtype: str) -> str:
    return base64.b64encode(np.ascontiguousarray(values, dtype=dtype).tobytes()).decode("ascii")


def _curve(counts: np.ndarray) -> np.ndarray:
    return np.minimum(255, np.ceil(16 * np.log2(1 + counts.astype(np.float64)))).astype(np.uint8)


_LEVELS = 1 << 16  # from 2**16 - 1 events on, the curve is 255 (16 * log2(2**16) = 256)


@functools.lru_cache(maxsize=1)
def _levels() -> np.ndarray:
    return _curve(np.arange(_LEVELS))


def level(counts: np.ndarray) -> np.ndarray:
    """min(255, ceil(16 * log2(1 + c))): one event is 16, none is 0. Counts (never negative) are
    looked up in the curve's table: a megapixel's logarithms took 50 ms."""
    if counts.dtype.kind not in "ui":
        return _curve(counts)
    return _levels()[np.minimum(counts, _LEVELS - 1)]


def png(rgb: np.ndarray) -> str:
    return _native.events()._encode_image_base64(np.ascontiguousarray(rgb, dtype=np.uint8))


def heatmap(on: np.ndarray, off: np.ndarray) -> Dict[str, Any]:
    h, w = on.shape
    rgb = np.zeros((h, w, 3), np.uint8)
    rgb[..., 0], rgb[..., 1] = level(off), level(on)
    total = on.astype(np.int64) + off
    return {"width": w, "height": h, "png": png(rgb), "max": int(total.max()) if total.size else 0}


def hot_pixels(on: np.ndarray, off: np.ndarray, limit: int) -> Tuple[List[List[int]], int]:
    """The hot pixels by the local rule (filters.HOT_RULE), hottest first (ties by position), at
    most `limit`, as [x, y, on, off]; and how many there are."""
    total = on.astype(np.int64) + off
    hot = _native.inspection()._local_hot_pixels(total)
    flat = total.ravel()
    top = hot[np.lexsort((hot, -flat[hot]))[:limit]]
    w = on.shape[1]
    return [[int(i % w), int(i // w), int(on.flat[i]), int(off.flat[i])] for i in top], len(hot)
