// The streaming engines, one per job, over the shared accumulators. Each is fed
// decoded records in time order and counts them:
//   Survey   the extent and counts of everything it is given;
//   Summary  also what lies in the span and on the sensor: timeline, raster, pixel counts;
//   Page     also frames on a frame grid, as PNGs in a spool file, and the overview;
//   Render   also frames rendered through decay, tone curve and palette, for a video.
// Memory depends on the sensor and the settings, never on the event count. No Python here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kernels/evt.hpp"
#include "kernels/stream/accumulators.hpp"
#include "kernels/stream/encoder.hpp"
#include "kernels/stream/frame_buffer.hpp"
#include "kernels/stream/overview.hpp"
#include "kernels/stream/png_writer.hpp"
#include "kernels/stream/renderer.hpp"

namespace zv::kern::stream {

// The decoded span is [t0, t1). Frames lie on a grid of `period_us` from
// t0 - lead * period_us: the lead-in frames before t0 see events that nothing
// else counts, so the decay is right at t0. Each job reads the settings it needs.
struct Config {
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
    int64_t frames_only = 0;  // 1: the frames alone (no tallies, pixel counts or overview to fold into)
    // Render: the frame rule's settings.
    double gain = 1.0;
    Palette palette{};
    int64_t scale = 1;
    size_t pending_limit = 4;
};

// What every job reports: the extent, counts and peak rate of the events it
// counted, and the events it left out (outside the span, outside the sensor).
class Extent : public ExtentReport {
public:
    int64_t max_x() const { return max_x_; }
    int64_t max_y() const { return max_y_; }
    int64_t beyond() const { return beyond_; }

protected:
    static constexpr size_t kAhead = 16;  // events between a prefetch and its use

    void note_extent(const Event& e) {
        extent_.note(e);
        max_x_ = std::max(max_x_, e.x);
        max_y_ = std::max(max_y_, e.y);
    }

    int64_t max_x_ = -1, max_y_ = -1;
    int64_t beyond_ = 0;
};

// Survey: every event it is given counts; nothing is left out.
class SurveyEngine : public Extent {
public:
    explicit SurveyEngine(const Config&) {}
    size_t feed(const uint8_t* records, size_t n) {
        for (size_t i = 0; i < n; ++i) note_extent(read_record(records + i * evt::kRecordSize));
        return n;
    }
    bool finish() { return true; }
};

// The jobs that count into tallies: events before the frame grid's start or at
// t1 and after are beyond the span, those off the sensor outside it; what lies
// in [t0, t1) reaches the timeline, the raster and (as each job decides) the
// pixel counts.
class Tallied : public Extent {
public:
    const TimeBins& timeline() const { return timeline_; }
    const TimeBins& raster() const { return raster_; }
    const PixelCounts& pixels() const { return pixels_; }

protected:
    explicit Tallied(Config c)
        : c_(std::move(c)), grid_(c_.t0 - c_.lead * c_.period_us),
          timeline_(2, c_.timeline_bin, static_cast<size_t>(c_.timeline_bins)),
          raster_(static_cast<size_t>(c_.height), c_.raster_bin, static_cast<size_t>(c_.raster_bins)),
          pixels_(static_cast<size_t>(c_.width), static_cast<size_t>(c_.height)) {}

    // False, the event noted as left out, when it lies beyond the span or off the sensor.
    __attribute__((always_inline)) bool admit(const Event& e) {
        if (e.t < grid_ || e.t >= c_.t1) {
            ++beyond_;
            return false;
        }
        if (e.x < 0 || e.y < 0 || e.x >= c_.width || e.y >= c_.height) {
            if (!outside_++) first_outside_ = e;
            return false;
        }
        return true;
    }

    // An event of [t0, t1) into the extent, the timeline and the raster.
    __attribute__((always_inline)) void tally(const Event& e) {
        note_extent(e);
        const int64_t off = e.t - c_.t0;
        timeline_.add(off, e.on ? 0 : 1);
        raster_.add(off, static_cast<size_t>(e.y));
    }

    // Where the record at `rec` lands (x, y, pixel, polarity), or false when it is off the sensor.
    struct Cell {
        size_t x, y, pixel;
        bool on;
    };
    ZV_PREFETCH bool cell_of(const uint8_t* rec, Cell& cell) const {
        int16_t x, y;
        std::memcpy(&x, rec, 2);
        std::memcpy(&y, rec + 2, 2);
        if (static_cast<uint16_t>(x) >= c_.width || static_cast<uint16_t>(y) >= c_.height) return false;
        cell.x = static_cast<size_t>(x);
        cell.y = static_cast<size_t>(y);
        cell.pixel = cell.y * static_cast<size_t>(c_.width) + cell.x;
        cell.on = static_cast<int8_t>(rec[12]) > 0;
        return true;
    }

    // The number of frames of the grid through t1.
    int64_t frame_count() const { return c_.lead + (c_.t1 - c_.t0 + c_.period_us - 1) / c_.period_us; }

    Config c_;
    int64_t grid_ = 0;
    TimeBins timeline_, raster_;
    PixelCounts pixels_;
};

// Summary: the tallies and pixel counts of the span, no frames.
class SummaryEngine : public Tallied {
public:
    explicit SummaryEngine(Config c) : Tallied(std::move(c)) {}

    size_t feed(const uint8_t* records, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            // Events land all over an HD image: the cell an event a little further on will
            // touch is fetched now, so that many misses are in flight instead of one at a time.
            if (i + kAhead < n) prefetch_cell(records + (i + kAhead) * evt::kRecordSize);
            const Event e = read_record(records + i * evt::kRecordSize);
            if (!admit(e) || e.t < c_.t0) continue;
            tally(e);
            pixels_.add(e);
        }
        return n;
    }
    bool finish() { return true; }

private:
    ZV_PREFETCH void prefetch_cell(const uint8_t* rec) const {
        Cell cell;
        if (cell_of(rec, cell)) pixels_.prefetch(cell.pixel, cell.on);
    }
};

// Render: frames on the grid, each rendered as it completes and left waiting
// to be taken. Feeding stops early (returns fewer records used) when the
// waiting frames reach the limit, so a video can be written as it is counted.
class RenderEngine : public Tallied {
public:
    explicit RenderEngine(Config c)
        : Tallied(std::move(c)), frames_(frame_count()), frame_(static_cast<size_t>(c_.width), static_cast<size_t>(c_.height)),
          renderer_(static_cast<size_t>(c_.width), static_cast<size_t>(c_.height), c_.a, c_.gain, c_.palette,
                    static_cast<size_t>(c_.scale)) {
        next_frame();
    }

    size_t feed(const uint8_t* records, size_t n) {
        size_t i = 0;
        for (; i < n; ++i) {
            if (i + kAhead < n) prefetch_cell(records + (i + kAhead) * evt::kRecordSize);
            const Event e = read_record(records + i * evt::kRecordSize);
            if (!admit(e)) continue;
            if (e.t >= frame_end_) {
                // Frames finish one at a time so a render can stop between any two.
                if (pending_.size() >= c_.pending_limit) return i;
                finish_frame();
                --i;  // the same event again, now in its frame
                continue;
            }
            count_event(e);  // an event older than its frame (out of order) counts in the current one
        }
        return i;
    }

    // Finishes the frames through t1; false while frames are still to be
    // finished once the waiting ones are taken.
    bool finish() {
        while (frame_index_ < frames_) {
            if (pending_.size() >= c_.pending_limit) return false;
            finish_frame();
        }
        return true;
    }

    // Rendered frames waiting to be taken: (frame start time, RGB).
    std::deque<std::pair<int64_t, std::vector<uint8_t>>>& pending() { return pending_; }
    size_t out_width() const { return renderer_.out_width(); }
    size_t out_height() const { return renderer_.out_height(); }

private:
    ZV_PREFETCH void prefetch_cell(const uint8_t* rec) const {
        Cell cell;
        if (cell_of(rec, cell)) frame_.prefetch(cell.pixel, cell.on);
    }

    __attribute__((always_inline)) void count_event(const Event& e) {
        if (e.t >= c_.t0) {
            tally(e);
            pixels_.add(e);
        }
        frame_.add(e);
    }

    void finish_frame() {
        std::vector<uint8_t> out(renderer_.out_width() * renderer_.out_height() * 3);
        renderer_.render(frame_.rgb().data(), out.data());
        pending_.emplace_back(grid_ + frame_index_ * c_.period_us, std::move(out));
        frame_.clear();
        ++frame_index_;
        next_frame();
    }

    void next_frame() { frame_end_ = grid_ + (frame_index_ + 1) * c_.period_us; }

    int64_t frames_ = 0;
    int64_t frame_index_ = 0, frame_end_ = std::numeric_limits<int64_t>::min();
    FrameCounts frame_;
    FrameRenderer renderer_;
    std::deque<std::pair<int64_t, std::vector<uint8_t>>> pending_;
};

// Page: frames on the grid within the segments, counted into frame buffers
// and encoded as PNGs on the encoder's threads into the spool; every few frames
// an image of the decayed overview. Between segments no frame is made, and a
// gap of hours costs no per-frame work.
class PageEngine : public Tallied {
public:
    explicit PageEngine(Config c)
        : Tallied(std::move(c)), frames_(frame_count()),
          overview_(static_cast<size_t>(c_.width), static_cast<size_t>(c_.height),
                    static_cast<size_t>(c_.overview_scale), c_.a),
          // No reserve before the first overview image: lead-in frames come first.
          encoder_(static_cast<size_t>(c_.width), static_cast<size_t>(c_.height),
                   static_cast<size_t>(c_.overview_scale), c_.spool, c_.frame_budget, kBuffers, c_.overview_budget) {
        overview_step_ = c_.overview_step;
        if (!c_.frames_only) encoder_.fold_overview_into(&overview_);
        frame_buffer_ = encoder_.take();
        dense_keys_ = std::max<size_t>(size_t(1) << 16, static_cast<size_t>(c_.width * c_.height));
        set_activity();
    }

    size_t feed(const uint8_t* records, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (i + kAhead < n) prefetch_cell(records + (i + kAhead) * evt::kRecordSize);
            const Event e = read_record(records + i * evt::kRecordSize);
            if (!admit(e)) continue;
            if (e.t >= frame_end_) {
                step_towards((e.t - grid_) / c_.period_us);
                --i;  // the same event again, now in its frame
                continue;
            }
            count_event(e);  // an event older than its frame (out of order) counts in the current one
        }
        return n;
    }

    // Finishes the frames through t1 and waits for the encoder.
    bool finish() {
        while (frame_index_ < frames_) step_towards(frames_);
        if (!merged_) {
            encoder_.close();
            pixels_.merge(encoder_.folded());
            merged_ = true;
        }
        return true;
    }

    const FrameEncoder& encoder() const { return encoder_; }
    // From any thread: see FrameEncoder::lower_budget.
    void lower_frame_budget(int64_t by) { encoder_.lower_budget(by); }
    std::vector<std::string>& overview_images() { return overview_images_; }
    size_t overview_width() const { return overview_.width(); }
    size_t overview_height() const { return overview_.height(); }
    int64_t overview_step() const { return overview_step_; }

private:
    // Fetches the accumulator cells the record at `rec` will update (a hint only: the frame may
    // change before it is counted). A folding frame's events go to sequential keys.
    ZV_PREFETCH void prefetch_cell(const uint8_t* rec) const {
        if (folding_ || c_.frames_only) return;
        Cell cell;
        if (!cell_of(rec, cell)) return;
        pixels_.prefetch(cell.pixel, cell.on);
        overview_.prefetch(cell.x, cell.y, cell.on);
    }

    __attribute__((always_inline)) void count_event(const Event& e) {
        const int64_t frame = frame_index_ - c_.lead;  // on the overview's grid from t0
        const bool counts = e.t >= c_.t0;
        if (c_.frames_only) {
            if (active_) {
                frame_buffer_->push(encoder_.bands(), static_cast<size_t>(e.x), static_cast<size_t>(e.y), e.on, counts);
                if (frame_buffer_->keys_held() >= dense_keys_) frame_buffer_->apply_all(encoder_.bands(), nullptr);
            }
            return;
        }
        if (counts) {
            tally(e);
            // Full-rate frames after the lead-in reach the pixel counts and the overview
            // through their frame buffers (on the encoder's thread).
            if (!folding_) {
                pixels_.add(e);
                overview_.add(frame, e);
            }
        }
        if (active_) {
            frame_buffer_->push(encoder_.bands(), static_cast<size_t>(e.x), static_cast<size_t>(e.y), e.on, counts);
            // A frame of more events than its image has bytes fills the image now.
            if (frame_buffer_->keys_held() >= dense_keys_)
                frame_buffer_->apply_all(encoder_.bands(), folding_ ? &pixels_ : nullptr);
        }
    }

    // Moves towards frame `j`: finishes the current frame, or (between
    // segments) skips to the next frame that matters: an overview sample, a
    // segment's start or `j`.
    void step_towards(int64_t j) {
        if (!active_) {
            int64_t target = std::min(j, sample_frame(next_sample_));
            if (!encoder_.full())
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
        if (active_) {
            encoder_.submit(segment_, std::move(frame_buffer_), folding_ && !c_.frames_only, frame_index_ - c_.lead);
            frame_buffer_ = encoder_.take();
        }
        while (sample_frame(next_sample_) == frame_index_) take_sample();
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
        encoder_.wait_folded();  // the frames so far are in the surface
        if (!repeats_blank()) {
            overview_.sample(sample_frame(next_sample_) - c_.lead, sample_rgb_);
            sampled_adds_ = overview_.adds();
            blank_image_.clear();
            overview_images_.push_back(overview_png_.base64(sample_rgb_.data(), overview_.width(), overview_.height()));
        } else {
            overview_images_.push_back(blank_image_);
        }
        overview_bytes_ += static_cast<int64_t>(overview_images_.back().size()) + 3;
        ++next_sample_;
        // Frames may use what the overview will not: its mean image for each image to come.
        const int64_t samples = (frames_ - c_.lead + overview_step_ - 1) / overview_step_;
        const int64_t to_come = std::max<int64_t>(0, samples - next_sample_);
        const int64_t mean = overview_bytes_ / static_cast<int64_t>(overview_images_.size());
        encoder_.reserve(overview_bytes_ + mean * to_come);  // capped at the overview's budget
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

    // Whether the image to take is the last one again: that one was blank and nothing has
    // reached the surface since, which decay keeps blank. A clock that leaves years between
    // events (a damaged file's) would otherwise have the same image sampled and encoded
    // millions of times.
    bool repeats_blank() {
        if (sample_rgb_.empty() || overview_.adds() != sampled_adds_) return false;
        if (blank_image_.empty()) {
            if (std::any_of(sample_rgb_.begin(), sample_rgb_.end(), [](uint8_t v) { return v != 0; })) return false;
            blank_image_ = overview_png_.base64(sample_rgb_.data(), overview_.width(), overview_.height());
        }
        return true;
    }

    void set_activity() {
        frame_end_ = grid_ + (frame_index_ + 1) * c_.period_us;
        const bool was_folding = folding_;
        active_ = false;
        if (!encoder_.full()) {
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
        if (was_folding && !folding_) encoder_.wait_folded();
    }

    static constexpr size_t kBuffers = 8;  // frames counted or on their way to PNGs at once
    int64_t frames_ = 0;
    DecayedOverview overview_;
    FrameEncoder encoder_;  // after the overview it folds frames into, so it stops first
    std::unique_ptr<FrameBuffer> frame_buffer_;  // the current frame, from the encoder's pool
    size_t dense_keys_ = 0;  // keys a frame buffer holds at most before they go into its image
    bool merged_ = false;
    bool folding_ = false;  // the current frame reaches pixel counts and overview through its buffer
    int64_t frame_index_ = 0, frame_end_ = std::numeric_limits<int64_t>::min();  // set by set_activity
    bool active_ = false;
    int64_t segment_ = 0;
    int64_t next_sample_ = 0, overview_step_ = 1, overview_bytes_ = 0;
    std::vector<std::string> overview_images_;
    PngWriter overview_png_;
    std::vector<uint8_t> sample_rgb_;  // the last image sampled
    uint64_t sampled_adds_ = 0;        // the surface's adds when it was
    std::string blank_image_;          // that image encoded, once found blank
};

}  // namespace zv::kern::stream
