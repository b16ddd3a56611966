"""What the video draws on its frames: box outlines with their labels, and the time stamp.

Outlines and label blending run natively over a frame's boxes at once
(kernels/box_outlines.hpp). A label's text is rendered once per distinct text,
with Pillow's default font, into a coverage mask kept in an atlas; boxes name
their mask by index, so a million boxes cost as many renders as they have
distinct labels.
"""
from __future__ import annotations

from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

from zelq.viz import _native
from zelq.viz.boxes import CLASS_COLOURS, Boxes

_PALETTE = np.array(CLASS_COLOURS, np.uint8)
_ATLAS_BYTES = 64 << 20  # label masks kept at most (about 60,000 labels of 24-pixel text)
_MARGIN = float(7 << 20)  # edges held this far past the frame: a whole number of dash periods keeps their phase


def _compact(ids: np.ndarray, column: Optional[np.ndarray]) -> np.ndarray:
    """Ids of the distinct (ids, column) pairs, 0 .. k - 1."""
    if column is None:
        return ids
    values, inverse = np.unique(column, return_inverse=True)
    return np.unique(ids * len(values) + inverse.reshape(-1), return_inverse=True)[1].reshape(-1)


class _LabelKeys:
    """Each box's label key (class, shown confidence, track) as an id, with each key's first box
    and, once drawn, its mask in the atlas."""

    def __init__(self, boxes: Boxes, predicted: bool) -> None:
        ids = np.unique(boxes.class_id, return_inverse=True)[1].reshape(-1)
        self.confidence = boxes.confidence if predicted else None
        if self.confidence is not None:
            ids = _compact(ids, self.confidence)
        ids = _compact(ids, boxes.track_id)
        self.ids = ids.astype(np.int64)
        self.first = np.unique(self.ids, return_index=True)[1]
        self.mask = np.full(len(self.first), -1, np.int64)


class Painter:
    """Draws boxes and the time stamp on frames of one size, in place."""

    def __init__(self, width: int, height: int, sx: float, sy: float, classes: Sequence[str]) -> None:
        from PIL import ImageFont
        self.width, self.height, self.sx, self.sy = width, height, sx, sy
        self.classes = classes
        self.line = max(1, round(min(width, height) / 360))
        size = max(10, min(28, height // 30))
        try:
            self.font = ImageFont.load_default(size)
        except TypeError:  # Pillow without scalable default font
            self.font = ImageFont.load_default()
        self._keys: Dict[Tuple[int, bool], _LabelKeys] = {}
        self._mask_of_text: Dict[str, int] = {}
        self._atlas = np.zeros(1 << 16, np.uint8)
        self._atlas_used = 0
        self._index: List[Tuple[int, ...]] = []
        self._index_array = np.zeros((0, 8), np.int64)

    def text(self, frame: np.ndarray, text: str, x: int, y: int, colour: Sequence[int], backing: bool) -> None:
        from PIL import Image, ImageDraw
        left, top, right, bottom = self.font.getbbox(text)
        w, h = int(right) + 2, int(bottom) + 2  # whole pixels already: no stroke is drawn
        x, y = max(0, min(x, self.width - w)), max(0, min(y, self.height - h))
        w, h = min(w, self.width - x), min(h, self.height - y)
        if w <= 0 or h <= 0:
            return
        mask = Image.new("L", (w, h))
        ImageDraw.Draw(mask).text((1, 1), text, fill=255, font=self.font)
        alpha = np.asarray(mask, np.float32)[..., None] / 255.0
        region = frame[y:y + h, x:x + w].astype(np.float32)
        if backing:
            region *= 0.35
        region += alpha * (np.asarray(colour, np.float32) - region)
        frame[y:y + h, x:x + w] = region.astype(np.uint8)

    def stamp(self, frame: np.ndarray, t: int, first: int) -> None:
        ms = round((t - first) / 1000)
        self.text(frame, f"{t // 1_000_000:,}.{t % 1_000_000:06d} s   +{ms // 1000}.{ms % 1000:03d} s",
                  4, 4, (235, 235, 235), True)

    # ------------------------------------------------------------ labels

    def _label_text(self, boxes: Boxes, i: int, predicted: bool) -> str:
        cid = int(boxes.class_id[i])
        name = self.classes[cid] if 0 <= cid < len(self.classes) else f"class {cid}"
        if predicted and boxes.confidence is not None:
            name += f" {boxes.confidence[i]:.2f}"
        if boxes.track_id is not None:
            name += f" #{boxes.track_id[i]}"
        return name

    def _mask(self, text: str) -> int:
        """The atlas index of a text's coverage mask, rendered on first use."""
        found = self._mask_of_text.get(text)
        if found is not None:
            return found
        from PIL import Image, ImageDraw
        _, _, right, bottom = self.font.getbbox(text)
        w, h = int(right) + 2, int(bottom) + 2
        image = Image.new("L", (w, h))
        ImageDraw.Draw(image).text((1, 1), text, fill=255, font=self.font)
        full = np.asarray(image, np.uint8)
        rows, cols = np.flatnonzero(full.any(1)), np.flatnonzero(full.any(0))
        dy, dx = (int(rows[0]), int(cols[0])) if len(rows) else (0, 0)
        th, tw = (int(rows[-1]) + 1 - dy, int(cols[-1]) + 1 - dx) if len(rows) else (0, 0)
        coverage = full[dy:dy + th, dx:dx + tw].reshape(-1)  # only the part with ink is kept and blended
        end = self._atlas_used + len(coverage)
        if end > len(self._atlas):
            grown = np.zeros(max(end, 2 * len(self._atlas)), np.uint8)
            grown[:self._atlas_used] = self._atlas[:self._atlas_used]
            self._atlas = grown
        self._atlas[self._atlas_used:end] = coverage
        self._index.append((self._atlas_used, w, h, int(bottom) + 3, dx, dy, tw, th))
        self._atlas_used = end
        self._mask_of_text[text] = len(self._index) - 1
        return len(self._index) - 1

    def _forget_masks(self) -> None:
        """Start the atlas afresh: a set with a new label on every box would otherwise grow it
        without bound (its masks are rendered again when drawn again)."""
        for keys in self._keys.values():
            keys.mask[:] = -1
        self._mask_of_text.clear()
        self._index.clear()
        self._atlas_used = 0

    def _labels(self, boxes: Boxes, sel: slice, predicted: bool) -> np.ndarray:
        keys = self._keys.get((id(boxes), predicted))
        if keys is None:
            keys = self._keys[(id(boxes), predicted)] = _LabelKeys(boxes, predicted)
        ids = keys.ids[sel]
        if self._atlas_used > _ATLAS_BYTES:  # between frames' sets: nothing drawn holds an old index
            self._forget_masks()
        new = np.unique(ids[keys.mask[ids] < 0])
        for k in new.tolist():  # once per distinct label, never per box
            keys.mask[k] = self._mask(self._label_text(boxes, int(keys.first[k]), predicted))
        if len(new):
            self._index_array = np.array(self._index, np.int64).reshape(-1, 8)
        return keys.mask[ids]

    # ------------------------------------------------------------ boxes

    def _edges(self, boxes: Boxes, sel: slice) -> np.ndarray:
        """(c0, r0, c1, r1) of each box, rounded half to even and held within a margin of the frame:
        a box 1e308 wide is drawn as far as the frame shows it."""
        with np.errstate(over="ignore", invalid="ignore"):
            x, y = boxes.x[sel] * self.sx, boxes.y[sel] * self.sy
            right, bottom = x + boxes.w[sel] * self.sx, y + boxes.h[sel] * self.sy
        edges = np.empty((len(x), 4), np.int64)
        for k, (v, size) in enumerate(((x, self.width), (y, self.height), (right, self.width), (bottom, self.height))):
            # A far edge is NaN only as -inf + inf: a box reaching past both sides.
            v = np.where(np.isnan(v), size + _MARGIN, v)
            edges[:, k] = np.rint(np.clip(v, -_MARGIN, size + _MARGIN))
        return edges

    def boxes(self, frame: np.ndarray, boxes: Boxes, rows: range, predicted: bool) -> None:
        if not len(rows):
            return
        sel = slice(rows.start, rows.stop)
        colours = _PALETTE[boxes.class_id[sel] % len(_PALETTE)]
        labels = self._labels(boxes, sel, predicted)
        _native.inspection()._draw_boxes(frame, self._edges(boxes, sel), colours, labels, predicted, self.line,
                                         self._atlas, self._index_array)
