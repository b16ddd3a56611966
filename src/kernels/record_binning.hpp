// Binning straight from the records of an event array whose time field is a
// 64-bit integer and whose coordinates are 16-bit: the layout of every decoded
// recording. One pointer walks the records; each event costs one unsigned
// compare for its time bin (the bin's keys, see IntegerEdges), one per axis
// for the sensor, and a branch-free channel offset, with no conversion to
// double. Results are those of the generic reader in binning.hpp, bin for bin.
//
// Contract: fields lie at fixed offsets from the time field in records of one
// stride; `n` records are readable from `f.t`. A pass given a guessed time
// range returns false at the first timestamp outside it, with some events
// already counted (the caller resets the cells).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "kernels/time_bins.hpp"

namespace zv::kern::records {

struct Layout {
    const std::byte* t = nullptr;  // the time field of record 0
    std::ptrdiff_t stride = 0;
    std::ptrdiff_t x = 0, y = 0, p = 0;  // offsets of the other fields from the time field
};

template <typename V>
inline V load(const std::byte* at) {
    V v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

struct NoPolarity {};  // every event is ON

template <typename P>
inline bool positive(const std::byte* at) {
    if constexpr (std::is_same_v<P, NoPolarity>) return true;
    else if constexpr (std::is_same_v<P, bool>) return load<uint8_t>(at) != 0;
    else return load<P>(at) > 0;
}

// ON/OFF cells of (frames, 2, height, width); events outside the sensor are dropped.
struct FramePlace {
    uint64_t width, height, plane, base = 0;
    FramePlace(uint64_t w, uint64_t h) : width(w), height(h), plane(w * h) {}
    void select(size_t bin) { base = static_cast<uint64_t>(bin) * 2 * plane; }
    template <typename Counter>
    void add(Counter& cells, int64_t x, int64_t y, bool on) const {
        // One unsigned compare per axis also drops negatives.
        if (static_cast<uint64_t>(x) >= width || static_cast<uint64_t>(y) >= height) return;
        const uint64_t channel = static_cast<uint64_t>(!on) * plane;
        cells.add(static_cast<size_t>(base + channel + static_cast<uint64_t>(y) * width + static_cast<uint64_t>(x)));
    }
};

// Cells of (time_bins, neurons), neuron y * width + x (x alone without y);
// only the flattened index is tested. 16-bit coordinates and a width below
// 2**31 keep it inside int64.
struct RasterPlace {
    uint64_t neurons, base = 0;
    int64_t width;
    RasterPlace(uint64_t n, int64_t w) : neurons(n), width(w) {}
    void select(size_t bin) { base = static_cast<uint64_t>(bin) * neurons; }
    template <typename Counter>
    void add(const Counter& cells, int64_t x, int64_t y, bool) const {
        const int64_t neuron = y * width + x;
        if (static_cast<uint64_t>(neuron) >= neurons) return;
        cells.add(static_cast<size_t>(base + static_cast<uint64_t>(neuron)));
    }
};

// Frame counts kept a byte a cell while a frame fills, over the cells' own
// counter: a frame of an HD sensor is then 1.8 MB of bytes instead of 7.4 MB of
// float32, and its scattered increments stay in the caches. A byte that wraps
// adds 256 to its cell; when the frame changes its bytes are added in and
// cleared (one sequential pass), or stored, on a frame's first visit without a
// wrap, whose cells are still zero (a write-only pass over the output). Events
// out of time order would change frames all the time: past a number of changes
// the bytes are given up and counts go straight to the cells. Counts are
// integers, so the sums are those of counting one by one. Cells may start
// unwritten: a frame's are cleared before a wrap adds to them on its first
// visit, and those of frames never visited when the bytes stop (finish, or
// given up).
template <typename Counter>
class ByteFrame {
public:
    // `bytes` (zeroed, one per cell of a frame) or nullptr to count straight away
    // into zeroed cells; the cells (of `frames` frames) start zeroed or unwritten.
    ByteFrame(Counter cells, uint8_t* bytes, size_t frame_cells, size_t most_changes, size_t frames, bool zeroed)
        : cells_(cells), bytes_(bytes), frame_cells_(frame_cells), changes_left_(most_changes),
          visited_(bytes ? frames : 0), zeroed_(zeroed) {
        if (bytes) visited_[0] = true;
    }

    void add(size_t i) {
        if (!bytes_) return cells_.add(i);
        uint8_t& b = bytes_[i - base_];
        if (++b == 0) [[unlikely]] wrapped(i - base_);
    }
    // The bytes of the current frame (cell j of the frame at j), nullptr once given up.
    uint8_t* bytes() const { return bytes_; }
    // Byte j of the current frame has just wrapped to 0.
    [[gnu::noinline, gnu::cold]] void wrapped(size_t j) {
        if (first_ && !carried_ && !zeroed_) cells_.zero(static_cast<size_t>(base_), frame_cells_);
        cells_.add_many(static_cast<size_t>(base_) + j, 256);
        carried_ = true;
    }
    void move_to(uint64_t base) {
        flush();
        base_ = base;
        if (bytes_ && changes_left_-- == 0) {
            clear_unvisited();
            bytes_ = nullptr;
        }
        if (!bytes_) return;
        const size_t frame = static_cast<size_t>(base / frame_cells_);
        first_ = !visited_[frame];
        visited_[frame] = true;
        carried_ = false;
    }
    void flush() {
        if (!bytes_) return;
        if (first_ && !carried_) cells_.store_bytes(static_cast<size_t>(base_), bytes_, frame_cells_);
        else cells_.add_bytes(static_cast<size_t>(base_), bytes_, frame_cells_);
        std::memset(bytes_, 0, frame_cells_);
    }
    // The last frame's bytes into the cells, and every cell a count.
    void finish() {
        flush();
        clear_unvisited();
    }

private:
    void clear_unvisited() {
        if (zeroed_) return;
        for (size_t k = 0; k < visited_.size(); ++k)
            if (!visited_[k]) cells_.zero(k * frame_cells_, frame_cells_);
        zeroed_ = true;
    }

    Counter cells_;
    uint8_t* bytes_;
    size_t frame_cells_;
    size_t changes_left_;
    uint64_t base_ = 0;
    std::vector<bool> visited_;  // frames whose bytes have been counted
    bool zeroed_;                // the cells of frames not visited are zero
    bool first_ = true;          // the current frame's first visit
    bool carried_ = false;       // a wrap has added to the current frame's cells
};

// The frame changes a byte frame follows: a time-ordered recording changes
// frame once per frame.
inline size_t byte_frame_changes(int64_t bins) { return static_cast<size_t>(bins) + 64; }

// Where one pass stands: the bin, its keys and the place's cells for it.
template <typename T, typename Place>
struct Cursor {
    const IntegerEdges<T>& edges;
    Place at;
    uint64_t start = 0, span = 0;
    Cursor(const IntegerEdges<T>& e, const Place& place) : edges(e), at(place) { move(0); }
    void move(size_t bin) {
        start = edges.start(bin);
        span = edges.span(bin);
        at.select(bin);
    }
};

// Counts the event of record r; false when its timestamp lies outside the range.
template <typename T, typename C, typename P, bool HasY, typename Counter, typename Place>
inline bool step(const std::byte* r, const Layout& f, Cursor<T, Place>& c, Counter& counter) {
    const uint64_t u = IntegerEdges<T>::key(load<T>(r));
    if (u - c.start >= c.span) [[unlikely]] {
        if (!c.edges.contains(u)) return false;
        c.move(c.edges.find(u));
        if constexpr (requires { counter.move_to(uint64_t{}); }) counter.move_to(c.at.base);
    }
    const int64_t x = load<C>(r + f.x);
    int64_t y = 0;
    if constexpr (HasY) y = load<C>(r + f.y);
    c.at.add(counter, x, y, positive<P>(r + f.p));
    return true;
}

// One pass over n records. T: int64_t or uint64_t time; C: int16_t or uint16_t
// coordinates; P: the polarity's type or NoPolarity; without y every event
// is on row 0.
template <typename T, typename C, typename P, bool HasY, typename Counter, typename Place>
inline bool pass_with(const Layout& layout, size_t n, const IntegerEdges<T>& edges, Counter& counter,
                      const Place& place) {
    // Everything the loop reads lives in locals: a store into the cells could
    // otherwise alias it and force a reload per event.
    const Layout f = layout;
    Cursor<T, Place> c(edges, place);
    const std::byte* r = f.t;
    for (size_t i = 0; i < n; ++i, r += f.stride)
        if (!step<T, C, P, HasY>(r, f, c, counter)) return false;
    return true;
}

// The counter a pass counts through: frames through a byte frame (`bytes`, when
// given, holds one zeroed byte per cell of a frame), rasters straight.
template <typename Cells, typename Place>
inline auto counter_for(Cells& cells, const Place& place, uint8_t* bytes, int64_t bins) {
    if constexpr (std::is_same_v<Place, FramePlace>)
        return ByteFrame(cells.counter(), bytes, static_cast<size_t>(2 * place.plane), byte_frame_changes(bins),
                         static_cast<size_t>(bins), cells.zeroed());
    else
        return cells.counter();
}

template <typename Counter>
inline void finish_counter(Counter& counter) {
    if constexpr (requires { counter.finish(); }) counter.finish();
}

template <typename T, typename C, typename P, bool HasY, typename Cells, typename Place>
inline bool pass(const Layout& layout, size_t n, const IntegerEdges<T>& edges, Cells& cells, const Place& place,
                 uint8_t* bytes, int64_t bins) {
    auto counter = counter_for(cells, place, bytes, bins);
    if (!pass_with<T, C, P, HasY>(layout, n, edges, counter, place)) return false;
    finish_counter(counter);
    return true;
}

}  // namespace zv::kern::records
