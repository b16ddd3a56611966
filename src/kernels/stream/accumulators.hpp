// The streaming engine's accumulators: one decoded event, and the small counts
// every job shares (extent and peak rate and their report, time bins for the timeline and the
// raster, per-pixel counts, one frame's counts). Memory depends on the sensor
// and the bin counts, never on the number of events. No Python here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "kernels/evt.hpp"
#include "kernels/memory.hpp"

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
        if (count_) {
            // Health: times below the one before (file order), and stretches of 100 ms or
            // more with no event past the latest time so far.
            backwards_ += e.t < prev_;
            gaps_ += e.t > t_last_ && e.t - t_last_ >= kGapUs;
        }
        prev_ = e.t;
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
    int64_t gaps() const { return gaps_; }
    int64_t backwards() const { return backwards_; }

private:
    static constexpr int64_t kGapUs = 100'000;
    int64_t prev_ = 0, gaps_ = 0, backwards_ = 0;
    bool have_events_ = false;
    int64_t t_first_ = 0, t_last_ = 0, t_first_seen_ = 0, count_ = 0, on_count_ = 0;
    int64_t rate_bin_ = -1, rate_count_ = 0, peak_ = 0;
    int64_t rate_lo_ = 0, rate_hi_ = 0;  // the running bin's span; empty until the first event
};

// What a pass reports: the extent of the events it counted, and the events it left
// out for lying off the sensor. The base of the engine's jobs and of file summaries.
class ExtentReport {
public:
    bool have_events() const { return extent_.have_events(); }
    int64_t t_first() const { return extent_.t_first(); }
    int64_t t_last() const { return extent_.t_last(); }
    int64_t count() const { return extent_.count(); }
    int64_t on_count() const { return extent_.on_count(); }
    int64_t peak_10ms() const { return extent_.peak_10ms(); }
    int64_t gaps() const { return extent_.gaps(); }
    int64_t backwards() const { return extent_.backwards(); }
    int64_t outside() const { return outside_; }
    const Event& first_outside() const { return first_outside_; }

protected:
    ExtentCounts extent_;
    int64_t outside_ = 0;
    Event first_outside_{};
};

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
    const HugePageVector<uint32_t>& on() const { return on_; }
    const HugePageVector<uint32_t>& off() const { return off_; }

private:
    static uint32_t saturated(uint32_t a, uint32_t b) { return a > UINT32_MAX - b ? UINT32_MAX : a + b; }
    HugePageVector<uint32_t> on_, off_;
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

}  // namespace zv::kern::stream
