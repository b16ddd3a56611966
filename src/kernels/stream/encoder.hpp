// The page's frame encoder: worker threads turn finished frame buffers into
// base64 PNGs and write them to the spool file in frame order, within a byte
// budget shared with the overview; frames past the budget are refused, whole.
// Each frame's text follows one space in the spool, as the page separates them,
// so that a run of frames is copied into the page as one range of bytes.
// No Python here.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernels/stream/frame_buffer.hpp"
#include "kernels/stream/png_writer.hpp"
#include "kernels/threads.hpp"

namespace zv::kern::stream {

// Base64 PNGs of finished frames, written to a spool file in frame order by worker threads,
// while the byte budget lasts. A frame's events reach its image (and, for a frame that folds,
// the pixel counts and the overview) one frame at a time in frame order; the PNGs are made
// side by side. Buffers come back zeroed.
class FrameEncoder {
public:
    // `reserve_cap`: the most the overview's reserve takes of the budget (its own budget).
    FrameEncoder(size_t width, size_t height, size_t cell_rows, std::FILE* spool, int64_t budget, size_t buffers,
                 int64_t reserve_cap = std::numeric_limits<int64_t>::max(), size_t workers = default_workers())
        : bands_(width, height, cell_rows), spool_(spool), budget_(budget), reserve_cap_(reserve_cap), folded_(width, height),
          pending_(bands_.bands) {
        for (size_t i = 0; i < buffers; ++i) free_.push_back(std::make_unique<FrameBuffer>(bands_));
        wake_at_ = std::max<size_t>(1, buffers / 2);
        for (size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { run(); });
    }
    ~FrameEncoder() { close(); }

    // A worker for each core beyond the counting thread's, at most two. On two cores a second
    // worker only takes turns with the first, the counting and the decoding threads: one is as
    // fast even on a page of crowded frames, and uses less CPU.
    static size_t default_workers() { return std::clamp<size_t>(cores() - 1, 1, 2); }

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
    // into, frame `frame` (the overview's grid) reaches it, in frame order. A frame of few
    // events folds here, on the counting thread, once the frames before it have, from its keys
    // (less than handing the fold from one worker to the next would cost), and its image is
    // drawn on a worker; a crowded one is filled and folded through its image on a worker.
    void submit(int64_t segment, std::unique_ptr<FrameBuffer>&& frame_buffer, bool fold = false, int64_t frame = 0) {
        Job job{submitted_, segment, std::move(frame_buffer), fold, frame};
        job.filled = job.buffer->events() < kFillHere;
        if (job.filled) {
            wait_turn(filled_, job.seq);
            fold_from_keys(job);
        }
        std::lock_guard lock(mu_);
        ++submitted_;
        if (job.filled) ++filled_;  // no one waits for it: the frames before it are filled
        jobs_.push_back(std::move(job));
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
    // Bytes of the budget the overview wants kept for it (at most reserve_cap of them), revised as
    // its images arrive: for the frames submitted from now on, whenever the frames before them
    // are committed.
    void reserve(int64_t bytes) {
        std::lock_guard lock(mu_);
        reserves_.emplace_back(submitted_, bytes);
    }
    int64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    // A budget `by` bytes smaller for the frames committed from now on (the page's other parts
    // were found to take at least that much more than it was planned with).
    void lower_budget(int64_t by) {
        std::lock_guard lock(mu_);
        budget_ -= by;
    }
    // The most any accepted frame asked of the budget: the bytes through it and the reserve then.
    int64_t peak() const { return peak_; }
    bool failed() const { return failed_; }
    // Accepted frames: (segment, base64 length) in spool order.
    const std::vector<std::pair<int64_t, int64_t>>& accepted() const { return accepted_; }
    // For each accepted frame: the frame bytes through it, and the reserve the overview wanted
    // then (-1: none yet). With a smaller budget or reserve cap, the frames accepted would be
    // those before the first whose bytes pass the budget less its capped reserve: a caller can
    // tell how many without a second pass.
    const std::vector<std::pair<int64_t, int64_t>>& asks() const { return asks_; }

private:
    struct Job {
        int64_t seq = 0;
        int64_t segment = 0;
        std::unique_ptr<FrameBuffer> buffer;
        bool fold = false;
        int64_t frame = 0;
        bool filled = false;  // on the counting thread, before it was queued
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
        end_fill(job);
    }

    // After a folding frame's bands: the pixel counts now and then, and into the overview the
    // single events its image clipped or must not count, all of them more before any less.
    void end_fill(Job& job) {
        if (!job.fold) return;
        pending_held_ = 0;
        for (const std::vector<uint32_t>& p : pending_) pending_held_ += p.size();
        if (pending_held_ >= kPending) count_pending();
        if (!overview_) return;
        FrameBuffer& f = *job.buffer;
        f.more().each([&](uint32_t channel, uint64_t times) { overview_->add_each(job.frame, channel, times, bands_.width, 1.0); });
        f.less().each([&](uint32_t channel, uint64_t times) { overview_->add_each(job.frame, channel, times, bands_.width, -1.0); });
    }

    // A frame of few events (all its keys kept) into the pixel counts and the overview from its
    // keys, band by band in scan order, just as fill() takes them from its image, which this
    // thread then never touches: the keys reach it on a worker, in cache for the PNG.
    void fold_from_keys(Job& job) {
        if (!job.fold) return;
        FrameBuffer& f = *job.buffer;
        for (size_t b = 0; b < bands_.bands; ++b) {
            if (f.keys(b).empty()) continue;
            const std::vector<uint32_t>& keys = f.sorted_keys(bands_, b);
            std::vector<uint32_t>& pending = pending_[b];
            const size_t y0 = bands_.first_row(b), first_pixel = y0 * bands_.width;
            auto channel = [&](uint32_t k) {  // pixel in band * 2 + on
                return static_cast<uint32_t>(2 * ((k >> FrameBands::kRowShift) * bands_.width + ((k >> 2) & 0xFFFF)) + ((k >> 1) & 1));
            };
            if (overview_)
                for (size_t i = 0; i < std::min(kAhead, keys.size()); ++i) prefetch_cell(keys[i], y0);
            for (size_t i = 0; i < keys.size();) {
                size_t j = i;
                while (j < keys.size() && (keys[j] >> 1) == (keys[i] >> 1)) ++j;
                const uint32_t ch = channel(keys[i]);
                // In the order they came: the first 255 reach the image, the rest are clipped.
                for (size_t k = i; k < j; ++k) {
                    const bool counts = keys[k] & 1;
                    if (counts) pending.push_back(ch);
                    if (k - i < 255) {
                        if (!counts) f.less().add(static_cast<uint32_t>(2 * first_pixel) + ch);
                    } else if (counts) {
                        f.more().add(static_cast<uint32_t>(2 * first_pixel) + ch);
                    }
                }
                if (overview_) {
                    if (j + kAhead < keys.size()) prefetch_cell(keys[j + kAhead], y0);
                    overview_->add_pixel(job.frame, (keys[i] >> 2) & 0xFFFF, y0 + (keys[i] >> FrameBands::kRowShift),
                                         (keys[i] >> 1) & 1, static_cast<double>(std::min<size_t>(j - i, 255)));
                }
                i = j;
            }
        }
        end_fill(job);
    }
    void prefetch_cell(uint32_t key, size_t y0) const {
        overview_->prefetch((key >> 2) & 0xFFFF, y0 + (key >> FrameBands::kRowShift), (key >> 1) & 1);
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

    // Workers take frames in order; each fills a crowded frame in turn (draws a folded one's
    // image), encodes it side by side with the others, then waits for its turn again, so the
    // spool and the budget see frames in order.
    void run() {
        run_as_batch();  // the counting thread, which hands frames over, keeps its core
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
            if (!job.filled) {
                wait_turn(filled_, job.seq);
                fill(job);
                next_turn(filled_);
            }
            if (job.filled) job.buffer->apply_keys(bands_);
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
            // The counting thread fills frames faster than they are encoded: woken for half the
            // pool at once, it sleeps and wakes once for several frames rather than for each.
            if (free_.size() >= wake_at_) free_cv_.notify_one();
        }
    }

    // Under mu_, in frame order.
    void commit(int64_t seq, int64_t segment, const std::string& text) {
        while (reserves_.size() > 1 && reserves_[1].first <= seq) reserves_.pop_front();
        const int64_t wanted = !reserves_.empty() && reserves_.front().first <= seq ? reserves_.front().second : -1;
        const int64_t reserve = wanted < 0 ? 0 : std::min(wanted, reserve_cap_);
        if (full() || text.empty()) return;
        const int64_t cost = static_cast<int64_t>(text.size()) + 3;  // quotes and a comma
        if (bytes_ + cost > budget_ - reserve) {
            full_.store(true, std::memory_order_relaxed);
        } else if (std::fputc(' ', spool_) == EOF || std::fwrite(text.data(), 1, text.size(), spool_) != text.size()) {
            failed_ = true;
            full_.store(true, std::memory_order_relaxed);
        } else {
            peak_ = std::max(peak_, bytes_ + cost + reserve);
            bytes_ += cost;
            accepted_.emplace_back(segment, static_cast<int64_t>(text.size()));
            asks_.emplace_back(bytes_.load(std::memory_order_relaxed), wanted);
        }
    }

    FrameBands bands_;
    std::FILE* spool_;
    int64_t budget_;
    int64_t reserve_cap_;
    std::mutex mu_;
    // One per kind of wait, so that a change wakes only the threads it concerns: the workers
    // waiting for a frame, those waiting for their turn (or for the folds), the counting thread
    // waiting for a buffer. Frames are small and many: wake-ups are a good part of their cost.
    std::condition_variable work_cv_, turn_cv_, free_cv_;
    std::deque<std::unique_ptr<FrameBuffer>> free_;
    size_t wake_at_ = 1;  // free buffers that wake the counting thread
    std::deque<Job> jobs_;
    int64_t submitted_ = 0, filled_ = 0, committed_ = 0;
    bool closed_ = false;
    std::atomic<bool> full_{false};
    std::deque<std::pair<int64_t, int64_t>> reserves_;  // (first frame, bytes), in order
    bool failed_ = false;
    std::atomic<int64_t> bytes_{0};
    int64_t peak_ = 0;
    std::vector<std::pair<int64_t, int64_t>> accepted_, asks_;
    static constexpr size_t kPending = size_t(1) << 22;  // events, 16 MiB
    static constexpr size_t kFillHere = size_t(1) << 14;  // events: fewer are folded on the counting thread
    static constexpr size_t kAhead = 16;  // pixels between a cell's prefetch and its use
    PixelCounts folded_;  // written only by the thread whose turn it is to fill, or after close()
    std::vector<std::vector<uint32_t>> pending_;  // per band: pixel in band * 2 + on
    size_t pending_held_ = 0;
    DecayedOverview* overview_ = nullptr;
    std::vector<std::thread> workers_;
};

}  // namespace zv::kern::stream
