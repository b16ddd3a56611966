// The page's overview: the decayed surface S_k = a * S_(k-1) + C_k over
// scale x scale cells, sampled into images every few frames. Decay is applied
// lazily, cell by cell, with a table of powers of a. No Python here.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZV_STREAM_AVX2 1
#endif

#include "kernels/memory.hpp"
#include "kernels/stream/accumulators.hpp"

namespace zv::kern::stream {

// Bit k set where p[k] is not zero, for k < n <= 64: a sparse image's non-zero bytes found
// without a mispredicted branch per byte.
inline uint64_t nonzero_bytes(const uint8_t* p, size_t n) {
    uint64_t zero = 0;
    size_t k = 0;
#if defined(__SSE2__)
    const __m128i z = _mm_setzero_si128();
    for (; k + 16 <= n; k += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
        zero |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, z)))) << k;
    }
#endif
    for (; k < n; ++k) zero |= static_cast<uint64_t>(p[k] == 0) << k;
    const uint64_t all = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
    return ~zero & all;
}

// The decayed surface S_k = a * S_(k-1) + C_k summed over scale x scale
// blocks (the sum of the pixels' recursions is the recursion of their sums).
// Decay is applied lazily: each cell remembers the frame it was last brought
// up to, so the cost is per event and per sample, not per frame.
class DecayedOverview {
public:
    DecayedOverview(size_t width, size_t height, size_t scale, double a)
        : scale_(scale), w_((width + scale - 1) / scale), h_((height + scale - 1) / scale),
          cells_(2 * w_ * h_), powers_(kTable), column_of_(width), row_of_(height) {
        for (size_t x = 0; x < width; ++x) column_of_[x] = x / scale;
        for (size_t y = 0; y < height; ++y) row_of_[y] = y / scale * w_;
        double p = 1.0;
        for (size_t d = 0; d < kTable; ++d, p *= a) powers_[d] = p;
        a_ = a;
    }

    void add(int64_t frame, const Event& e) { add(frame, cell_of(static_cast<size_t>(e.x), static_cast<size_t>(e.y), e.on), 1.0); }
    ZV_PREFETCH void prefetch(size_t x, size_t y, bool on) const { __builtin_prefetch(&cells_[cell_of(x, y, on)]); }

    // Rows [y0, y1) of frame `frame`'s count image, laid out as PNG scanlines (`stride` bytes a
    // row, pixels from byte 1: red OFF, green ON, blue 0), pixel by pixel in scan order. The
    // non-zero bytes of 64 at a time are found at once, so that a sparse image costs no
    // mispredicted branch per pixel; a cell's counts still arrive in the order of its pixels.
    void fold_rows(int64_t frame, const uint8_t* image, size_t stride, size_t width, size_t y0, size_t y1) {
        const size_t bytes = 3 * width;
        for (size_t y = y0; y < y1; ++y) {
            const uint8_t* row = image + stride * y + 1;
            const size_t cells = row_of_[y];
            for (size_t at = 0; at < bytes; at += 64) {
                for (uint64_t m = nonzero_bytes(row + at, std::min<size_t>(64, bytes - at)); m; m &= m - 1) {
                    const size_t j = at + static_cast<size_t>(std::countr_zero(m));
                    const size_t x = j / 3;
                    const bool on = j - 3 * x == 1;
                    add(frame, 2 * (cells + column_of_[x]) + on, row[j]);
                }
            }
        }
    }

    // `n` events of one pixel and polarity.
    void add_pixel(int64_t frame, size_t x, size_t y, bool on, double n) { add(frame, cell_of(x, y, on), n); }

    // `times` single events (n = 1) or taken-back ones (n = -1) of pixel channel `channel`
    // (pixel * 2 + on, `width` pixels a row), one at a time.
    void add_each(int64_t frame, uint32_t channel, uint64_t times, size_t width, double n) {
        const size_t pixel = channel / 2;
        const size_t c = cell_of(pixel % width, pixel / width, channel % 2);
        for (uint64_t k = 0; k < times; ++k) add(frame, c, n);
    }

    // The surface after frame `frame`: red OFF, green ON, min(255, floor(16 S + 0.5)).
    // An hour's page takes thousands of these on the counting thread: four cells at a time
    // where the CPU can, with the same arithmetic.
    void sample(int64_t frame, std::vector<uint8_t>& rgb) const {
        rgb.assign(3 * w_ * h_, 0);
        size_t c = 0;
#ifdef ZV_STREAM_AVX2
        static const bool avx2 = __builtin_cpu_supports("avx2");
        if (avx2) c = sample_avx2(frame, rgb.data());
#endif
        for (; c < cells_.size(); ++c) sample_cell(frame, c, rgb.data());
    }

    size_t width() const { return w_; }
    size_t height() const { return h_; }
    // Counts added so far, of any size and sign: unchanged, nothing has reached the surface.
    uint64_t adds() const { return adds_; }

private:
    size_t cell_of(size_t x, size_t y, bool on) const { return 2 * (row_of_[y] + column_of_[x]) + (on ? 1 : 0); }

    void add(int64_t frame, size_t c, double n) {
        Cell& cell = cells_[c];
        // The same frame again multiplies by powers_[0], exactly 1: no branch on it.
        const uint64_t d = static_cast<uint64_t>(frame - cell.last);
        cell.s = cell.s * (d < kTable ? powers_[d] : power(frame - cell.last)) + n;
        cell.last = frame;
        ++adds_;
    }

    static constexpr size_t kTable = 4096;
    double power(int64_t d) const {
        if (d <= 0) return 1.0;
        return static_cast<size_t>(d) < kTable ? powers_[static_cast<size_t>(d)] : std::pow(a_, static_cast<double>(d));
    }

    // Cell c's level into its byte of the image.
    void sample_cell(int64_t frame, size_t c, uint8_t* rgb) const {
        const Cell& cell = cells_[c];
        if (cell.s == 0.0) return;
        const double v = std::floor(16.0 * cell.s * power(frame - cell.last) + 0.5);
        rgb[3 * (c / 2) + (c % 2)] = v >= 255.0 ? 255 : static_cast<uint8_t>(v);
    }

#ifdef ZV_STREAM_AVX2
    // Cells [0, 4k) as sample_cell() takes them, four at a time; returns 4k. Four cells whose
    // powers lie past the table go one by one. A cell at zero comes out at zero either way.
    __attribute__((target("avx2"))) size_t sample_avx2(int64_t frame, uint8_t* rgb) const {
        static_assert(sizeof(Cell) == 16, "cells are (s, last) pairs of 8 bytes");
        const size_t n = cells_.size() / 4 * 4;
        const double* raw = reinterpret_cast<const double*>(cells_.data());
        const __m256d sixteen = _mm256_set1_pd(16.0), half = _mm256_set1_pd(0.5), top = _mm256_set1_pd(255.0);
        const __m256i now = _mm256_set1_epi64x(frame), zero = _mm256_setzero_si256();
        const __m256i table_end = _mm256_set1_epi64x(static_cast<long long>(kTable) - 1);
        for (size_t c = 0; c < n; c += 4) {
            const __m256d ab = _mm256_loadu_pd(raw + 2 * c), cd = _mm256_loadu_pd(raw + 2 * c + 4);
            const __m256d s = _mm256_unpacklo_pd(ab, cd);  // cells c, c+2, c+1, c+3
            const __m256i d = _mm256_sub_epi64(now, _mm256_castpd_si256(_mm256_unpackhi_pd(ab, cd)));
            if (_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(d, table_end)))) {
                for (size_t k = c; k < c + 4; ++k) sample_cell(frame, k, rgb);
                continue;
            }
            // d <= 0 reads powers_[0], exactly 1, as power() gives
            const __m256i at = _mm256_and_si256(d, _mm256_cmpgt_epi64(d, zero));
            const __m256d p = _mm256_i64gather_pd(powers_.data(), at, 8);
            const __m256d v = _mm256_min_pd(_mm256_floor_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(sixteen, s), p), half)), top);
            alignas(16) int32_t out[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(out), _mm256_cvttpd_epi32(v));
            const size_t pixel = c / 2;  // cells c, c+1 are pixel's OFF and ON; c+2, c+3 the next pixel's
            rgb[3 * pixel] = static_cast<uint8_t>(out[0]);
            rgb[3 * pixel + 3] = static_cast<uint8_t>(out[1]);
            rgb[3 * pixel + 1] = static_cast<uint8_t>(out[2]);
            rgb[3 * pixel + 4] = static_cast<uint8_t>(out[3]);
        }
        return n;
    }
#endif

    size_t scale_, w_, h_;
    // A cell's surface and the frame it was last brought up to, side by side: one cache line per event.
    struct Cell {
        double s = 0.0;
        int64_t last = 0;
    };
    HugePageVector<Cell> cells_;
    std::vector<double> powers_;
    std::vector<size_t> column_of_, row_of_;  // pixel -> cell, without a division per event
    double a_ = 0.0;
    uint64_t adds_ = 0;
};

}  // namespace zv::kern::stream
