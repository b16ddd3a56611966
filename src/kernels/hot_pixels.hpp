// The local hot-pixel rule.
//
// Contract: given per-pixel event counts of a width x height sensor (row-major,
// index y * width + x), a pixel is hot when its count is at least kHotMin and at
// least kHotFactor times the median count of its eight neighbours; at a border
// only the neighbours that exist count (five at an edge, three in a corner).
// The median of an even number of counts is the mean of the two middle ones,
// compared exactly (no rounding); a pixel without neighbours (a 1 x 1 sensor)
// is never hot. A busy edge of the scene has busy
// neighbours; a stuck pixel does not.
#pragma once

#include <utility>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zv::kern {

inline constexpr uint64_t kHotMin = 16;
inline constexpr uint64_t kHotFactor = 10;

// Whether pixel (x, y) is hot by the local rule.
inline bool is_hot_pixel(const uint64_t* counts, int64_t width, int64_t height, int64_t x, int64_t y) {
    const uint64_t c = counts[y * width + x];
    if (c < kHotMin) return false;
    uint64_t around[8];
    int n = 0;
    for (int64_t dy = -1; dy <= 1; ++dy) {
        for (int64_t dx = -1; dx <= 1; ++dx) {
            const int64_t nx = x + dx, ny = y + dy;
            if ((dx == 0 && dy == 0) || nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
            around[n++] = counts[ny * width + nx];
        }
    }
    if (n == 0) return false;  // a 1 x 1 sensor: no neighbour to be hot against
    for (int i = 1; i < n; ++i)  // insertion sort: at most eight values
        for (int j = i; j > 0 && around[j - 1] > around[j]; --j) std::swap(around[j - 1], around[j]);
    // c >= factor * median, as 2c >= factor * (a + b) for an even count: exact in integers.
    const unsigned __int128 lhs = static_cast<unsigned __int128>(c) * 2;
    const unsigned __int128 mid = n % 2 ? static_cast<unsigned __int128>(around[n / 2]) * 2
                                        : static_cast<unsigned __int128>(around[n / 2 - 1]) + around[n / 2];
    return lhs >= mid * kHotFactor;
}

// Whether interior pixel i (eight neighbours, `width` a row) may be hot. The median of eight is at
// least half the fifth smallest, so a hot pixel's fifth smallest neighbour is at most a fifth of
// its count. Most pixels of a busy scene fail this at once, without a sort.
inline bool may_be_hot(const uint64_t* counts, int64_t width, int64_t i) {
    const uint64_t fifth = counts[i] / 5;
    const uint64_t* up = counts + i - width;
    const uint64_t* down = counts + i + width;
    const int low = (up[-1] <= fifth) + (up[0] <= fifth) + (up[1] <= fifth) + (counts[i - 1] <= fifth) +
                    (counts[i + 1] <= fifth) + (down[-1] <= fifth) + (down[0] <= fifth) + (down[1] <= fifth);
    return low >= 5;
}

// The hot pixels' indices (y * width + x), in index order.
inline std::vector<int64_t> hot_pixels(const uint64_t* counts, int64_t width, int64_t height) {
    std::vector<int64_t> hot;
    auto exact = [&](int64_t x, int64_t y) {
        if (counts[y * width + x] >= kHotMin && is_hot_pixel(counts, width, height, x, y)) hot.push_back(y * width + x);
    };
    for (int64_t y = 0; y < height; ++y) {
        if (y == 0 || y == height - 1 || width < 3) {
            for (int64_t x = 0; x < width; ++x) exact(x, y);
            continue;
        }
        exact(0, y);
        for (int64_t x = 1; x < width - 1; ++x) {
            const int64_t i = y * width + x;
            if (counts[i] >= kHotMin && may_be_hot(counts, width, i) && is_hot_pixel(counts, width, height, x, y))
                hot.push_back(i);
        }
        exact(width - 1, y);
    }
    return hot;
}

}  // namespace zv::kern
