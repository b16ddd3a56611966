"""The video's box drawing, byte for byte against a NumPy oracle: outlines rasterised pixel by
pixel (solid or dashed 4 on, 3 off from the corner, `line` thick, clipped), then each label's
text mask blended in float32 at its corner moved inside the frame, box after box."""
import numpy as np
import pytest
from PIL import Image, ImageDraw

from zelq.viz import boxes as bx
from zelq.viz import video_drawing
from zelq.viz.video_drawing import Painter

FIELDS = [("t", "<i8"), ("x", "<f8"), ("y", "<f8"), ("w", "<f8"), ("h", "<f8"), ("class_id", "<i8"),
          ("confidence", "<f4"), ("track_id", "<i8")]


def oracle_edge(v, size):
    margin = float(7 << 20)
    return round(min(max(v, -margin), size + margin))


def oracle_draw(frame, b, painter, predicted):
    H, W = frame.shape[:2]
    palette = bx.CLASS_COLOURS
    for i in range(len(b)):
        cid = int(b.class_id[i])
        colour = np.array(palette[cid % len(palette)], np.uint8)
        x, y = float(b.x[i]) * painter.sx, float(b.y[i]) * painter.sy
        c0, r0 = oracle_edge(x, W), oracle_edge(y, H)
        c1, r1 = oracle_edge(x + float(b.w[i]) * painter.sx, W), oracle_edge(y + float(b.h[i]) * painter.sy, H)
        if c0 < c1 and r0 < r1:
            for r in range(max(r0, 0), min(r1, H)):
                for c in range(max(c0, 0), min(c1, W)):
                    edge_r = r < r0 + painter.line or r >= r1 - painter.line
                    edge_c = c < c0 + painter.line or c >= c1 - painter.line
                    dash_r = not predicted or (c - c0) % 7 < 4
                    dash_c = not predicted or (r - r0) % 7 < 4
                    if (edge_r and dash_r) or (edge_c and dash_c):
                        frame[r, c] = colour
        name = painter.classes[cid] if 0 <= cid < len(painter.classes) else f"class {cid}"
        if predicted and b.confidence is not None:
            name += f" {b.confidence[i]:.2f}"
        if b.track_id is not None:
            name += f" #{b.track_id[i]}"
        _, _, right, bottom = painter.font.getbbox(name)
        mw, mh = int(right) + 2, int(bottom) + 2
        mask = Image.new("L", (mw, mh))
        ImageDraw.Draw(mask).text((1, 1), name, fill=255, font=painter.font)
        lx = max(0, min(c0, W - mw))
        ly = max(0, min(r0 - int(bottom) - 3, H - mh))
        w, h = min(mw, W - lx), min(mh, H - ly)
        if w > 0 and h > 0:
            alpha = np.asarray(mask, np.float32)[:h, :w, None] / np.float32(255)
            region = frame[ly:ly + h, lx:lx + w].astype(np.float32)
            region += alpha * (colour.astype(np.float32) - region)
            frame[ly:ly + h, lx:lx + w] = region.astype(np.uint8)


@pytest.mark.parametrize("size, scale, drop, atlas", [
    ((96, 64), (1.0, 1.0), (), None), ((40, 30), (2.0, 0.7), ("track_id",), 0),  # 0: masks rendered afresh each time
    ((160, 90), (0.5, 1.37), ("confidence",), None),
    ((3, 2), (64.0, 3.3), (), None),  # labels wider than the frame: cut
])
@pytest.mark.parametrize("predicted", [False, True])
def test_boxes_are_drawn_as_the_oracle_draws_them(monkeypatch, size, scale, drop, atlas, predicted):
    if atlas is not None:
        monkeypatch.setattr(video_drawing, "_ATLAS_BYTES", atlas)
    rng = np.random.default_rng(size[0] * 7 + predicted)
    W, H = size
    n = 30
    arr = np.zeros(n, FIELDS)
    arr["x"], arr["y"] = rng.uniform(-20, W / scale[0] + 20, n), rng.uniform(-20, H / scale[1] + 20, n)
    arr["w"], arr["h"] = rng.uniform(0, W / scale[0], n), rng.uniform(0, H / scale[1], n)
    arr["x"][:5] = np.round(arr["x"][:5]) + 0.5  # halves round to even
    arr["w"][5], arr["x"][6], arr["w"][6], arr["h"][7] = 1e308, -1e308, 3e38, 1e308  # far past the frame
    arr["class_id"] = rng.integers(-2, 12, n)
    arr["confidence"], arr["track_id"] = rng.random(n), rng.integers(0, 4, n)
    b = bx.boxes_of(arr[[f for f, _ in FIELDS if f not in drop]], "boxes")
    painter = Painter(W, H, scale[0], scale[1], ["car", "person", "a longer class"])
    base = rng.integers(0, 256, (H, W, 3), dtype=np.uint8)
    want = base.copy()
    oracle_draw(want, b, painter, predicted)
    got = base.copy()
    for lo in range(0, n, 8):  # frame after frame: labels rendered once, drawn from the atlas
        painter.boxes(got, b, range(lo, min(n, lo + 8)), predicted)
    np.testing.assert_array_equal(got, want)
