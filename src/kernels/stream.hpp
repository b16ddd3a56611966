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
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kernels/base64.hpp"
#include "kernels/evt.hpp"
#include "kernels/png.hpp"

namespace zv::kern::stream {

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
        const auto [z, n] = zlib_.compress(rows_.data(), rows_.size());
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
    void add(const Event& e) {
        uint32_t& c = (e.on ? on_ : off_)[static_cast<size_t>(e.y) * width_ + static_cast<size_t>(e.x)];
        if (c != UINT32_MAX) ++c;
    }
    // Adds a frame's count image (red OFF, green ON) in the rows marked in `rows` (all when
    // empty): eight pixels at a time, skipping empty ones.
    void fold(const uint8_t* rgb, const std::vector<uint8_t>& rows) {
        const size_t height = on_.size() / width_;
        for (size_t y = 0; y < height; ++y) {
            if (!rows.empty() && !rows[y]) continue;
            const size_t first = y * width_, end = first + width_;
            size_t i = first;
            for (; i + 8 <= end; i += 8) {
                uint64_t w[3];
                std::memcpy(w, rgb + 3 * i, 24);
                if ((w[0] | w[1] | w[2]) == 0) continue;
                for (size_t k = i; k < i + 8; ++k) add_counts(k, rgb[3 * k + 1], rgb[3 * k]);
            }
            for (; i < end; ++i) add_counts(i, rgb[3 * i + 1], rgb[3 * i]);
        }
    }
    // Takes back one event of a pixel (counted in a folded image but not to be counted here).
    void remove(size_t pixel, bool on) {
        uint32_t& c = (on ? on_ : off_)[pixel];
        if (c != UINT32_MAX && c) --c;
    }
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
    void add_counts(size_t i, uint8_t on, uint8_t off) {
        if (on) on_[i] = saturated(on_[i], on);
        if (off) off_[i] = saturated(off_[i], off);
    }
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

    // Frame `frame`'s count image (red OFF, green ON, `width` pixels a row; only the rows marked
    // in `rows`, or all when it is empty), then one event more
    // or less (pixel * 2 + on) for each of `more` and `less`.
    void fold(int64_t frame, const uint8_t* rgb, size_t width, size_t height, const std::vector<uint8_t>& rows,
              const std::vector<size_t>& more, const std::vector<size_t>& less) {
        for (size_t y = 0; y < height; ++y) {
            if (!rows.empty() && !rows[y]) continue;  // rows without events
            const uint8_t* row = rgb + 3 * width * y;
            for (size_t x = 0; x < width; ++x) {
                if (x % 8 == 0 && x + 8 <= width) {  // eight empty pixels at a time
                    uint64_t w[3];
                    std::memcpy(w, row + 3 * x, 24);
                    if ((w[0] | w[1] | w[2]) == 0) {
                        x += 7;
                        continue;
                    }
                }
                if (row[3 * x + 1]) add(frame, cell_of(x, y, true), row[3 * x + 1]);
                if (row[3 * x]) add(frame, cell_of(x, y, false), row[3 * x]);
            }
        }
        for (size_t e : more) add(frame, cell_of(e / 2 % width, e / 2 / width, e % 2), 1.0);
        for (size_t e : less) add(frame, cell_of(e / 2 % width, e / 2 / width, e % 2), -1.0);
    }

    // The surface after frame `frame`: red OFF, green ON, min(255, floor(16 S + 0.5)).
    void sample(int64_t frame, std::vector<uint8_t>& rgb) const {
        rgb.assign(3 * w_ * h_, 0);
        for (size_t i = 0; i < w_ * h_; ++i) {
            for (int on = 0; on < 2; ++on) {
                const size_t c = 2 * i + on;
                const Cell& cell = cells_[c];
                if (cell.s == 0.0) continue;
                const double v = std::floor(16.0 * cell.s * power(frame - cell.last) + 0.5);
                rgb[3 * i + (on ? 1 : 0)] = v >= 255.0 ? 255 : static_cast<uint8_t>(v);
            }
        }
    }

    size_t width() const { return w_; }
    size_t height() const { return h_; }

private:
    size_t cell_of(size_t x, size_t y, bool on) const { return 2 * (row_of_[y] + column_of_[x]) + (on ? 1 : 0); }
    void add(int64_t frame, size_t c, double n) {
        Cell& cell = cells_[c];
        cell.s = cell.s * power(frame - cell.last) + n;
        cell.last = frame;
    }

    static constexpr size_t kTable = 4096;
    double power(int64_t d) const {
        if (d <= 0) return 1.0;
        return static_cast<size_t>(d) < kTable ? powers_[static_cast<size_t>(d)] : std::pow(a_, static_cast<double>(d));
    }

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

// Base64 PNGs of finished frames, written to a spool file in frame order by a
// worker thread, while the byte budget lasts. Buffers come back zeroed.
class FrameEncoder {
public:
    FrameEncoder(size_t width, size_t height, std::FILE* spool, int64_t budget, size_t buffers, size_t workers = 2)
        : width_(width), height_(height), spool_(spool), budget_(budget), folded_(width, height) {
        for (size_t i = 0; i < buffers; ++i) free_.emplace_back(width * height * 3, 0);
        for (size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { run(); });
    }
    ~FrameEncoder() { close(); }

    // A zeroed buffer to count the next frame in; waits while all are in flight.
    std::vector<uint8_t> take() {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [this] { return !free_.empty(); });
        std::vector<uint8_t> b = std::move(free_.front());
        free_.pop_front();
        return b;
    }

    // `fold`: the frame's counts also go into folded() (the encoder's thread does the per-pixel
    // work), less one event for each pixel and polarity in `excluded` (pixel * 2 + on).
    // With an overview to fold into, a folded frame `frame` (the overview's grid) also reaches it,
    // in frame order, with one event more for each in `overflow` (what the image clipped).
    // `rows` marks the rows of the image that hold events (empty: any may): the others are
    // skipped when folding and when zeroing the buffer for its next frame.
    void submit(int64_t segment, std::vector<uint8_t>&& rgb, bool fold = false, std::vector<size_t>&& excluded = {},
                std::vector<size_t>&& overflow = {}, int64_t frame = 0, std::vector<uint8_t>&& rows = {}) {
        std::lock_guard lock(mu_);
        jobs_.push_back({submitted_++, segment, std::move(rgb), fold, std::move(excluded), std::move(overflow), frame,
                         std::move(rows)});
        cv_.notify_all();
    }

    void fold_overview_into(DecayedOverview* overview) { overview_ = overview; }

    // Waits until every submitted frame is committed (and folded): the overview is then the caller's.
    void drain() {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [this] { return committed_ == submitted_; });
    }

    // Per-pixel counts of the folded frames; final after close().
    const PixelCounts& folded() const { return folded_; }

    // Waits for the queued frames; afterwards accepted() and bytes() are final.
    void close() {
        {
            std::lock_guard lock(mu_);
            if (closed_) return;
            closed_ = true;
            cv_.notify_all();
        }
        for (std::thread& w : workers_) w.join();
    }

    bool full() const { return full_.load(std::memory_order_relaxed); }
    // Bytes of the budget kept for the overview, revised as its images arrive.
    void reserve(int64_t bytes) { reserve_.store(bytes, std::memory_order_relaxed); }
    int64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    bool failed() const { return failed_; }
    // Accepted frames: (segment, base64 length) in spool order.
    const std::vector<std::pair<int64_t, int64_t>>& accepted() const { return accepted_; }

private:
    struct Job {
        int64_t seq;
        int64_t segment;
        std::vector<uint8_t> rgb;
        bool fold = false;
        std::vector<size_t> excluded, overflow;
        int64_t frame = 0;
        std::vector<uint8_t> rows;
    };

    // Workers encode side by side; each frame then waits for its turn, so the
    // spool and the budget see frames in order whichever finished first.
    void run() {
        PngWriter png;
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mu_);
                cv_.wait(lock, [this] { return closed_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            std::string text;
            if (!full()) text = png.base64(job.rgb.data(), width_, height_);
            if (job.fold) {
                std::lock_guard fold_lock(fold_mu_);
                folded_.fold(job.rgb.data(), job.rows);
                for (size_t e : job.excluded) folded_.remove(e / 2, e % 2);
            }
            std::unique_lock lock(mu_);
            cv_.wait(lock, [&] { return committed_ == job.seq; });
            if (job.fold && overview_)  // the decay needs the frames in order: folded in turn
                overview_->fold(job.frame, job.rgb.data(), width_, height_, job.rows, job.overflow, job.excluded);
            commit(job.segment, text);
            ++committed_;
            cv_.notify_all();
            lock.unlock();
            if (job.rows.empty()) {
                std::fill(job.rgb.begin(), job.rgb.end(), uint8_t{0});
            } else {
                for (size_t y = 0; y < height_; ++y)
                    if (job.rows[y]) std::memset(job.rgb.data() + 3 * width_ * y, 0, 3 * width_);
            }
            lock.lock();
            free_.push_back(std::move(job.rgb));
            cv_.notify_all();
        }
    }

    void commit(int64_t segment, const std::string& text) {
        if (full() || text.empty()) return;
        const int64_t cost = static_cast<int64_t>(text.size()) + 3;  // quotes and a comma
        if (bytes_ + cost > budget_ - reserve_.load(std::memory_order_relaxed)) {
            full_.store(true, std::memory_order_relaxed);
        } else if (std::fwrite(text.data(), 1, text.size(), spool_) != text.size()) {
            failed_ = true;
            full_.store(true, std::memory_order_relaxed);
        } else {
            bytes_ += cost;
            accepted_.emplace_back(segment, static_cast<int64_t>(text.size()));
        }
    }

    size_t width_, height_;
    std::FILE* spool_;
    int64_t budget_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::vector<uint8_t>> free_;
    std::deque<Job> jobs_;
    int64_t submitted_ = 0, committed_ = 0;
    bool closed_ = false;
    std::atomic<bool> full_{false};
    std::atomic<int64_t> reserve_{0};
    bool failed_ = false;
    std::atomic<int64_t> bytes_{0};
    std::vector<std::pair<int64_t, int64_t>> accepted_;
    std::mutex fold_mu_;
    PixelCounts folded_;
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
            encoder_.emplace(w, h, c_.spool, c_.frame_budget, 4);
            encoder_->fold_overview_into(&*overview_);
            rows_.assign(h, 0);
            counts_ = encoder_->take();
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
    // Extent, counts and the peak rate of what lies in [t0, t1).
    void note_extent(const Event& e) {
        extent_.note(e);
        max_x_ = std::max(max_x_, e.x);
        max_y_ = std::max(max_y_, e.y);
    }

    void count(const Event& e) {
        const int64_t frame = frame_index_ - c_.lead;  // on the overview's grid from t0
        const size_t pixel = static_cast<size_t>(e.y) * static_cast<size_t>(c_.width) + static_cast<size_t>(e.x);
        // A page's full-rate frames after the lead-in reach the pixel counts and the overview
        // through their count images (folded by the encoder): here only what an image cannot hold.
        const bool clipped = folding_ && counts_[3 * pixel + (e.on ? 1 : 0)] == 255;
        if (e.t >= c_.t0) {
            note_extent(e);
            const int64_t off = e.t - c_.t0;
            timeline_->add(off, e.on ? 0 : 1);
            raster_->add(off, static_cast<size_t>(e.y));
            if (!folding_ || clipped) pixels_->add(e);
            if (overview_ && !folding_) overview_->add(frame, e);
            else if (overview_ && clipped) overflow_.push_back(2 * pixel + (e.on ? 1 : 0));
        } else if (folding_ && !clipped) {
            excluded_.push_back(2 * pixel + (e.on ? 1 : 0));  // late from before t0: in the image, not the counts
        }
        if (c_.mode == kPage) {
            uint8_t& c = counts_[3 * pixel + (e.on ? 1 : 0)];
            if (active_ && c != 255) {
                ++c;
                rows_[static_cast<size_t>(e.y)] = 1;
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
                encoder_->submit(segment_, std::move(counts_), folding_, std::move(excluded_), std::move(overflow_),
                                 frame_index_ - c_.lead, std::move(rows_));
                excluded_.clear();
                overflow_.clear();
                rows_.assign(static_cast<size_t>(c_.height), 0);
                counts_ = encoder_->take();
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
        encoder_->drain();  // the frames folded so far are in the surface
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
        if (was_folding && !folding_) encoder_->drain();
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
    std::vector<uint8_t> counts_;  // the page's current frame, from the encoder's pool
    bool merged_ = false;
    bool folding_ = false;  // the current frame reaches pixel counts and overview through its image
    std::vector<uint8_t> rows_;  // rows of counts_ with events
    std::vector<size_t> overflow_;  // events of the current frame its image clipped (pixel * 2 + on)
    std::vector<size_t> excluded_;  // events of counts_ the pixel counts must not take (pixel * 2 + on)
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
    constexpr size_t kRecords = size_t(1) << 16, kBuffers = 3;
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
