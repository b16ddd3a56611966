// Event binning: time bins, ON/OFF frame counts and neuron rasters.
//
// Counting happens in the caller's float32 output buffer, with no per-event
// array. The buffer starts zeroed, or (frames) unwritten: then a frame counted a
// byte a cell is stored whole on its first visit and only the rest is cleared. Beyond 2**24 events a float32 cell could stall at 16777216, so large
// recordings count in uint32 (plus a side table past 2**32) and convert at the
// end.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "kernels/column_max.hpp"
#include "kernels/columns.hpp"
#include "kernels/frame_bytes_avx2.hpp"
#include "kernels/record_binning_avx2.hpp"
#include "kernels/time_bins.hpp"

namespace zv::kern {

inline constexpr size_t kChunk = 2048;

// Counting cells that live in a float32 buffer of n_cells elements, which
// start zeroed (a fresh zero array) unless told otherwise (zeroed()). Counts are kept as uint32 while
// counting, with a side table for the rare cell that passes 2**32 events.
class IntCells {
public:
    IntCells(void* cells, size_t n_cells, bool zeroed = true)
        : cells_(static_cast<std::byte*>(cells)), n_cells_(n_cells), zeroed_(zeroed) {}
    void reset() {
        std::memset(cells_, 0, n_cells_ * 4);
        carry_.clear();
        zeroed_ = true;
    }
    // Whether every cell holds a count (else those of frames not yet visited hold anything).
    bool zeroed() const { return zeroed_; }
    void add(size_t i) { counter().add(i); }
    // The adder of a hot loop: a copy held in registers, which stores into the
    // cells cannot make the loop reload.
    struct Counter {
        std::byte* cells;
        IntCells* owner;
        void add(size_t i) const {
            uint32_t c;
            std::memcpy(&c, cells + i * 4, 4);
            if (++c == 0) [[unlikely]] ++owner->carry_[i];
            std::memcpy(cells + i * 4, &c, 4);
        }
        void add_many(size_t i, uint32_t k) const {
            uint32_t c;
            std::memcpy(&c, cells + i * 4, 4);
            const uint64_t sum = uint64_t{c} + k;
            if (sum >> 32) [[unlikely]] owner->carry_[i] += sum >> 32;
            c = static_cast<uint32_t>(sum);
            std::memcpy(cells + i * 4, &c, 4);
        }
        void add_bytes(size_t first, const uint8_t* bytes, size_t n) const {
            for (size_t j = 0; j < n; ++j)
                if (bytes[j]) add_many(first + j, bytes[j]);
        }
        // Cells first.. that are still zero take the bytes' counts.
        void store_bytes(size_t first, const uint8_t* bytes, size_t n) const {
            std::byte* c = cells + first * 4;
            for (size_t j = 0; j < n; ++j) {
                const uint32_t v = bytes[j];
                std::memcpy(c + j * 4, &v, 4);
            }
        }
        // Cells that have never counted (no carries) become zero.
        void zero(size_t first, size_t n) const { std::memset(cells + first * 4, 0, n * 4); }
    };
    Counter counter() { return {cells_, this}; }
    // Every cell becomes its count as float32 (rounded to nearest).
    void finish() {
        for (size_t i = 0; i < n_cells_; ++i) store(i, count(i));
    }
    // Cells form `planes` consecutive planes of `plane` cells; plane k becomes
    // the running total of planes 0..k (a prefix sum over frames).
    void finish_cumulative(size_t planes, size_t plane) {
        uint64_t running[kChunk];
        for (size_t j0 = 0; j0 < plane; j0 += kChunk) {
            const size_t n = std::min(kChunk, plane - j0);
            std::fill_n(running, n, 0);
            for (size_t k = 0; k < planes; ++k) {
                const size_t base = k * plane + j0;
                for (size_t j = 0; j < n; ++j) {
                    running[j] += count(base + j);
                    store(base + j, running[j]);
                }
            }
        }
    }

private:
    uint64_t count(size_t i) const {
        uint32_t c;
        std::memcpy(&c, cells_ + i * 4, 4);
        uint64_t total = c;
        if (!carry_.empty()) {
            auto it = carry_.find(i);
            if (it != carry_.end()) total += it->second << 32;
        }
        return total;
    }
    void store(size_t i, uint64_t total) {
        const float f = static_cast<float>(total);
        std::memcpy(cells_ + i * 4, &f, 4);
    }

    std::byte* cells_;
    size_t n_cells_;
    bool zeroed_;
    std::unordered_map<size_t, uint64_t> carry_;
};

// Counting straight in float32, exact while no total can pass 2**24: used
// when the whole recording has at most that many events.
class FloatCells {
public:
    static constexpr size_t kExactLimit = size_t{1} << 24;
    FloatCells(void* cells, size_t n_cells, bool zeroed = true)
        : cells_(static_cast<float*>(cells)), n_cells_(n_cells), zeroed_(zeroed) {}
    void reset() {
        std::fill_n(cells_, n_cells_, 0.0f);
        zeroed_ = true;
    }
    bool zeroed() const { return zeroed_; }
    void add(size_t i) { cells_[i] += 1.0f; }
    struct Counter {
        float* cells;
        void add(size_t i) const { cells[i] += 1.0f; }
        // Whole counts: exact while no total passes 2**24.
        void add_many(size_t i, uint32_t k) const { cells[i] += static_cast<float>(k); }
        void add_bytes(size_t first, const uint8_t* bytes, size_t n) const {
            float* c = cells + first;
            for (size_t j = 0; j < n; ++j) c[j] += static_cast<float>(bytes[j]);
        }
        // Cells first.. that are still zero take the bytes' counts.
        void store_bytes(size_t first, const uint8_t* bytes, size_t n) const {
            float* c = cells + first;
            for (size_t j = 0; j < n; ++j) c[j] = static_cast<float>(bytes[j]);
        }
        void zero(size_t first, size_t n) const { std::fill_n(cells + first, n, 0.0f); }
    };
    Counter counter() const { return {cells_}; }
    void finish() {}
    // A chunk of cells at a time through every plane: the running sums stay in
    // the first-level cache, and each cell still adds the planes in their order.
    void finish_cumulative(size_t planes, size_t plane) {
        for (size_t j0 = 0; j0 < plane; j0 += kChunk) {
            const size_t n = std::min(kChunk, plane - j0);
            for (size_t k = 1; k < planes; ++k) {
                float* row = cells_ + k * plane + j0;
                const float* before = row - plane;
                for (size_t j = 0; j < n; ++j) row[j] += before[j];
            }
        }
    }

private:
    float* cells_;
    size_t n_cells_;
    bool zeroed_;
};

// Runs fn(cells) with the cheapest exact counter for `n_events` events; the
// buffer is zeroed, or unwritten for count_frames.
template <typename Fn>
inline void with_cells(void* buffer, size_t n_cells, size_t n_events, Fn&& fn, bool zeroed = true) {
    if (n_events <= FloatCells::kExactLimit) {
        FloatCells cells(buffer, n_cells, zeroed);
        fn(cells);
    } else {
        IntCells cells(buffer, n_cells, zeroed);
        fn(cells);
    }
}

// Smallest and largest finite timestamp; false when there is none. Integer
// columns are scanned as integers: the conversion to double is monotonic, so
// the extremes convert to the extremes.
inline bool finite_time_range(const Column& t, size_t n, double& lo, double& hi) {
    lo = INFINITY;
    hi = -INFINITY;
    if (n == 0) return false;
    if (t.kind == NumKind::Int || t.kind == NumKind::UInt) {
        visit(t, [&]<typename L>() {
            if constexpr (requires(const std::byte* p) { L::value(p); }) {
                const std::byte* p = t.base;
                auto mn = L::value(p), mx = mn;
                for (size_t i = 1; i < n; ++i) {
                    p += t.stride;
                    const auto v = L::value(p);
                    mn = v < mn ? v : mn;
                    mx = v > mx ? v : mx;
                }
                lo = static_cast<double>(mn);
                hi = static_cast<double>(mx);
            }
        });
        return true;
    }
    double buf[kChunk];
    for (size_t b = 0; b < n; b += kChunk) {
        const size_t m = std::min(kChunk, n - b);
        decode_doubles(t, b, m, buf);
        for (size_t i = 0; i < m; ++i) {
            const double v = buf[i];
            if (!std::isfinite(v)) continue;
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
    }
    return lo <= hi;
}

struct EventColumns {
    size_t n = 0;
    Column t, x;
    std::optional<Column> y, p;
};

// Reads events through per-chunk buffers: any column types, one type switch
// per column and chunk.
class ChunkReader {
public:
    ChunkReader(const EventColumns& ev, bool want_polarity) : ev_(ev), want_polarity_(want_polarity) {}

    // f(t, x, y, on) for every event in order.
    template <typename F>
    void operator()(F&& f) const {
        auto c = std::make_unique<Buffers>();
        for (size_t b = 0; b < ev_.n; b += kChunk) {
            const size_t m = std::min(kChunk, ev_.n - b);
            decode_doubles(ev_.t, b, m, c->t);
            decode_coordinates(ev_.x, b, m, c->x);
            if (ev_.y) decode_coordinates(*ev_.y, b, m, c->y);
            else std::fill_n(c->y, m, 0);
            if (want_polarity_ && ev_.p) decode_positive(*ev_.p, b, m, c->on);
            else std::fill_n(c->on, m, 1);
            for (size_t i = 0; i < m; ++i) f(c->t[i], c->x[i], c->y[i], c->on[i] != 0);
        }
    }

private:
    struct Buffers {
        double t[kChunk];
        int64_t x[kChunk];
        int64_t y[kChunk];
        uint8_t on[kChunk];
    };
    const EventColumns& ev_;
    bool want_polarity_;
};

struct NoColumn {  // a missing y (row 0) or polarity (every event ON)
    static int64_t as_coordinate(const std::byte*) { return 0; }
    static bool positive(const std::byte*) { return true; }
};

// Reads events straight from the records, for the common column types: no
// buffers in between, about twice as fast as the chunked reader.
template <typename TL, typename XL, typename YL, typename PL>
class FusedReader {
public:
    explicit FusedReader(const EventColumns& ev) : ev_(ev) {}

    template <typename F>
    void operator()(F&& f) const {
        const std::byte *t = ev_.t.base, *x = ev_.x.base;
        const std::byte* y = ev_.y ? ev_.y->base : nullptr;
        const std::byte* p = ev_.p ? ev_.p->base : nullptr;
        const std::ptrdiff_t st = ev_.t.stride, sx = ev_.x.stride;
        const std::ptrdiff_t sy = ev_.y ? ev_.y->stride : 0, sp = ev_.p ? ev_.p->stride : 0;
        for (size_t i = 0; i < ev_.n; ++i) {
            f(TL::as_double(t), XL::as_coordinate(x), YL::as_coordinate(y), PL::positive(p));
            t += st;
            x += sx;
            if constexpr (!std::is_same_v<YL, NoColumn>) y += sy;
            if constexpr (!std::is_same_v<PL, NoColumn>) p += sp;
        }
    }

private:
    const EventColumns& ev_;
};

namespace fused {

inline bool native(const Column* c, NumKind kind, uint8_t size) {
    return c && !(c->swapped && c->size > 1) && c->kind == kind && c->size == size;
}

// Calls fn(reader) with a fused reader when every column has a common type;
// false otherwise.
template <typename Fn>
inline bool try_fused(const EventColumns& ev, bool want_polarity, Fn&& fn) {
    const Column* y = ev.y ? &*ev.y : nullptr;
    const Column* p = want_polarity && ev.p ? &*ev.p : nullptr;
    auto with_p = [&]<typename TL, typename XL, typename YL>() -> bool {
        if (!p) fn(FusedReader<TL, XL, YL, NoColumn>(ev));
        else if (native(p, NumKind::Int, 1)) fn(FusedReader<TL, XL, YL, Loader<int8_t, false>>(ev));
        else if (native(p, NumKind::UInt, 1) || native(p, NumKind::Bool, 1))
            fn(FusedReader<TL, XL, YL, Loader<uint8_t, false>>(ev));
        else if (native(p, NumKind::Int, 8)) fn(FusedReader<TL, XL, YL, Loader<int64_t, false>>(ev));
        else return false;
        return true;
    };
    auto with_coords = [&]<typename TL, typename CL>() -> bool {
        if (!y) return with_p.template operator()<TL, CL, NoColumn>();
        if (y->kind == ev.x.kind && y->size == ev.x.size && native(y, y->kind, y->size))
            return with_p.template operator()<TL, CL, CL>();
        return false;
    };
    auto with_t = [&]<typename TL>() -> bool {
        if (native(&ev.x, NumKind::Int, 2)) return with_coords.template operator()<TL, Loader<int16_t, false>>();
        if (native(&ev.x, NumKind::UInt, 2)) return with_coords.template operator()<TL, Loader<uint16_t, false>>();
        if (native(&ev.x, NumKind::Int, 8)) return with_coords.template operator()<TL, Loader<int64_t, false>>();
        return false;
    };
    if (native(&ev.t, NumKind::Int, 8)) return with_t.template operator()<Loader<int64_t, false>>();
    if (native(&ev.t, NumKind::UInt, 8)) return with_t.template operator()<Loader<uint64_t, false>>();
    if (native(&ev.t, NumKind::Float, 8)) return with_t.template operator()<Loader<double, false>>();
    return false;
}

}  // namespace fused

// fn(reader) with the fastest reader for these columns.
template <typename Fn>
inline void with_reader(const EventColumns& ev, bool want_polarity, Fn&& fn) {
    if (!fused::try_fused(ev, want_polarity, fn)) fn(ChunkReader(ev, want_polarity));
}

// One pass that bins every event with a finite timestamp into `n_bins` time
// bins over [lo, hi] and hands it to add(bin, x, y, on); gives the finite
// timestamp range it saw.
template <typename Reader, typename Add>
inline void binned_pass(const Reader& read, int64_t n_bins, double lo, double hi, double& seen_lo,
                        double& seen_hi, Add&& add) {
    TimeBinning bin(lo, hi, n_bins);
    double s_lo = INFINITY, s_hi = -INFINITY;
    read([&](double t, int64_t x, int64_t y, bool on) {
        if (!std::isfinite(t)) return;
        s_lo = t < s_lo ? t : s_lo;
        s_hi = t > s_hi ? t : s_hi;
        add(bin(t), x, y, on);
    });
    seen_lo = s_lo;
    seen_hi = s_hi;
}

// Bins every event over the true timestamp range. Recordings are usually
// time-ordered, so the first pass guesses the range from the first and last
// event and checks the guess as it goes; only a wrong guess costs a second pass.
template <typename Cells, typename Add>
inline void for_each_binned(const EventColumns& ev, int64_t n_bins, bool want_polarity, Cells& cells,
                            Add&& add) {
    if (ev.n == 0) return;
    with_reader(ev, want_polarity, [&](const auto& read) {
        double first, last, lo, hi;
        decode_doubles(ev.t, 0, 1, &first);
        decode_doubles(ev.t, ev.n - 1, 1, &last);
        if (std::isfinite(first) && std::isfinite(last) && first <= last) {
            binned_pass(read, n_bins, first, last, lo, hi, add);
            if (lo == first && hi == last) return;
            cells.reset();
        }
        if (!finite_time_range(ev.t, ev.n, lo, hi)) return;
        double seen_lo, seen_hi;
        binned_pass(read, n_bins, lo, hi, seen_lo, seen_hi, add);
    });
}

namespace records {

// The largest frame (two planes) counted in bytes first: past it the bytes
// themselves would not stay in the caches.
inline constexpr uint64_t kByteFrameLimit = uint64_t{4} << 20;

// The smallest and largest timestamp of n records (n >= 1).
template <typename T>
inline void time_range(const Layout& f, size_t n, T& lo, T& hi) {
    const std::byte* r = f.t;
    T mn = load<T>(r), mx = mn;
    for (size_t i = 1; i < n; ++i) {
        r += f.stride;
        const T v = load<T>(r);
        mn = v < mn ? v : mn;
        mx = v > mx ? v : mx;
    }
    lo = mn;
    hi = mx;
}

// Bins every record over the true time range: first over the range of the
// first and last record (right for time-ordered recordings), and only when an
// event falls outside it, again over the range found by a scan.
template <typename T, typename C, typename P, bool HasY, typename Cells, typename Place>
inline void bin_all(const Layout& f, size_t n, int64_t bins, Cells& cells, const Place& place) {
    // Frames that many events fill count a byte a cell first (ByteFrame).
    std::vector<uint8_t> bytes;
    if constexpr (std::is_same_v<Place, FramePlace>)
        if (2 * place.plane <= kByteFrameLimit && n / 2 >= static_cast<uint64_t>(bins) * place.plane / 4)
            bytes.resize(static_cast<size_t>(2 * place.plane));
    if (bytes.empty() && !cells.zeroed()) cells.reset();
    auto pass_of = [&](const Layout& f, size_t n, const IntegerEdges<T>& edges) {
        if (!bytes.empty()) std::fill(bytes.begin(), bytes.end(), uint8_t{0});
        uint8_t* frame_bytes = bytes.empty() ? nullptr : bytes.data();
#ifdef ZV_RECORD_BINNING_AVX2
        constexpr bool kNoPolarity = std::is_same_v<P, NoPolarity>;
        if constexpr (HasY && std::is_same_v<Place, FramePlace> != kNoPolarity)
            if (avx2::usable() && avx2::packed(f, !kNoPolarity) && avx2::fits(place)) {
                if constexpr (std::is_same_v<Place, FramePlace>)
                    if (frame_bytes && avx2::fits_words(place))
                        return avx2::frame_bytes_pass<T, C, P>(f, n, edges, cells, place, frame_bytes, bins);
                return avx2::pass<T, C, P>(f, n, edges, cells, place, frame_bytes, bins);
            }
#endif
        return pass<T, C, P, HasY>(f, n, edges, cells, place, frame_bytes, bins);
    };
    const T first = load<T>(f.t), last = load<T>(f.t + static_cast<std::ptrdiff_t>(n - 1) * f.stride);
    if (first <= last) {
        const IntegerEdges<T> guess(first, last, bins);
        if (pass_of(f, n, guess)) return;
        cells.reset();
    }
    T lo, hi;
    time_range(f, n, lo, hi);
    pass_of(f, n, IntegerEdges<T>(lo, hi, bins));
}

}  // namespace records

// Bins with the record kernel when the columns have the layout of decoded
// recordings (one stride, 64-bit integer time, 16-bit coordinates, 8-bit or no
// polarity); false when they do not.
template <typename Cells, typename Place>
inline bool try_records(const EventColumns& ev, int64_t n_bins, bool want_polarity, Cells& cells, const Place& place) {
    using fused::native;
    if (ev.n == 0 || n_bins > IntegerEdges<int64_t>::kMaxBins) return false;
    const Column* y = ev.y ? &*ev.y : nullptr;
    const Column* p = want_polarity && ev.p ? &*ev.p : nullptr;
    const std::ptrdiff_t stride = ev.t.stride;
    if (ev.x.stride != stride || (y && y->stride != stride) || (p && p->stride != stride)) return false;
    const records::Layout f{ev.t.base, stride, ev.x.base - ev.t.base, y ? y->base - ev.t.base : 0,
                            p ? p->base - ev.t.base : 0};
    auto with_p = [&]<typename T, typename C, bool HasY>() -> bool {
        if (!p) records::bin_all<T, C, records::NoPolarity, HasY>(f, ev.n, n_bins, cells, place);
        else if (native(p, NumKind::Int, 1)) records::bin_all<T, C, int8_t, HasY>(f, ev.n, n_bins, cells, place);
        else if (native(p, NumKind::UInt, 1)) records::bin_all<T, C, uint8_t, HasY>(f, ev.n, n_bins, cells, place);
        else if (native(p, NumKind::Bool, 1)) records::bin_all<T, C, bool, HasY>(f, ev.n, n_bins, cells, place);
        else return false;
        return true;
    };
    auto with_c = [&]<typename T, typename C>() -> bool {
        if (!y) return with_p.template operator()<T, C, false>();
        if (native(y, ev.x.kind, 2)) return with_p.template operator()<T, C, true>();
        return false;
    };
    auto with_t = [&]<typename T>() -> bool {
        if (native(&ev.x, NumKind::Int, 2)) return with_c.template operator()<T, int16_t>();
        if (native(&ev.x, NumKind::UInt, 2)) return with_c.template operator()<T, uint16_t>();
        return false;
    };
    if (native(&ev.t, NumKind::Int, 8)) return with_t.template operator()<int64_t>();
    if (native(&ev.t, NumKind::UInt, 8)) return with_t.template operator()<uint64_t>();
    return false;
}

// ON/OFF counts into cells of shape (n_frames, 2, height, width); events with
// a non-finite timestamp or outside the sensor are dropped.
template <typename Cells>
inline void count_frames(const EventColumns& ev, int64_t n_frames, int64_t width, int64_t height, Cells& cells) {
    // One unsigned compare per axis also drops negatives; the plane offset is a product of sizes
    // known before the loop.
    const uint64_t w = static_cast<uint64_t>(width), h = static_cast<uint64_t>(height), plane = w * h;
    records::FramePlace place(w, h);
    if (try_records(ev, n_frames, true, cells, place)) return;
    if (!cells.zeroed()) cells.reset();
    for_each_binned(ev, n_frames, true, cells, [&cells, w, h, plane](int64_t frame, int64_t x, int64_t y, bool on) {
        if (static_cast<uint64_t>(x) >= w || static_cast<uint64_t>(y) >= h) return;
        cells.add(static_cast<size_t>((static_cast<uint64_t>(frame) * 2 + (on ? 0 : 1)) * plane +
                                      static_cast<uint64_t>(y) * w + static_cast<uint64_t>(x)));
    });
}

// Neuron index y * width + x (or x alone), computed in 64 bits; nullopt when
// the event has no valid index.
inline std::optional<int64_t> neuron_index(int64_t x, int64_t y, bool has_y, int64_t width) {
    if (x == kNoCoordinate || y == kNoCoordinate) return std::nullopt;
    if (!has_y) return x;
    int64_t row;
    if (__builtin_mul_overflow(y, width, &row)) return std::nullopt;  // far outside any raster
    int64_t idx;
    if (__builtin_add_overflow(row, x, &idx)) return std::nullopt;
    return idx;
}

// Spike counts into cells of shape (time_bins, n_neurons).
template <typename Cells>
inline void count_raster(const EventColumns& ev, int64_t time_bins, int64_t n_neurons, int64_t width,
                         Cells& cells) {
    const bool has_y = ev.y.has_value();
    if (width >= 0 && width < (int64_t{1} << 31)) {
        records::RasterPlace place(static_cast<uint64_t>(n_neurons), width);
        if (try_records(ev, time_bins, false, cells, place)) return;
    }
    for_each_binned(ev, time_bins, false, cells, [&](int64_t bin, int64_t x, int64_t y, bool) {
        const auto neuron = neuron_index(x, y, has_y, width);
        if (!neuron || *neuron < 0 || *neuron >= n_neurons) return;
        cells.add(static_cast<size_t>(bin * n_neurons + *neuron));
    });
}

}  // namespace zv::kern
