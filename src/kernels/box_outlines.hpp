// Box outlines and their text labels drawn into an RGB frame, clipped to it.
//
// Contract: the frame is height x width pixels of 3 bytes, row-major. A box's
// outline covers the pixel columns c0 <= c < c1 and rows r0 <= r < r1 (edges may
// lie far outside the frame; only what the frame shows is drawn): a border
// `line` pixels thick in one colour, solid or dashed (runs of 4 pixels on and
// 3 off, counted from the box's own corner). A box that is empty or wholly
// outside draws no outline. Its label, a width x height mask of 8-bit coverage,
// is then laid with its corner at (c0, r0 - lift), moved inside the frame and
// cut to it, and blended in float32 as frame + m / 255 * (colour - frame),
// truncated to a byte; pixels of coverage 0 keep their value. Boxes draw in
// order, so a later box covers an earlier one's label.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zv::kern {

struct RgbFrame {
    uint8_t* px = nullptr;
    int64_t width = 0, height = 0;

    void put(int64_t row, int64_t col, const uint8_t* colour) { std::memcpy(px + 3 * (row * width + col), colour, 3); }
};

// A label's coverage: a width x height mask of which only the part at (dx, dy),
// tw x th in size, holds coverage above 0 and is stored (row-major).
struct LabelMask {
    const uint8_t* coverage = nullptr;
    int64_t width = 0, height = 0, lift = 0;
    int64_t dx = 0, dy = 0, tw = 0, th = 0;
};

inline void draw_outline(RgbFrame& f, int64_t c0, int64_t r0, int64_t c1, int64_t r1, const uint8_t* colour,
                         bool dashed, int64_t line) {
    const int64_t w = f.width, h = f.height;
    if (c1 <= c0 || r1 <= r0 || c1 <= 0 || r1 <= 0 || c0 >= w || r0 >= h) return;
    const int64_t col_lo = std::max<int64_t>(c0, 0), col_hi = std::min(c1, w);
    const int64_t row_lo = std::max<int64_t>(r0, 0), row_hi = std::min(r1, h);
    const auto on = [dashed](int64_t i, int64_t from) { return !dashed || (i - from) % 7 < 4; };
    const auto row = [&](int64_t r) {
        if (r < 0 || r >= h) return;
        for (int64_t c = col_lo; c < col_hi; ++c)
            if (on(c, c0)) f.put(r, c, colour);
    };
    const auto column = [&](int64_t c) {
        if (c < 0 || c >= w) return;
        for (int64_t r = row_lo; r < row_hi; ++r)
            if (on(r, r0)) f.put(r, c, colour);
    };
    for (int64_t r = r0; r < r0 + line; ++r) row(r);
    for (int64_t r = r1 - line; r < r1; ++r) row(r);
    for (int64_t c = c0; c < c0 + line; ++c) column(c);
    for (int64_t c = c1 - line; c < c1; ++c) column(c);
}

// m / 255 in float32 for each coverage m, as the blend takes it.
inline const std::array<float, 256> kShare = [] {
    std::array<float, 256> s{};
    for (int i = 0; i < 256; ++i) s[static_cast<size_t>(i)] = static_cast<float>(i) / 255.0f;
    return s;
}();

inline void blend_label(RgbFrame& f, const LabelMask& m, int64_t x, int64_t y, const uint8_t* colour) {
    x = std::max<int64_t>(0, std::min(x, f.width - m.width));
    y = std::max<int64_t>(0, std::min(y, f.height - m.height));
    const int64_t w = std::min(m.width, f.width - x), h = std::min(m.height, f.height - y);
    if (w <= 0 || h <= 0) return;
    const int64_t c_end = std::min(m.dx + m.tw, w), r_end = std::min(m.dy + m.th, h);
    if (c_end <= m.dx || r_end <= m.dy) return;
    const int64_t span = 3 * (c_end - m.dx);
    // A row's shares and targets channel by channel, so that the blend runs as one
    // straight loop the compiler vectorises; a share of 0 leaves the byte as it is.
    constexpr int64_t kMaxSpan = 3 * 4096;
    float share[kMaxSpan], target[kMaxSpan];
    for (int64_t j = 0; j < std::min(span, kMaxSpan); ++j) target[j] = float(colour[j % 3]);
    for (int64_t r = m.dy; r < r_end; ++r) {
        const uint8_t* cover = m.coverage + (r - m.dy) * m.tw;
        uint8_t* px = f.px + 3 * ((y + r) * f.width + x + m.dx);
        for (int64_t done = 0; done < span; done += kMaxSpan) {
            const int64_t k = std::min(kMaxSpan, span - done);
            const uint8_t* from = cover + done / 3;
            for (int64_t c = 0; c < k / 3; ++c) share[3 * c] = share[3 * c + 1] = share[3 * c + 2] = kShare[from[c]];
            uint8_t* p = px + done;
            for (int64_t j = 0; j < k; ++j) {
                const float v = float(p[j]);
                const float moved = share[j] * (target[j] - v);
                p[j] = static_cast<uint8_t>(v + moved);
            }
        }
    }
}

// One set of boxes: per box the edges (c0, r0, c1, r1), an RGB colour and the
// index of its label mask (negative: none).
struct BoxDrawing {
    const int64_t* edges = nullptr;
    const uint8_t* colours = nullptr;
    const int64_t* label = nullptr;
    size_t n = 0;
    bool dashed = false;
    int64_t line = 1;
};

inline void draw_boxes(RgbFrame& f, const BoxDrawing& b, const LabelMask* masks) {
    for (size_t k = 0; k < b.n; ++k) {
        const int64_t* e = b.edges + 4 * k;
        const uint8_t* colour = b.colours + 3 * k;
        draw_outline(f, e[0], e[1], e[2], e[3], colour, b.dashed, b.line);
        if (b.label[k] >= 0) {
            const LabelMask& m = masks[b.label[k]];
            blend_label(f, m, e[0], e[1] - m.lift, colour);
        }
    }
}

}  // namespace zv::kern
