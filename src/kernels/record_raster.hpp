// The spike raster of decoded records in one pass, the sensor width found on
// the way.
//
// A raster's neuron is y * width + x, with width the largest x plus one, so
// the plain order is a pass for the width and then a pass that bins. Here one
// pass bins every event into a band of the sensor, rows y < rows by columns
// x < pitch, and meanwhile takes the smallest and largest x. A sample of the
// records gives a width that the true one cannot be below; the band is sized
// from it to hold every neuron under n_neurons for any larger width. After
// the pass, the width is known and each band cell moves to its own neuron
// (no two share one), so the raster is that of the two passes, cell for cell.
//
// Contract: the record layout of record_binning.hpp (64-bit integer time,
// 16-bit x and y of one type, one stride), fewer than 2**32 records, and `out`
// a zeroed float32 raster of (bins, neurons). Counts are exact in uint32 and
// round to float32 as the counting cells of binning.hpp do. When the band
// cannot hold every neuron (a negative x, or a true width past the band) the
// raster is left untouched and the width the pass found is given, so the
// caller bins in a second pass; the pass costs no more than the width scan it
// replaces. The band pass serves the full raster too (full_raster.hpp): it
// takes the extremes of y as well, and counts into float32 cells where no
// count can pass 2**24.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "kernels/binning.hpp"
#include "kernels/column_max.hpp"
#include "kernels/record_binning.hpp"
#include "kernels/record_binning_avx2.hpp"
#include "kernels/time_bins.hpp"

namespace zv::kern {

namespace records {

// The counting band: rows y < rows, columns x < pitch, for every time bin.
struct Band {
    uint64_t rows = 0, pitch = 0;
    uint64_t cells() const { return rows * pitch; }  // per time bin
};

// The band as a place of the pass's cursor: its cells for one time bin.
struct BandPlace {
    uint64_t cells, base = 0;
    explicit BandPlace(const Band& b) : cells(b.cells()) {}
    void select(size_t bin) { base = static_cast<uint64_t>(bin) * cells; }
};

// The largest x and y of about `samples` records spread over the array (the
// last one too), plus one: a width and height the true ones are at least.
struct Extent {
    int64_t width = 0, height = 0;
};
template <typename C>
inline Extent sampled_extent(const Layout& f, size_t n, size_t samples) {
    const size_t step = std::max<size_t>(1, n / samples);
    const std::byte* last = f.t + static_cast<std::ptrdiff_t>(n - 1) * f.stride;
    int64_t mx = load<C>(last + f.x), my = load<C>(last + f.y);
    for (size_t i = 0; i < n; i += step) {
        const std::byte* r = f.t + static_cast<std::ptrdiff_t>(i) * f.stride;
        mx = std::max<int64_t>(mx, load<C>(r + f.x));
        my = std::max<int64_t>(my, load<C>(r + f.y));
    }
    return {mx + 1, my + 1};
}

// The band for a width of at least `least`: neuron y * w + x < neurons with
// w >= least needs y < ceil(neurons / least) and x < neurons; columns past
// twice the sampled width are left out, for a band of at most about four
// rasters. None when the band would not pay: no positive width, or more than
// an eighth of a cell per event (clearing and placing a cell costs about what
// the width pass it saves costs an event), or too big.
inline std::optional<Band> band_for(int64_t least, uint64_t neurons, int64_t bins, size_t events) {
    constexpr uint64_t kMostCells = uint64_t{64} << 20;  // 256 MiB of counts
    if (least < 1 || neurons == 0) return std::nullopt;
    const uint64_t w = static_cast<uint64_t>(least);
    Band b{(neurons + w - 1) / w, std::min(neurons, 2 * w)};
    if (b.cells() >= (uint64_t{1} << 31)) return std::nullopt;
    const uint64_t all = b.cells() * static_cast<uint64_t>(bins);
    if (all > kMostCells || all > events / 8) return std::nullopt;
    return b;
}

// What the pass saw: the smallest and largest x and y.
struct Seen {
    static constexpr int64_t kNone = std::numeric_limits<int64_t>::max();
    int64_t x_lo = kNone, x_hi = -kNone, y_lo = kNone, y_hi = -kNone;
};

// Counts the event of record r into the band; false when its timestamp lies
// outside the range. Cell: uint32_t, or float while counts stay below 2**24.
template <typename T, typename C, typename Cell>
inline bool band_step(const std::byte* r, const Layout& f, Cursor<T, BandPlace>& c, const Band& band,
                      Cell* cells, Seen& s) {
    const uint64_t u = IntegerEdges<T>::key(load<T>(r));
    if (u - c.start >= c.span) [[unlikely]] {
        if (!c.edges.contains(u)) return false;
        c.move(c.edges.find(u));
    }
    const int64_t x = load<C>(r + f.x), y = load<C>(r + f.y);
    s.x_lo = x < s.x_lo ? x : s.x_lo;
    s.x_hi = x > s.x_hi ? x : s.x_hi;
    s.y_lo = y < s.y_lo ? y : s.y_lo;
    s.y_hi = y > s.y_hi ? y : s.y_hi;
    if (static_cast<uint64_t>(x) < band.pitch && static_cast<uint64_t>(y) < band.rows)
        ++cells[c.at.base + static_cast<uint64_t>(y) * band.pitch + static_cast<uint64_t>(x)];
    return true;
}

template <typename T, typename C, typename Cell>
inline bool band_pass_scalar(const Layout& layout, size_t n, const IntegerEdges<T>& edges, const Band& band,
                             Cell* cells, Seen& seen) {
    const Layout f = layout;  // locals: stores into the cells cannot alias them
    Cursor<T, BandPlace> c(edges, BandPlace(band));
    Seen s = seen;
    const std::byte* r = f.t;
    for (size_t i = 0; i < n; ++i, r += f.stride)
        if (!band_step<T, C>(r, f, c, band, cells, s)) return false;
    seen = s;
    return true;
}

#ifdef ZV_RECORD_BINNING_AVX2
namespace avx2 {

#define ZV_BAND_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

// The current bin's first timestamp (as stored) and its span of keys with the
// sign flipped: t - first is the key's distance from the bin's first key.
template <typename T>
ZV_BAND_AVX2_INLINE void time_lanes(const Cursor<T, BandPlace>& c, __m256i& first, __m256i& span) {
    const uint64_t sign = uint64_t{1} << 63;
    first = _mm256_set1_epi64x(static_cast<int64_t>(std::is_signed_v<T> ? c.start ^ sign : c.start));
    span = _mm256_set1_epi64x(static_cast<int64_t>(c.span ^ sign));
}

// Lanes of t - first < span (unsigned) for four timestamps.
ZV_BAND_AVX2_INLINE __m256i in_time(__m256i t, __m256i first, __m256i span) {
    const __m256i sign = _mm256_set1_epi64x(std::numeric_limits<int64_t>::min());
    return _mm256_cmpgt_epi64(span, _mm256_xor_si256(_mm256_sub_epi64(t, first), sign));
}

// The scalar pass eight records at a time, for the packed record (see
// record_binning_avx2.hpp, whose loads it shares). x and y stay 16-bit lanes
// of one dword: the band test is one unsigned 16-bit compare of both and the
// extents are 16-bit maxima. Records need not be counted in order, so a block
// keeps whatever lane order its shuffles give; only events inside the band are
// counted one by one.
template <typename T, typename C, typename Cell>
__attribute__((target("avx2"))) bool band_pass(const Layout& layout, size_t n, const IntegerEdges<T>& edges,
                                               const Band& band, Cell* cells, Seen& seen) {
    constexpr bool kSigned = std::is_signed_v<C>;
    const Layout f = layout;
    Cursor<T, BandPlace> c(edges, BandPlace(band));
    const std::ptrdiff_t s = f.stride;
    // Each record's half becomes [t, x|y, 0] (records 0, 1) or [t, 0, x|y] (records 2, 3).
    const __m256i shuffle_01 = _mm256_broadcastsi128_si256(
        _mm_setr_epi8(4, 5, 6, 7, 8, 9, 10, 11, 0, 1, 2, 3, -128, -128, -128, -128));
    const __m256i shuffle_23 = _mm256_broadcastsi128_si256(
        _mm_setr_epi8(4, 5, 6, 7, 8, 9, 10, 11, -128, -128, -128, -128, 0, 1, 2, 3));
    __m256i first, span;
    time_lanes(c, first, span);
    // In the band: x < pitch and y < rows as unsigned 16-bit values; capped at
    // the coordinates' range, and for signed ones below 2**15, so a negative
    // coordinate (a large unsigned one) is never inside.
    const uint64_t cap = kSigned ? 32768 : 65536;
    const uint32_t last_x = static_cast<uint32_t>(std::min(band.pitch, cap) - 1);
    const uint32_t last_y = static_cast<uint32_t>(std::min(band.rows, cap) - 1);
    const __m256i limits = _mm256_set1_epi32(static_cast<int>(last_x | (last_y << 16)));
    __m256i lows = _mm256_set1_epi16(kSigned ? std::numeric_limits<int16_t>::max() : -1);
    __m256i highs = _mm256_set1_epi16(kSigned ? std::numeric_limits<int16_t>::min() : 0);
    Seen seen_so_far = seen;
    const uint64_t pitch = band.pitch;
    alignas(32) uint32_t xy_of[8];
    // Inside a band of fewer than 2**15 columns and at most 2**15 rows, x and y are
    // below 2**15, and a signed 16-bit multiply-add of (x, y) by (1, pitch) is the cell.
    const bool fifteen_bits = pitch < 32768 && band.rows <= 32768;
    const __m256i index_of = _mm256_set1_epi32(static_cast<int>(1u | (static_cast<uint32_t>(pitch) << 16)));
    constexpr std::ptrdiff_t kAhead = 256;  // records

    const std::byte* r = f.t - 4;  // the record's first byte
    size_t i = 0;
    for (; i + 8 < n; i += 8, r += 8 * s) {
        // The loop is near the memory's speed: asking for the records a few
        // kilobytes ahead keeps the loads from waiting (a prefetch never faults).
        _mm_prefetch(reinterpret_cast<const char*>(r + kAhead * s), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(r + kAhead * s + 64), _MM_HINT_T0);
        const __m256i a = pair(r, 4 * s, shuffle_01), b = pair(r + s, 4 * s, shuffle_01);
        const __m256i e = pair(r + 2 * s, 4 * s, shuffle_23), g = pair(r + 3 * s, 4 * s, shuffle_23);
        const __m256i inside = _mm256_and_si256(in_time(_mm256_unpacklo_epi64(a, b), first, span),
                                                in_time(_mm256_unpacklo_epi64(e, g), first, span));
        if (_mm256_movemask_pd(_mm256_castsi256_pd(inside)) != 0xF) [[unlikely]] {
            for (int k = 0; k < 8; ++k)
                if (!band_step<T, C>(r + k * s + 4, f, c, band, cells, seen_so_far)) return false;
            time_lanes(c, first, span);
            continue;
        }
        const __m256i xy = _mm256_or_si256(_mm256_unpackhi_epi64(a, b), _mm256_unpackhi_epi64(e, g));
        if constexpr (kSigned) {
            lows = _mm256_min_epi16(lows, xy);
            highs = _mm256_max_epi16(highs, xy);
        } else {
            lows = _mm256_min_epu16(lows, xy);
            highs = _mm256_max_epu16(highs, xy);
        }
        const __m256i halves = _mm256_cmpeq_epi16(_mm256_min_epu16(xy, limits), xy);
        const __m256i both = _mm256_and_si256(halves, _mm256_slli_epi32(halves, 16));
        unsigned bits = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(both)));
        if (bits == 0) continue;
        Cell* bin_cells = cells + c.at.base;
        if (fifteen_bits) {  // the cells of eight events in one multiply-add, all eight counted in a row
            _mm256_store_si256(reinterpret_cast<__m256i*>(xy_of), _mm256_madd_epi16(xy, index_of));
            if (bits == 0xFF) {
                for (int k = 0; k < 8; ++k) ++bin_cells[xy_of[k]];
            } else {
                for (; bits; bits &= bits - 1) ++bin_cells[xy_of[__builtin_ctz(bits)]];
            }
            continue;
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(xy_of), xy);
        for (; bits; bits &= bits - 1) {
            const uint32_t v = xy_of[__builtin_ctz(bits)];
            ++bin_cells[(v >> 16) * pitch + (v & 0xFFFF)];
        }
    }
    for (; i < n; ++i, r += s)
        if (!band_step<T, C>(r + 4, f, c, band, cells, seen_so_far)) return false;
    alignas(32) C l[16], h[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(l), lows);
    _mm256_store_si256(reinterpret_cast<__m256i*>(h), highs);
    for (int k = 0; k < 16; k += 2) {  // x in the even lanes, y in the odd ones
        seen_so_far.x_lo = std::min<int64_t>(seen_so_far.x_lo, l[k]);
        seen_so_far.x_hi = std::max<int64_t>(seen_so_far.x_hi, h[k]);
        seen_so_far.y_lo = std::min<int64_t>(seen_so_far.y_lo, l[k + 1]);
        seen_so_far.y_hi = std::max<int64_t>(seen_so_far.y_hi, h[k + 1]);
    }
    seen = seen_so_far;
    return true;
}

#undef ZV_BAND_AVX2_INLINE

}  // namespace avx2
#endif

template <typename T, typename C, typename Cell>
inline bool band_pass(const Layout& f, size_t n, const IntegerEdges<T>& edges, const Band& band, Cell* cells,
                      Seen& seen) {
#ifdef ZV_RECORD_BINNING_AVX2
    if (avx2::cpu_has_avx2() && avx2::packed(f, false)) return avx2::band_pass<T, C>(f, n, edges, band, cells, seen);
#endif
    return band_pass_scalar<T, C>(f, n, edges, band, cells, seen);
}

// Bins every record into the band's `bins` x band.cells() zeroed cells over
// the true time range, as bin_all does: first over the range of the first and
// last record, and only when an event falls outside it, again over the range
// found by a scan.
template <typename T, typename C, typename Cell>
inline Seen band_all(const Layout& f, size_t n, int64_t bins, const Band& band, Cell* cells) {
    const T first = load<T>(f.t), last = load<T>(f.t + static_cast<std::ptrdiff_t>(n - 1) * f.stride);
    Seen seen;
    if (first <= last) {
        if (band_pass<T, C>(f, n, IntegerEdges<T>(first, last, bins), band, cells, seen)) return seen;
        std::fill_n(cells, static_cast<size_t>(band.cells() * static_cast<uint64_t>(bins)), Cell{0});
        seen = {};
    }
    T lo, hi;
    time_range(f, n, lo, hi);
    band_pass<T, C>(f, n, IntegerEdges<T>(lo, hi, bins), band, cells, seen);
    return seen;
}

// Counts as float32, rounded to nearest. Counts of fewer than 2**31 events
// convert as int32, which vectorises and rounds the same.
inline void place_row(const uint32_t* from, float* to, uint64_t m, bool below_2_31) {
    if (below_2_31)
        for (uint64_t x = 0; x < m; ++x) to[x] = static_cast<float>(static_cast<int32_t>(from[x]));
    else
        for (uint64_t x = 0; x < m; ++x) to[x] = static_cast<float>(from[x]);
}

// Moves each band cell to its neuron y * width + x below `neurons`; true when
// the band held them all (no negative x; every column of the width or of the
// raster, and every row that reaches below `neurons`).
inline bool place_band(const std::vector<uint32_t>& cells, const Band& band, const Seen& seen, int64_t bins,
                       uint64_t neurons, size_t events, float* out) {
    if (seen.x_lo < 0) return false;
    const uint64_t width = static_cast<uint64_t>(seen.x_hi) + 1;
    if (band.pitch < width && band.pitch < neurons) return false;
    if (band.rows * width < neurons) return false;
    const uint64_t columns = std::min(band.pitch, width);
    for (uint64_t b = 0; b < static_cast<uint64_t>(bins); ++b) {
        const uint32_t* from = cells.data() + b * band.cells();
        float* to = out + b * neurons;
        for (uint64_t y = 0; y < band.rows && y * width < neurons; ++y) {
            const uint64_t row = y * width, m = std::min(columns, neurons - row);
            place_row(from + y * band.pitch, to + row, m, events < (size_t{1} << 31));
        }
    }
    return true;
}

// The raster in one pass when a band pays; false otherwise, with `width` the
// width found when the pass ran.
template <typename T, typename C>
inline bool raster_by_band(const Layout& f, size_t n, int64_t bins, uint64_t neurons, float* out,
                           std::optional<int64_t>& width) {
    const std::optional<Band> band = band_for(sampled_extent<C>(f, n, 4096).width, neurons, bins, n);
    if (!band) return false;
    std::vector<uint32_t> cells(static_cast<size_t>(band->cells() * static_cast<uint64_t>(bins)));
    const Seen seen = band_all<T, C>(f, n, bins, *band, cells.data());
    if (place_band(cells, *band, seen, bins, neurons, n, out)) return true;
    width = seen.x_hi + 1;
    return false;
}

}  // namespace records

// The columns as records of record_binning.hpp with x and y (one stride, 64-bit
// integer time, 16-bit coordinates of one type, fewer than 2**32 records), for
// the one-pass rasters; none when they are not.
struct RasterRecords {
    records::Layout layout;
    bool t_signed = false, c_signed = false;
};

inline std::optional<RasterRecords> raster_records(const EventColumns& ev, int64_t time_bins) {
    using fused::native;
    if (!ev.y || ev.n == 0 || ev.n >= (uint64_t{1} << 32) || time_bins > IntegerEdges<int64_t>::kMaxBins)
        return std::nullopt;
    const Column &x = ev.x, &y = *ev.y;
    if (y.stride != ev.t.stride || x.stride != ev.t.stride || !native(&y, x.kind, 2) ||
        !(native(&x, NumKind::Int, 2) || native(&x, NumKind::UInt, 2)) ||
        !(native(&ev.t, NumKind::Int, 8) || native(&ev.t, NumKind::UInt, 8)))
        return std::nullopt;
    return RasterRecords{{ev.t.base, ev.t.stride, x.base - ev.t.base, y.base - ev.t.base, 0},
                         ev.t.kind == NumKind::Int, x.kind == NumKind::Int};
}

// fn.template operator()<T, C>() for the records' time and coordinate types.
template <typename Fn>
inline auto with_record_types(const RasterRecords& r, Fn&& fn) {
    if (r.t_signed) return r.c_signed ? fn.template operator()<int64_t, int16_t>() : fn.template operator()<int64_t, uint16_t>();
    return r.c_signed ? fn.template operator()<uint64_t, int16_t>() : fn.template operator()<uint64_t, uint16_t>();
}

// Spike counts into a zeroed float32 raster of (time_bins, n_neurons), neuron
// y * width + x with the width of the events themselves: their largest x plus
// one, found as the sensor size is. For events (n >= 1) with x and y fields of
// 16-bit integers, in one pass for the record layout, else in two; or without
// a y field, where the neuron is x and no width is needed.
inline void count_raster_own_width(const EventColumns& ev, int64_t time_bins, int64_t n_neurons, float* out,
                                   size_t out_cells) {
    std::optional<int64_t> width;
    if (!ev.y) width = 0;
    const std::optional<RasterRecords> recs = n_neurons >= 1 ? raster_records(ev, time_bins) : std::nullopt;
    if (recs) {
        const uint64_t neurons = static_cast<uint64_t>(n_neurons);
        const bool done = with_record_types(*recs, [&]<typename T, typename C>() {
            return records::raster_by_band<T, C>(recs->layout, ev.n, time_bins, neurons, out, width);
        });
        if (done) return;
    }
    if (!width) {
        const ColumnMax m = column_max_xy(ev.x, *ev.y, ev.n).first;
        width = (m.is_unsigned ? static_cast<int64_t>(m.u) : m.i) + 1;
    }
    with_cells(out, out_cells, ev.n, [&](auto& cells) {
        count_raster(ev, time_bins, n_neurons, *width, cells);
        cells.finish();
    });
}

}  // namespace zv::kern
