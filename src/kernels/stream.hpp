// The streaming event engine: decoded records go straight into small
// accumulators (rate timeline, per-pixel counts, per-row raster, frame counts
// at a frame period, a decayed overview surface), so a recording of any length
// is summarised in memory that depends on the sensor, never on the event count.
// Completed frames leave the engine as they finish: as count images for a
// page (PNG-encoded on a worker thread, spooled to a file within a byte
// budget) or rendered through decay, tone curve and palette for a video.
// Rules: docs/recording-document.md. No Python here.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZV_STREAM_AVX2 1
#endif

#include "kernels/base64.hpp"
#include "kernels/evt.hpp"
#include "kernels/png.hpp"

namespace zv::kern::stream {

// A prefetch has no effect the compiler can see: a function made only of one is found
// pure and its calls dropped, unless it is inlined first.
#define ZV_PREFETCH inline __attribute__((always_inline))

// One decoded event, read from a packed 13-byte record.
struct Event {
    int64_t t;
    int64_t x, y;
    bool on;
};

inline Event read_record(const uint8_t* rec) {
    int16_t x, y;
    int64_t t;
    int8_t p;
    std::memcpy(&x, rec, 2);
    std::memcpy(&y, rec + 2, 2);
    std::memcpy(&t, rec + 4, 8);
    std::memcpy(&p, rec + 12, 1);
    return {t, x, y, p > 0};
}

// Extent, counts and the peak of events per 10 ms bin from the first event, of
// the events a pass counts (a page, a summary). Times arrive mostly in order:
// one running bin, found again (one division) only when a time leaves it.
class ExtentCounts {
public:
    void note(const Event& e) {
        if (!have_events_) {
            t_first_ = t_last_ = t_first_seen_ = e.t;
            have_events_ = true;
        }
        t_first_ = std::min(t_first_, e.t);
        t_last_ = std::max(t_last_, e.t);
        ++count_;
        on_count_ += e.on;
        if (e.t < rate_lo_ || e.t >= rate_hi_) {
            const int64_t bin = (e.t - t_first_seen_) / 10000;
            if (bin != rate_bin_) {
                peak_ = std::max(peak_, rate_count_);
                rate_bin_ = bin;
                rate_count_ = 0;
            }
            // A time before the first event (out of order) shares bin 0 by truncation: no span kept.
            rate_lo_ = e.t < t_first_seen_ ? 0 : t_first_seen_ + bin * 10000;
            rate_hi_ = e.t < t_first_seen_ ? 0 : rate_lo_ + 10000;
        }
        ++rate_count_;
    }

    bool have_events() const { return have_events_; }
    int64_t t_first() const { return t_first_; }
    int64_t t_last() const { return t_last_; }
    int64_t count() const { return count_; }
    int64_t on_count() const { return on_count_; }
    int64_t peak_10ms() const { return std::max(peak_, rate_count_); }

private:
    bool have_events_ = false;
    int64_t t_first_ = 0, t_last_ = 0, t_first_seen_ = 0, count_ = 0, on_count_ = 0;
    int64_t rate_bin_ = -1, rate_count_ = 0, peak_ = 0;
    int64_t rate_lo_ = 0, rate_hi_ = 0;  // the running bin's span; empty until the first event
};

// Base64 text of PNGs of packed RGB images. Its buffers are reused from image
// to image: one writer per thread.
class PngWriter {
public:
    std::string base64(const uint8_t* rgb, size_t width, size_t height) {
        rows_.resize(png_scanline_bytes(width, height));
        png_scanlines(rgb, width, height, static_cast<std::ptrdiff_t>(3 * width), 3, 1, rows_.data());
        return base64_scanlines(rows_.data(), width, height);
    }

    // The same of an image already laid out as PNG scanlines (png_scanline_bytes(width, height) bytes).
    // `zeros`: spans known to be zero, if any.
    std::string base64_scanlines(const uint8_t* rows, size_t width, size_t height, const ZeroSpans* zeros = nullptr) {
        const auto [z, n] = zlib_.compress(rows, png_scanline_bytes(width, height), zeros);
        const std::string png = png_file(static_cast<uint32_t>(width), static_cast<uint32_t>(height), z, n);
        std::string text(b64::encoded_size(png.size()), '\0');
        b64::encode(reinterpret_cast<const uint8_t*>(png.data()), png.size(), text.data());
        return text;
    }

private:
    std::vector<uint8_t> rows_;
    ZlibWriter zlib_;
};

inline std::string png_base64(const uint8_t* rgb, size_t width, size_t height) {
    return PngWriter().base64(rgb, width, height);
}

// Counts in `rows` rows of `bins` time bins of `bin_us` from offset 0, stored
// bin-major so that events close in time touch one small block whatever their row.
class TimeBins {
public:
    TimeBins(size_t rows, int64_t bin_us, size_t bins)
        : rows_(rows), bin_us_(bin_us), bins_(bins), data_(rows * bins, 0) {}

    void add(int64_t offset, size_t row) {
        if (offset < lo_ || offset >= hi_) {  // times mostly rise: one division per bin, not per event
            const int64_t i = offset / bin_us_;
            lo_ = i * bin_us_;
            hi_ = lo_ + bin_us_;
            at_ = static_cast<size_t>(i) < bins_ ? static_cast<size_t>(i) * rows_ : kNowhere;
        }
        if (at_ == kNowhere) return;
        uint32_t& c = data_[at_ + row];
        if (c != UINT32_MAX) ++c;
    }

    size_t bins() const { return bins_; }
    size_t rows() const { return rows_; }
    uint32_t at(size_t row, size_t i) const { return data_[i * rows_ + row]; }

private:
    static constexpr size_t kNowhere = SIZE_MAX;
    size_t rows_;
    int64_t bin_us_;
    size_t bins_;
    std::vector<uint32_t> data_;
    int64_t lo_ = 0, hi_ = 0;  // the cached bin's span; empty until the first event
    size_t at_ = kNowhere;
};

// ON and OFF events per pixel over everything decoded.
class PixelCounts {
public:
    PixelCounts(size_t width, size_t height) : on_(width * height, 0), off_(width * height, 0), width_(width) {}
    void add(const Event& e) { add(static_cast<size_t>(e.y) * width_ + static_cast<size_t>(e.x), e.on); }
    void add(size_t pixel, bool on) {
        uint32_t& c = (on ? on_.data() : off_.data())[pixel];
        c += c != UINT32_MAX;
    }
    ZV_PREFETCH void prefetch(size_t pixel, bool on) const { __builtin_prefetch(&(on ? on_ : off_)[pixel]); }
    void merge(const PixelCounts& other) {
        for (size_t i = 0; i < on_.size(); ++i) {
            on_[i] = saturated(on_[i], other.on_[i]);
            off_[i] = saturated(off_[i], other.off_[i]);
        }
    }
    const std::vector<uint32_t>& on() const { return on_; }
    const std::vector<uint32_t>& off() const { return off_; }

private:
    static uint32_t saturated(uint32_t a, uint32_t b) { return a > UINT32_MAX - b ? UINT32_MAX : a + b; }
    std::vector<uint32_t> on_, off_;
    size_t width_;
};

// The counts of one frame as an RGB image: red OFF, green ON, clipped to 255.
class FrameCounts {
public:
    FrameCounts(size_t width, size_t height) : rgb_(width * height * 3, 0), width_(width) {}
    void add(const Event& e) {
        uint8_t& c = rgb_[3 * (static_cast<size_t>(e.y) * width_ + static_cast<size_t>(e.x)) + (e.on ? 1 : 0)];
        if (c != 255) ++c;
    }
    ZV_PREFETCH void prefetch(size_t pixel, bool on) const { __builtin_prefetch(&rgb_[3 * pixel + (on ? 1 : 0)]); }
    std::vector<uint8_t>& rgb() { return rgb_; }
    void clear() { std::fill(rgb_.begin(), rgb_.end(), uint8_t{0}); }

private:
    std::vector<uint8_t> rgb_;
    size_t width_;
};

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

private:
    size_t cell_of(size_t x, size_t y, bool on) const { return 2 * (row_of_[y] + column_of_[x]) + (on ? 1 : 0); }

    // Bit k set where p[k] is not zero, for k < n <= 64.
    static uint64_t nonzero_bytes(const uint8_t* p, size_t n) {
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
    void add(int64_t frame, size_t c, double n) {
        Cell& cell = cells_[c];
        // The same frame again multiplies by powers_[0], exactly 1: no branch on it.
        const uint64_t d = static_cast<uint64_t>(frame - cell.last);
        cell.s = cell.s * (d < kTable ? powers_[d] : power(frame - cell.last)) + n;
        cell.last = frame;
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
    std::vector<Cell> cells_;
    std::vector<double> powers_;
    std::vector<size_t> column_of_, row_of_;  // pixel -> cell, without a division per event
    double a_ = 0.0;
};

// What a frame shows: S = a S + C per pixel and polarity, level = 1 - exp(-S / gain),
// colour = background + level_on (on - background) + level_off (off - background),
// clamped and rounded; each pixel drawn as scale x scale output pixels.
struct Palette {
    double background[3], on[3], off[3];
};

class FrameRenderer {
public:
    FrameRenderer(size_t width, size_t height, double a, double gain, const Palette& palette, size_t scale)
        : width_(width), height_(height), scale_(scale), a_(a), gain_(gain), palette_(palette),
          s_(2 * width * height, 0.0) {
        for (int ch = 0; ch < 3; ++ch) {
            const double b = palette.background[ch];
            reach_on_ = std::max(reach_on_, std::abs(palette.on[ch] - b));
            reach_off_ = std::max(reach_off_, std::abs(palette.off[ch] - b));
            background_[ch] = static_cast<uint8_t>(std::floor(std::clamp(b, 0.0, 255.0) + 0.5));
        }
    }

    size_t out_width() const { return width_ * scale_; }
    size_t out_height() const { return height_ * scale_; }

    // One frame from its count image (red OFF, green ON) into out (out_height x out_width x 3).
    void render(const uint8_t* counts, uint8_t* out) {
        const size_t ow = out_width();
        std::vector<uint8_t> row(3 * width_);
        for (size_t y = 0; y < height_; ++y) {
            for (size_t x = 0; x < width_; ++x) {
                const size_t i = y * width_ + x;
                double& s_on = s_[2 * i];
                double& s_off = s_[2 * i + 1];
                s_on = a_ * s_on + counts[3 * i + 1];
                s_off = a_ * s_off + counts[3 * i];
                // level <= S / gain, so a surface this faint moves no channel by half a step.
                if ((s_on * reach_on_ + s_off * reach_off_) < 0.5 * gain_) {
                    std::memcpy(&row[3 * x], background_, 3);
                    continue;
                }
                const double l_on = s_on == 0.0 ? 0.0 : 1.0 - std::exp(-s_on / gain_);
                const double l_off = s_off == 0.0 ? 0.0 : 1.0 - std::exp(-s_off / gain_);
                for (int ch = 0; ch < 3; ++ch) {
                    const double b = palette_.background[ch];
                    const double v = b + l_on * (palette_.on[ch] - b) + l_off * (palette_.off[ch] - b);
                    row[3 * x + ch] = static_cast<uint8_t>(std::floor(std::clamp(v, 0.0, 255.0) + 0.5));
                }
            }
            for (size_t ry = 0; ry < scale_; ++ry) {
                uint8_t* dst = out + ((y * scale_ + ry) * ow) * 3;
                if (scale_ == 1) {
                    std::memcpy(dst, row.data(), row.size());
                    continue;
                }
                for (size_t x = 0; x < width_; ++x)
                    for (size_t rx = 0; rx < scale_; ++rx) std::memcpy(dst + 3 * (x * scale_ + rx), &row[3 * x], 3);
            }
        }
    }

private:
    size_t width_, height_, scale_;
    double a_, gain_;
    Palette palette_;
    std::vector<double> s_;
    double reach_on_ = 0.0, reach_off_ = 0.0;  // the most a fully lit pixel moves a channel
    uint8_t background_[3] = {0, 0, 0};
};

// A run of full-rate frames on the frame grid: frames [first, end), the first
// `lead` of them lead-in only.
struct Segment {
    int64_t first = 0, lead = 0, end = 0;
};

// How a page's frame count images are laid out and split: PNG scanlines (a filter byte 0,
// then red OFF, green ON, blue 0 per pixel) in bands of whole rows, so small that a band's
// image, pixel counts and overview cells stay in a core's cache while its events are added.
// A band holds whole overview cells (its rows are a multiple of the overview's scale).
struct FrameBands {
    static constexpr size_t kBandBytes = size_t(48) << 10;

    FrameBands(size_t width, size_t height, size_t cell_rows)
        : width(width), height(height), row_bytes(1 + 3 * width), band_of(height), key_base(height) {
        const size_t fit = std::max<size_t>(1, kBandBytes / row_bytes / cell_rows);
        band_rows = std::min(std::max<size_t>(cell_rows, fit * cell_rows), std::max<size_t>(height, 1));
        bands = (height + band_rows - 1) / band_rows;
        for (size_t y = 0; y < height; ++y) {
            band_of[y] = static_cast<uint32_t>(y / band_rows);
            key_base[y] = static_cast<uint32_t>(y % band_rows) << kRowShift;
        }
    }

    size_t first_row(size_t b) const { return b * band_rows; }
    size_t end_row(size_t b) const { return std::min(height, (b + 1) * band_rows); }

    // An event as a key of its band: row in the band, x, polarity, and whether it counts
    // beyond the frame's image (its time is in the decoded span).
    static constexpr int kRowShift = 18;
    uint32_t key(size_t x, size_t y, bool on, bool counts) const {
        return key_base[y] | static_cast<uint32_t>(x) << 2 | static_cast<uint32_t>(on) << 1 | static_cast<uint32_t>(counts);
    }
    // The byte a key's event counts in, from its band's first byte (past the row's filter byte).
    size_t byte_of(uint32_t key) const {
        return (key >> kRowShift) * row_bytes + 1 + 3 * ((key >> 2) & 0xFFFF) + ((key >> 1) & 1);
    }

    size_t width, height, row_bytes, band_rows = 1, bands = 0;
    std::vector<uint32_t> band_of, key_base;  // per row
};

// Events of one pixel channel (pixel * 2 + on) each, kept as a list and, past a length, as
// (channel, times) runs in channel order: a frame's own record of what its image clipped or
// must not count, bounded whatever the frame holds.
class ChannelTally {
public:
    void add(uint32_t channel) {
        list_.push_back(channel);
        if (list_.size() >= kCompactAt) compact();
    }
    bool empty() const { return list_.empty() && runs_.empty(); }
    // Each channel with its number of events, in channel order.
    template <typename F>
    void each(F&& f) {
        compact();
        for (const auto& [channel, times] : runs_) f(channel, times);
    }
    void clear() {
        list_.clear();
        runs_.clear();
    }

private:
    static constexpr size_t kCompactAt = size_t(1) << 16;
    void compact() {
        if (list_.empty()) return;
        std::sort(list_.begin(), list_.end());
        std::vector<std::pair<uint32_t, uint64_t>> merged;
        merged.reserve(runs_.size() + list_.size());
        size_t r = 0;
        for (size_t i = 0; i < list_.size();) {
            size_t j = i;
            while (j < list_.size() && list_[j] == list_[i]) ++j;
            for (; r < runs_.size() && runs_[r].first < list_[i]; ++r) merged.push_back(runs_[r]);
            uint64_t times = j - i;
            if (r < runs_.size() && runs_[r].first == list_[i]) times += runs_[r++].second;
            merged.emplace_back(list_[i], times);
            i = j;
        }
        merged.insert(merged.end(), runs_.begin() + static_cast<std::ptrdiff_t>(r), runs_.end());
        runs_.swap(merged);
        list_.clear();
    }
    std::vector<uint32_t> list_;
    std::vector<std::pair<uint32_t, uint64_t>> runs_;
};

// One frame of a page on its way to a PNG: the events the counting thread gave it, as keys
// per band, and its count image, which they reach band by band on the encoder's thread (or
// on the counting thread, all at once, when a frame holds too many to keep as keys). The
// image is not zeroed when a frame is done, but band by band as the next one fills it.
class FrameBuffer {
public:
    explicit FrameBuffer(const FrameBands& bands)
        : image_(png_scanline_bytes(bands.width, bands.height), 0), keys_(bands.bands), applied_(bands.bands, 0),
          held_(bands.bands, 0), live_(bands.bands, 0), whole_(bands.bands, 0), rows_(bands.height, 0),
          written_(bands.bands) {}

    void push(const FrameBands& bands, size_t x, size_t y, bool on, bool counts) {
        keys_[bands.band_of[y]].push_back(bands.key(x, y, on, counts));
        ++keys_held_;
    }
    // Keys not yet in the image.
    size_t keys_held() const { return keys_held_; }

    // Adds band b's keys not yet added to the image, clipped at 255. With `fold` (a frame whose
    // events reach the pixel counts and the overview through it), each event that counts goes
    // to `counted(pixel, on)`, and to `more` where the image clipped it; one that does not but
    // is in the image goes to `less`. The keys stay (they say where the frame wrote) unless
    // `keep` is false: the band then counts as written all over.
    template <typename Counted>
    void apply(const FrameBands& bands, size_t b, bool fold, Counted&& counted, bool keep = true) {
        prepare(bands, b);
        std::vector<uint32_t>& keys = keys_[b];
        if (keys.size() == applied_[b]) return;
        held_[b] = 1;
        const size_t y0 = bands.first_row(b), stride = bands.row_bytes;
        uint8_t* band = image_.data() + y0 * stride;
        uint8_t* rows = rows_.data() + y0;
        const uint32_t* first = keys.data() + applied_[b];
        const uint32_t* end = keys.data() + keys.size();
        if (!fold) {
            for (const uint32_t* p = first; p != end; ++p) {
                const uint32_t k = *p;
                rows[k >> FrameBands::kRowShift] = 1;
                uint8_t& c = band[bands.byte_of(k)];
                c += c != 255;
            }
        } else {
            const size_t first_pixel = y0 * bands.width;
            // A sparse frame's bytes are far apart and out of the cache: ask for the first few
            // at once, then each some keys ahead.
            auto fetch = [&](uint32_t a) { __builtin_prefetch(band + bands.byte_of(a)); };
            for (const uint32_t* p = first; p != end && p - first < kAhead; ++p) fetch(*p);
            for (const uint32_t* p = first; p != end; ++p) {
                if (end - p > kAhead) fetch(p[kAhead]);
                const uint32_t k = *p;
                const size_t row = k >> FrameBands::kRowShift, x = (k >> 2) & 0xFFFF;
                const bool on = (k >> 1) & 1, counts = k & 1;
                rows[row] = 1;
                uint8_t& c = band[bands.byte_of(k)];
                const size_t pixel = first_pixel + row * bands.width + x;
                if (c != 255) {
                    ++c;
                    if (!counts) less_.add(static_cast<uint32_t>(2 * pixel + on));
                } else if (counts) {
                    more_.add(static_cast<uint32_t>(2 * pixel + on));
                }
                if (counts) counted(pixel, on);
            }
        }
        keys_held_ -= static_cast<size_t>(end - first);
        if (keep) {
            applied_[b] = keys.size();
        } else {
            keys.clear();
            applied_[b] = 0;
            whole_[b] = 1;
        }
    }
    // Every band's keys into the image now, and dropped (a frame too crowded to keep them).
    void apply_all(const FrameBands& bands, PixelCounts* counts) {
        for (size_t b = 0; b < bands.bands; ++b)
            apply(bands, b, counts != nullptr, [counts](size_t pixel, bool on) { counts->add(pixel, on); }, false);
    }

    // Band b of the image made this frame's: zeroed where an earlier frame left counts, just
    // before its events arrive, so that its lines are in the cache when they do.
    void prepare(const FrameBands& bands, size_t b) {
        if (live_[b]) return;
        live_[b] = 1;
        if (!held_[b]) return;
        const size_t y0 = bands.first_row(b);
        std::memset(image_.data() + y0 * bands.row_bytes, 0, (bands.end_row(b) - y0) * bands.row_bytes);
        held_[b] = 0;
    }

    // Band b holds events of this frame (once prepared).
    bool dirty(size_t b) const { return held_[b] != 0; }
    // Band b's events are all in its keys (none went in without them), and they are few
    // beside its pixels: work in proportion to them beats a pass over the band.
    bool sparse(const FrameBands& bands, size_t b) const {
        return !whole_[b] && keys_[b].size() * 256 < (bands.end_row(b) - bands.first_row(b)) * bands.row_bytes;
    }
    // The bytes a sparse band's events wrote (offsets from the band's first byte), each once,
    // in order; made once the band is filled.
    const std::vector<uint32_t>& written(const FrameBands& bands, size_t b) {
        std::vector<uint32_t>& at = written_[b];
        if (!at.empty() || keys_[b].empty()) return at;
        for (const uint32_t k : keys_[b]) at.push_back(static_cast<uint32_t>(bands.byte_of(k)));
        std::sort(at.begin(), at.end());
        at.erase(std::unique(at.begin(), at.end()), at.end());
        return at;
    }
    const uint8_t* image() const { return image_.data(); }
    ChannelTally& more() { return more_; }
    ChannelTally& less() { return less_; }

    // Byte spans of the image known to be zero: bands without events, the gaps of 64 bytes or
    // more between the bytes a sparse band wrote, and the rows of other bands without events.
    void zero_spans(const FrameBands& bands, ZeroSpans& out) {
        out.clear();
        const size_t stride = bands.row_bytes;
        auto zero = [&out](size_t first, size_t end) {
            if (end <= first) return;
            if (!out.empty() && out.back().second == first)
                out.back().second = end;
            else
                out.emplace_back(first, end);
        };
        for (size_t b = 0; b < bands.bands; ++b) {
            const size_t begin = bands.first_row(b) * stride, end = bands.end_row(b) * stride;
            if (!held_[b]) {
                zero(begin, end);
            } else if (sparse(bands, b)) {
                size_t from = begin;
                for (const uint32_t at : written(bands, b)) {
                    if (begin + at >= from + 64) zero(from, begin + at);
                    from = begin + at + 1;
                }
                if (end >= from + 64) zero(from, end);
            } else {
                for (size_t y = bands.first_row(b); y < bands.end_row(b); ++y)
                    if (!rows_[y]) zero(y * stride, (y + 1) * stride);
            }
        }
    }

    // Ready for the next frame. A band with few events has them zeroed now, one byte each;
    // others are zeroed as the next frame prepares them.
    void reset(const FrameBands& bands) {
        for (size_t b = 0; b < bands.bands; ++b) {
            const size_t y0 = bands.first_row(b), stride = bands.row_bytes;
            if (held_[b] && sparse(bands, b)) {
                uint8_t* base = image_.data() + y0 * stride;
                for (const uint32_t k : keys_[b]) {
                    base[bands.byte_of(k)] = 0;
                    rows_[y0 + (k >> FrameBands::kRowShift)] = 0;
                }
                held_[b] = 0;
            } else if (held_[b]) {
                std::fill(rows_.begin() + static_cast<std::ptrdiff_t>(y0),
                          rows_.begin() + static_cast<std::ptrdiff_t>(bands.end_row(b)), uint8_t{0});
            }
            keys_[b].clear();
            written_[b].clear();
            applied_[b] = 0;
            whole_[b] = 0;
            live_[b] = 0;
        }
        keys_held_ = 0;
        more_.clear();
        less_.clear();
    }

private:
    static constexpr std::ptrdiff_t kAhead = 16;  // keys between a prefetch and its use
    std::vector<uint8_t> image_;
    std::vector<std::vector<uint32_t>> keys_;
    std::vector<size_t> applied_;  // per band: keys already in the image
    std::vector<uint8_t> held_;    // per band: the image may hold counts (of this frame once live)
    std::vector<uint8_t> live_;    // per band: prepared for the current frame
    std::vector<uint8_t> whole_;   // per band: events went into the image whose keys are gone
    std::vector<uint8_t> rows_;    // per row: events of this frame
    std::vector<std::vector<uint32_t>> written_;  // per sparse band: see written()
    size_t keys_held_ = 0;
    ChannelTally more_, less_;
};

// Base64 PNGs of finished frames, written to a spool file in frame order by worker threads,
// while the byte budget lasts. A frame's events reach its image (and, for a frame that folds,
// the pixel counts and the overview) one frame at a time in frame order; the PNGs are made
// side by side. Buffers come back zeroed.
class FrameEncoder {
public:
    FrameEncoder(size_t width, size_t height, size_t cell_rows, std::FILE* spool, int64_t budget, size_t buffers,
                 size_t workers = 2)
        : bands_(width, height, cell_rows), spool_(spool), budget_(budget), folded_(width, height),
          pending_(bands_.bands) {
        for (size_t i = 0; i < buffers; ++i) free_.push_back(std::make_unique<FrameBuffer>(bands_));
        for (size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { run(); });
    }
    ~FrameEncoder() { close(); }

    const FrameBands& bands() const { return bands_; }

    // A zeroed buffer to count the next frame in; waits while all are in flight.
    std::unique_ptr<FrameBuffer> take() {
        std::unique_lock lock(mu_);
        free_cv_.wait(lock, [this] { return !free_.empty(); });
        std::unique_ptr<FrameBuffer> b = std::move(free_.front());
        free_.pop_front();
        return b;
    }

    // `fold`: the frame's events that count also go into folded(), and with an overview to fold
    // into, frame `frame` (the overview's grid) reaches it through its image, in frame order.
    void submit(int64_t segment, std::unique_ptr<FrameBuffer>&& frame_buffer, bool fold = false, int64_t frame = 0) {
        std::lock_guard lock(mu_);
        jobs_.push_back({submitted_++, segment, std::move(frame_buffer), fold, frame});
        work_cv_.notify_one();
    }

    void fold_overview_into(DecayedOverview* overview) { overview_ = overview; }

    // Waits until every submitted frame is folded: the overview is then the caller's until the
    // next submit. Their PNGs may still be on their way.
    void wait_folded() {
        std::unique_lock lock(mu_);
        turn_cv_.wait(lock, [this] { return filled_ == submitted_; });
    }

    // Per-pixel counts of the folded frames; final after close().
    const PixelCounts& folded() const { return folded_; }

    // Waits for the queued frames; afterwards accepted() and bytes() are final.
    void close() {
        {
            std::lock_guard lock(mu_);
            if (closed_) return;
            closed_ = true;
            work_cv_.notify_all();
        }
        for (std::thread& w : workers_) w.join();
        count_pending();
    }

    bool full() const { return full_.load(std::memory_order_relaxed); }
    // Bytes of the budget kept for the overview, revised as its images arrive: for the frames
    // submitted from now on, whenever the frames before them are committed.
    void reserve(int64_t bytes) {
        std::lock_guard lock(mu_);
        reserves_.emplace_back(submitted_, bytes);
    }
    int64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    bool failed() const { return failed_; }
    // Accepted frames: (segment, base64 length) in spool order.
    const std::vector<std::pair<int64_t, int64_t>>& accepted() const { return accepted_; }

private:
    struct Job {
        int64_t seq = 0;
        int64_t segment = 0;
        std::unique_ptr<FrameBuffer> buffer;
        bool fold = false;
        int64_t frame = 0;
    };

    void wait_turn(const int64_t& counter, int64_t seq) {
        std::unique_lock lock(mu_);
        turn_cv_.wait(lock, [&] { return counter == seq; });
    }
    void next_turn(int64_t& counter) {
        std::lock_guard lock(mu_);
        ++counter;
        turn_cv_.notify_all();
    }

    // The frame's events into its image band by band; for a frame that folds, each band's rows
    // into the overview while they are in the cache, then the single events it clipped or
    // must not count, all of them more before any less, as a cell's sum needs.
    void fill(Job& job) {
        FrameBuffer& f = *job.buffer;
        DecayedOverview* overview = job.fold ? overview_ : nullptr;
        for (size_t b = 0; b < bands_.bands; ++b) {
            std::vector<uint32_t>& pending = pending_[b];
            const size_t first_pixel = bands_.first_row(b) * bands_.width;
            f.prepare(bands_, b);
            f.apply(bands_, b, job.fold, [&](size_t pixel, bool on) {
                pending.push_back(static_cast<uint32_t>(2 * (pixel - first_pixel) + on));
            });
            if (overview && f.dirty(b)) {
                if (f.sparse(bands_, b))
                    fold_keys(*overview, job.frame, f, b);
                else
                    overview->fold_rows(job.frame, f.image(), bands_.row_bytes, bands_.width, bands_.first_row(b),
                                        bands_.end_row(b));
            }
        }
        if (job.fold) {
            pending_held_ = 0;
            for (const std::vector<uint32_t>& p : pending_) pending_held_ += p.size();
            if (pending_held_ >= kPending) count_pending();
        }
        if (!overview) return;
        f.more().each([&](uint32_t channel, uint64_t times) { overview->add_each(job.frame, channel, times, bands_.width, 1.0); });
        f.less().each([&](uint32_t channel, uint64_t times) { overview->add_each(job.frame, channel, times, bands_.width, -1.0); });
    }

    // Band b's pixels with events into the overview, found from the bytes its keys wrote, in
    // scan order (the order fold_rows takes them in): each once, with its count in the image.
    void fold_keys(DecayedOverview& overview, int64_t frame, FrameBuffer& f, size_t b) {
        const size_t y0 = bands_.first_row(b), stride = bands_.row_bytes;
        const uint8_t* base = f.image() + y0 * stride;
        const std::vector<uint32_t>& written = f.written(bands_, b);
        auto pixel = [&](size_t i, auto&& use) {
            const size_t row = written[i] / stride, column = written[i] - row * stride - 1;
            use(column / 3, y0 + row, column % 3 == 1);
        };
        // Cells far apart: fetch the first few at once, then each some pixels ahead.
        constexpr size_t kAhead = 16;
        auto fetch = [&](size_t i) { pixel(i, [&](size_t x, size_t y, bool on) { overview.prefetch(x, y, on); }); };
        for (size_t i = 0; i < std::min(kAhead, written.size()); ++i) fetch(i);
        for (size_t i = 0; i < written.size(); ++i) {
            if (i + kAhead < written.size()) fetch(i + kAhead);
            pixel(i, [&](size_t x, size_t y, bool on) { overview.add_pixel(frame, x, y, on, base[written[i]]); });
        }
    }

    // The pixel counts take the events of many frames at once, band by band: each line of
    // the counts is then fetched once for many events, not once a frame.
    void count_pending() {
        for (size_t b = 0; b < bands_.bands; ++b) {
            const size_t first_pixel = bands_.first_row(b) * bands_.width;
            for (const uint32_t k : pending_[b]) folded_.add(first_pixel + k / 2, k & 1);
            pending_[b].clear();
        }
        pending_held_ = 0;
    }

    // Workers take frames in order; each fills its frame in turn, encodes it side by side with
    // the other, then waits for its turn again, so the spool and the budget see frames in order.
    void run() {
        PngWriter png;
        ZeroSpans zeros;
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mu_);
                work_cv_.wait(lock, [this] { return closed_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            wait_turn(filled_, job.seq);
            fill(job);
            next_turn(filled_);
            std::string text;
            if (!full()) {
                job.buffer->zero_spans(bands_, zeros);
                text = png.base64_scanlines(job.buffer->image(), bands_.width, bands_.height, &zeros);
            }
            {
                std::unique_lock lock(mu_);
                turn_cv_.wait(lock, [&] { return committed_ == job.seq; });
                commit(job.seq, job.segment, text);
                ++committed_;
                turn_cv_.notify_all();
            }
            job.buffer->reset(bands_);
            std::lock_guard lock(mu_);
            free_.push_back(std::move(job.buffer));
            free_cv_.notify_one();
        }
    }

    // Under mu_, in frame order.
    void commit(int64_t seq, int64_t segment, const std::string& text) {
        while (reserves_.size() > 1 && reserves_[1].first <= seq) reserves_.pop_front();
        const int64_t reserve = !reserves_.empty() && reserves_.front().first <= seq ? reserves_.front().second : 0;
        if (full() || text.empty()) return;
        const int64_t cost = static_cast<int64_t>(text.size()) + 3;  // quotes and a comma
        if (bytes_ + cost > budget_ - reserve) {
            full_.store(true, std::memory_order_relaxed);
        } else if (std::fwrite(text.data(), 1, text.size(), spool_) != text.size()) {
            failed_ = true;
            full_.store(true, std::memory_order_relaxed);
        } else {
            bytes_ += cost;
            accepted_.emplace_back(segment, static_cast<int64_t>(text.size()));
        }
    }

    FrameBands bands_;
    std::FILE* spool_;
    int64_t budget_;
    std::mutex mu_;
    // One per kind of wait, so that a change wakes only the threads it concerns: the workers
    // waiting for a frame, those waiting for their turn (or for the folds), the counting thread
    // waiting for a buffer. Frames are small and many: wake-ups are a good part of their cost.
    std::condition_variable work_cv_, turn_cv_, free_cv_;
    std::deque<std::unique_ptr<FrameBuffer>> free_;
    std::deque<Job> jobs_;
    int64_t submitted_ = 0, filled_ = 0, committed_ = 0;
    bool closed_ = false;
    std::atomic<bool> full_{false};
    std::deque<std::pair<int64_t, int64_t>> reserves_;  // (first frame, bytes), in order
    bool failed_ = false;
    std::atomic<int64_t> bytes_{0};
    std::vector<std::pair<int64_t, int64_t>> accepted_;
    static constexpr size_t kPending = size_t(1) << 22;  // events, 16 MiB
    PixelCounts folded_;  // written only by the worker whose turn it is to fill, or after close()
    std::vector<std::vector<uint32_t>> pending_;  // per band: pixel in band * 2 + on
    size_t pending_held_ = 0;
    DecayedOverview* overview_ = nullptr;
    std::vector<std::thread> workers_;
};

// Survey: extent and counts only. Summary: also the timeline, raster and
// pixel counts. Page: also frames and the overview. Render: frames for a video.
enum Mode : int { kSurvey = 0, kPage = 1, kRender = 2, kSummary = 3 };

// The decoded span is [t0, t1). Frames lie on a grid of `period_us` from
// t0 - lead * period_us: the lead-in frames before t0 see events that nothing
// else counts, so the decay is right at t0.
struct Config {
    Mode mode = kSurvey;
    int64_t width = 0, height = 0;
    int64_t t0 = 0, t1 = std::numeric_limits<int64_t>::max();
    int64_t period_us = 20000, lead = 0;
    double a = 0.5;  // exp(-period / decay)
    int64_t timeline_bin = 1, timeline_bins = 0, raster_bin = 1, raster_bins = 0;
    // Page: full-rate segments on the frame grid, the spool and its budget, the overview.
    std::vector<Segment> segments;
    std::FILE* spool = nullptr;
    int64_t frame_budget = 0;  // frames and the overview together
    int64_t overview_step = 50;  // frames per overview image
    int64_t overview_scale = 1;
    int64_t overview_budget = 30 << 20;  // the overview's share at most, and its first reserve
    // Render: the frame rule's settings.
    double gain = 1.0;
    Palette palette{};
    int64_t scale = 1;
    size_t pending_limit = 4;
};

// The engine: feed it decoded records in time order; it counts them and hands
// off frames as they complete. Feeding stops early (returns fewer records
// used) when the rendered frames waiting to be taken reach the limit.
class Engine {
public:
    explicit Engine(Config c) : c_(std::move(c)) {
        const size_t w = static_cast<size_t>(c_.width), h = static_cast<size_t>(c_.height);
        grid_ = c_.t0 - c_.lead * c_.period_us;
        if (c_.mode == kPage || c_.mode == kRender) frames_ = c_.lead + (c_.t1 - c_.t0 + c_.period_us - 1) / c_.period_us;
        if (c_.mode == kSurvey) return;
        timeline_.emplace(2, c_.timeline_bin, static_cast<size_t>(c_.timeline_bins));
        raster_.emplace(h, c_.raster_bin, static_cast<size_t>(c_.raster_bins));
        pixels_.emplace(w, h);
        if (c_.mode == kPage) {
            overview_.emplace(w, h, static_cast<size_t>(c_.overview_scale), c_.a);
            overview_step_ = c_.overview_step;
            // No reserve before the first overview image: lead-in frames come first.
            encoder_.emplace(w, h, static_cast<size_t>(c_.overview_scale), c_.spool, c_.frame_budget, 4);
            encoder_->fold_overview_into(&*overview_);
            frame_buffer_ = encoder_->take();
            dense_keys_ = std::max<size_t>(size_t(1) << 16, w * h);
            set_activity();
        } else if (c_.mode == kRender) {
            frame_.emplace(w, h);
            renderer_.emplace(w, h, c_.a, c_.gain, c_.palette, static_cast<size_t>(c_.scale));
            set_activity();
        }
    }

    // Counts records [0, n) of packed records; returns how many were used.
    size_t feed(const uint8_t* records, size_t n) {
        size_t i = 0;
        for (; i < n; ++i) {
            // Events land all over an HD image: the cell an event a little further on will
            // touch is fetched now, so that many misses are in flight instead of one at a time.
            if (i + kAhead < n) prefetch_cell(records + (i + kAhead) * evt::kRecordSize);
            const Event e = read_record(records + i * evt::kRecordSize);
            if (c_.mode == kSurvey) {
                note_extent(e);
                continue;
            }
            if (e.t < grid_ || e.t >= c_.t1) {
                ++beyond_;
                continue;
            }
            if (e.x < 0 || e.y < 0 || e.x >= c_.width || e.y >= c_.height) {
                if (!outside_++) first_outside_ = e;
                continue;
            }
            if (c_.mode != kSummary && e.t >= frame_end_) {
                const int64_t j = (e.t - grid_) / c_.period_us;
                // Frames finish one at a time so a render can stop between any two.
                if (c_.mode == kRender && pending_.size() >= c_.pending_limit) return i;
                step_towards(j);
                --i;  // the same event again, now in its frame
                continue;
            }
            count(e);  // an event older than its frame (out of order) counts in the current one
        }
        return i;
    }

    // Finishes the frames through t1. False while a render still has frames
    // to finish after the waiting ones are taken.
    bool finish() {
        if (c_.mode == kSurvey || c_.mode == kSummary) return true;
        while (frame_index_ < frames_) {
            if (c_.mode == kRender && pending_.size() >= c_.pending_limit) return false;
            step_towards(frames_);
        }
        if (encoder_ && !merged_) {
            encoder_->close();
            pixels_->merge(encoder_->folded());
            merged_ = true;
        }
        return true;
    }

    // Rendered frames waiting to be taken: (frame start time, RGB).
    std::deque<std::pair<int64_t, std::vector<uint8_t>>>& pending() { return pending_; }
    size_t out_width() const { return renderer_ ? renderer_->out_width() : 0; }
    size_t out_height() const { return renderer_ ? renderer_->out_height() : 0; }

    Mode mode() const { return c_.mode; }
    bool have_events() const { return extent_.have_events(); }
    int64_t t_first() const { return extent_.t_first(); }
    int64_t t_last() const { return extent_.t_last(); }
    int64_t count() const { return extent_.count(); }
    int64_t on_count() const { return extent_.on_count(); }
    int64_t max_x() const { return max_x_; }
    int64_t max_y() const { return max_y_; }
    int64_t beyond() const { return beyond_; }
    int64_t outside() const { return outside_; }
    const Event& first_outside() const { return first_outside_; }
    int64_t peak_10ms() const { return extent_.peak_10ms(); }
    const TimeBins* timeline() const { return timeline_ ? &*timeline_ : nullptr; }
    const TimeBins* raster() const { return raster_ ? &*raster_ : nullptr; }
    const PixelCounts* pixels() const { return pixels_ ? &*pixels_ : nullptr; }
    const FrameEncoder* encoder() const { return encoder_ ? &*encoder_ : nullptr; }
    std::vector<std::string>& overview_images() { return overview_images_; }
    size_t overview_width() const { return overview_ ? overview_->width() : 0; }
    size_t overview_height() const { return overview_ ? overview_->height() : 0; }
    int64_t overview_step() const { return overview_step_; }

private:
    static constexpr size_t kAhead = 16;  // events between a prefetch and its use

    // Fetches the accumulator cell the record at `rec` will update (a hint only: the frame may
    // change before it is counted).
    ZV_PREFETCH void prefetch_cell(const uint8_t* rec) const {
        // A folding page frame's events go to sequential keys; a survey keeps no cells.
        if ((c_.mode == kPage && folding_) || c_.mode == kSurvey) return;
        int16_t x, y;
        std::memcpy(&x, rec, 2);
        std::memcpy(&y, rec + 2, 2);
        if (static_cast<uint16_t>(x) >= c_.width || static_cast<uint16_t>(y) >= c_.height) return;
        const size_t pixel = static_cast<size_t>(y) * static_cast<size_t>(c_.width) + static_cast<size_t>(x);
        const bool on = static_cast<int8_t>(rec[12]) > 0;
        if (c_.mode == kPage) {
            if (!folding_) {
                pixels_->prefetch(pixel, on);
                overview_->prefetch(static_cast<size_t>(x), static_cast<size_t>(y), on);
            }
        } else if (c_.mode == kRender) {
            frame_->prefetch(pixel, on);
        } else if (c_.mode == kSummary) {
            pixels_->prefetch(pixel, on);
        }
    }

    // Extent, counts and the peak rate of what lies in [t0, t1).
    void note_extent(const Event& e) {
        extent_.note(e);
        max_x_ = std::max(max_x_, e.x);
        max_y_ = std::max(max_y_, e.y);
    }

    __attribute__((always_inline)) void count(const Event& e) {
        const int64_t frame = frame_index_ - c_.lead;  // on the overview's grid from t0
        const bool counts = e.t >= c_.t0;
        if (counts) {
            note_extent(e);
            const int64_t off = e.t - c_.t0;
            timeline_->add(off, e.on ? 0 : 1);
            raster_->add(off, static_cast<size_t>(e.y));
            // A page's full-rate frames after the lead-in reach the pixel counts and the overview
            // through their frame buffers (on the encoder's thread).
            if (!folding_) {
                pixels_->add(e);
                if (overview_) overview_->add(frame, e);
            }
        }
        if (c_.mode == kPage) {
            if (active_) {
                frame_buffer_->push(encoder_->bands(), static_cast<size_t>(e.x), static_cast<size_t>(e.y), e.on, counts);
                // A frame of more events than its image has bytes fills the image now.
                if (frame_buffer_->keys_held() >= dense_keys_)
                    frame_buffer_->apply_all(encoder_->bands(), folding_ ? &*pixels_ : nullptr);
            }
        } else if (c_.mode == kRender) {
            frame_->add(e);
        }
    }

    // Moves towards frame `j`: finishes the current frame, or (a page between
    // segments) skips to the next frame that matters: an overview sample, a
    // segment's start or `j`. A gap of hours costs no per-frame work.
    void step_towards(int64_t j) {
        if (c_.mode == kPage && !active_) {
            int64_t target = std::min(j, sample_frame(next_sample_));
            if (!encoder_->full())
                for (const Segment& s : c_.segments)
                    if (s.first > frame_index_) target = std::min(target, s.first);
            if (target > frame_index_) {
                frame_index_ = target;
                set_activity();
                return;
            }
        }
        finish_frame();
    }

    // Frame `frame_index_` is complete: hand it off and move to the next.
    void finish_frame() {
        if (c_.mode == kRender) {
            std::vector<uint8_t> out(renderer_->out_width() * renderer_->out_height() * 3);
            renderer_->render(frame_->rgb().data(), out.data());
            pending_.emplace_back(grid_ + frame_index_ * c_.period_us, std::move(out));
            frame_->clear();
        } else {
            if (active_) {
                encoder_->submit(segment_, std::move(frame_buffer_), folding_, frame_index_ - c_.lead);
                frame_buffer_ = encoder_->take();
            }
            while (sample_frame(next_sample_) == frame_index_) take_sample();
        }
        ++frame_index_;
        set_activity();
    }

    // The frame (on the grid from t0 - lead) whose surface overview image `k` shows.
    int64_t sample_frame(int64_t k) const { return c_.lead + k * overview_step_; }

    // One overview image; past the overview's byte budget the step doubles
    // and every other image goes, so an overview of any length fits. Frames
    // never push the overview out: the page writer drops the last frames when
    // the overview outgrows the reserve it left them.
    void take_sample() {
        encoder_->wait_folded();  // the frames so far are in the surface
        std::vector<uint8_t> rgb;
        overview_->sample(sample_frame(next_sample_) - c_.lead, rgb);
        overview_images_.push_back(overview_png_.base64(rgb.data(), overview_->width(), overview_->height()));
        overview_bytes_ += static_cast<int64_t>(overview_images_.back().size()) + 3;
        ++next_sample_;
        // Frames may use what the overview will not: its mean image for each image to come.
        const int64_t samples = (frames_ - c_.lead + overview_step_ - 1) / overview_step_;
        const int64_t to_come = std::max<int64_t>(0, samples - next_sample_);
        const int64_t mean = overview_bytes_ / static_cast<int64_t>(overview_images_.size());
        encoder_->reserve(std::min(c_.overview_budget, overview_bytes_ + mean * to_come));
        while (overview_bytes_ > c_.overview_budget && overview_images_.size() > 1) {
            size_t kept = 0;
            overview_bytes_ = 0;
            for (size_t k = 0; k < overview_images_.size(); k += 2) {
                overview_images_[kept] = std::move(overview_images_[k]);
                overview_bytes_ += static_cast<int64_t>(overview_images_[kept++].size()) + 3;
            }
            overview_images_.resize(kept);
            overview_step_ *= 2;
            next_sample_ = static_cast<int64_t>(kept);
        }
    }

    void set_activity() {
        frame_end_ = grid_ + (frame_index_ + 1) * c_.period_us;
        if (c_.mode != kPage) return;
        const bool was_folding = folding_;
        active_ = false;
        if (!encoder_->full()) {
            for (size_t s = 0; s < c_.segments.size(); ++s) {
                const Segment& seg = c_.segments[s];
                if (frame_index_ >= seg.first && frame_index_ < seg.end) {
                    active_ = true;
                    segment_ = static_cast<int64_t>(s);
                    break;
                }
            }
        }
        folding_ = active_ && frame_index_ >= c_.lead;
        // Events now go to the overview from this thread: the encoder's folds must be done.
        if (was_folding && !folding_) encoder_->wait_folded();
    }

    Config c_;
    int64_t grid_ = 0, frames_ = 0;
    ExtentCounts extent_;
    int64_t max_x_ = -1, max_y_ = -1;
    int64_t beyond_ = 0, outside_ = 0;
    Event first_outside_{};

    std::optional<TimeBins> timeline_, raster_;
    std::optional<PixelCounts> pixels_;
    std::optional<FrameCounts> frame_;
    std::optional<DecayedOverview> overview_;
    std::optional<FrameEncoder> encoder_;
    std::optional<FrameRenderer> renderer_;
    std::unique_ptr<FrameBuffer> frame_buffer_;  // the page's current frame, from the encoder's pool
    size_t dense_keys_ = 0;  // keys a frame buffer holds at most before they go into its image
    bool merged_ = false;
    bool folding_ = false;  // the current frame reaches pixel counts and overview through its buffer
    int64_t frame_index_ = 0, frame_end_ = std::numeric_limits<int64_t>::min();  // set by set_activity
    bool active_ = false;
    int64_t segment_ = 0;
    int64_t next_sample_ = 0, overview_step_ = 1, overview_bytes_ = 0;
    std::vector<std::string> overview_images_;
    PngWriter overview_png_;
    std::deque<std::pair<int64_t, std::vector<uint8_t>>> pending_;
};

// Decodes buf[0, n) into records on a helper thread while the calling thread
// counts them: the two stages pass a few record buffers back and forth. For
// the modes whose feeding never pauses (not a render). Returns the bytes
// decoded; the decoder stops where decode() would (window end, error, a
// partial word), and offsets in `s` are within buf.
inline size_t decode_while_counting(evt::Format format, const uint8_t* buf, size_t n, evt::State& s, Engine& engine) {
    constexpr size_t kRecords = size_t(1) << 14, kBuffers = 4;
    struct Filled {
        size_t buffer, count;
    };
    std::vector<std::vector<uint8_t>> buffers(kBuffers, std::vector<uint8_t>(kRecords * evt::kRecordSize));
    std::mutex mu;
    std::condition_variable cv;
    std::deque<size_t> free_buffers;
    for (size_t b = 0; b < kBuffers; ++b) free_buffers.push_back(b);
    std::deque<Filled> filled;
    bool finished = false, abandoned = false;
    size_t used = 0;
    std::thread decoder([&] {
        for (;;) {
            size_t b;
            {
                std::unique_lock lock(mu);
                cv.wait(lock, [&] { return !free_buffers.empty() || abandoned; });
                if (abandoned) return;
                b = free_buffers.front();
                free_buffers.pop_front();
            }
            const bool was_back = s.back;
            const evt::Progress p = evt::decode(format, buf + used, n - used, s, buffers[b].data(), kRecords, 0);
            if (s.error) s.error_at += static_cast<int64_t>(used);
            if (s.back && !was_back) s.back_at += static_cast<int64_t>(used);
            used += p.consumed;
            const bool last = used == n || s.done || s.error || (p.consumed == 0 && p.count == 0);
            std::lock_guard lock(mu);
            filled.push_back({b, p.count});
            finished = last;
            cv.notify_all();
            if (last) return;
        }
    });
    try {
        for (;;) {
            Filled next;
            {
                std::unique_lock lock(mu);
                cv.wait(lock, [&] { return !filled.empty() || finished; });
                if (filled.empty()) break;
                next = filled.front();
                filled.pop_front();
            }
            engine.feed(buffers[next.buffer].data(), next.count);
            std::lock_guard lock(mu);
            free_buffers.push_back(next.buffer);
            cv.notify_all();
        }
    } catch (...) {
        {
            std::lock_guard lock(mu);
            abandoned = true;
            cv.notify_all();
        }
        decoder.join();
        throw;
    }
    decoder.join();
    return used;
}

}  // namespace zv::kern::stream
