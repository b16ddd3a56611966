"""Parts of the recording document: packed arrays, the tone curve of counts, images, the heat map
and the busiest pixels."""
from __future__ import annotations

import base64
from typing import Any, Dict, List

import numpy as np

from .. import _native


def b64(values: np.ndarray, dtype: str) -> str:
    return base64.b64encode(np.ascontiguousarray(values, dtype=dtype).tobytes()).decode("ascii")


def level(counts: np.ndarray) -> np.ndarray:
    """min(255, ceil(16 * log2(1 + c))): one event is 16, none is 0."""
    return np.minimum(255, np.ceil(16 * np.log2(1 + counts.astype(np.float64)))).astype(np.uint8)


def png(rgb: np.ndarray) -> str:
    return _native.events()._encode_image_base64(np.ascontiguousarray(rgb, dtype=np.uint8))


def heatmap(on: np.ndarray, off: np.ndarray) -> Dict[str, Any]:
    h, w = on.shape
    rgb = np.zeros((h, w, 3), np.uint8)
    rgb[..., 0], rgb[..., 1] = level(off), level(on)
    total = on.astype(np.int64) + off
    return {"width": w, "height": h, "png": png(rgb), "max": int(total.max()) if total.size else 0}


def top_pixels(on: np.ndarray, off: np.ndarray, limit: int) -> List[List[int]]:
    """The `limit` pixels with the most events (ties: lower y * W + x first), never one without events."""
    total = (on.astype(np.int64) + off).ravel()
    candidates = np.flatnonzero(total)
    if len(candidates) > limit:
        candidates = candidates[np.argpartition(-total[candidates], limit - 1)[:limit]]
        cut = total[candidates].min()
        candidates = np.flatnonzero(total >= cut)  # every pixel tied at the cut, then order
    top = candidates[np.lexsort((candidates, -total[candidates]))][:limit]
    w = on.shape[1]
    return [[int(i % w), int(i // w), int(on.flat[i]), int(off.flat[i])] for i in top]
