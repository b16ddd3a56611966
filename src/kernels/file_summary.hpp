// One recording file's summary for a dataset overview, in one call: the
// file's bytes go through the readers' decoders straight into a summary's
// counters (extent, counts, 10 ms peak rate, pixel counts, by the streaming
// engine's rules), with no records in between; then the hot pixels and the
// thumbnail come from the pixel counts. Nothing else is set up per file: no
// encoder threads, no timeline or raster, and the read buffer, pixel counts and
// PNG writer belong to a FileSummarizer that serves file after file.
// No Python here.
#pragma once

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "kernels/evt.hpp"
#include "kernels/hot_pixels.hpp"
#include "kernels/stream/accumulators.hpp"
#include "kernels/stream/png_writer.hpp"

namespace zv::kern::file_summary {

// What to summarise: a native recording's data bytes [offset, end of file).
// `head` is the file's first bytes, already read by the caller (the whole file
// when it is small); the rest is read from `path`.
struct Request {
    evt::Format format = evt::kEvt2;
    const char* path = nullptr;
    const uint8_t* head = nullptr;
    size_t head_size = 0;
    int64_t offset = 0;
    int64_t size = 0;           // the file's size when the caller looked
    int64_t t0 = 0;             // the header's time origin
    int64_t width = 0, height = 0;  // the sensor the header declares; 0: none
};

// The widest or tallest sensor taken from the events of a file that declares none, where
// they would make more than kInferredSide² pixels: coordinates past any real sensor's
// (flipped bits) never size the counts; the events past the bound are outside.
inline constexpr int64_t kInferredSide = 2048;

// The sensor of a file that declares none, from its largest coordinates.
inline void inferred_sensor(int64_t max_x, int64_t max_y, int64_t& width, int64_t& height) {
    width = std::min<int64_t>(max_x + 1, 32767);
    height = std::min<int64_t>(max_y + 1, 32767);
    if (width * height > kInferredSide * kInferredSide) {
        width = std::min(width, kInferredSide);
        height = std::min(height, kInferredSide);
    }
}

// Hot pixels by the local rule (hot_pixels.hpp), the hottest kHotListed of them listed.
inline constexpr size_t kHotListed = 16, kThumbnailSide = 64;

struct HotPixel {
    int64_t x, y, on, off;
};

struct Summary {
    // How the pass ended: a decoder error (state.error, at error_pos + state.error_at),
    // a read error (read_errno), or a file cut short inside a word at byte `cut`.
    evt::State state{};
    int64_t error_pos = 0;
    int read_errno = 0;
    int64_t cut = -1;
    int64_t width = 1, height = 1;  // the sensor counted on
    bool have_events = false;
    int64_t t_first = 0, t_last = 0, count = 0, on_count = 0, peak_10ms = 0;
    int64_t gaps = 0, backwards = 0;  // gaps of 100 ms or more, times below the one before
    int64_t outside = 0;            // outside the sensor past the decoder (the engine's count)
    stream::Event first_outside{};
    std::vector<HotPixel> hot;      // hottest first, ties by position, at most kHotListed
    int64_t hot_count = 0;
    std::string thumbnail;          // base64 PNG

    bool failed() const { return state.error != evt::kOk || read_errno != 0; }
};

// min(255, ceil(16 * log2(1 + c))): one event is 16, none is 0 (the pages' level curve).
inline uint8_t level_of(int64_t c) {
    if (c <= 0) return 0;
    if (c >= 65535) return 255;  // 16 * log2(65536) = 256
    return static_cast<uint8_t>(std::min(255.0, std::ceil(16.0 * std::log2(1.0 + static_cast<double>(c)))));
}

// The curve of the small counts that thumbnails mostly hold, looked up.
inline uint8_t level(int64_t c) {
    static const std::array<uint8_t, 1024> table = [] {
        std::array<uint8_t, 1024> t{};
        for (size_t i = 0; i < t.size(); ++i) t[i] = level_of(static_cast<int64_t>(i));
        return t;
    }();
    return c >= 0 && c < 1024 ? table[static_cast<size_t>(c)] : level_of(c);
}

// Working buffers of find_hot, kept from file to file.
struct HotScratch {
    std::vector<uint64_t> totals;
    std::vector<std::pair<int64_t, size_t>> found;
};

// The hot pixels of ON/OFF counts (row-major, `width` wide) by the local rule:
// at least kHotMin events and kHotFactor times the median of their neighbours.
template <typename Counts>
void find_hot(const Counts& px, int64_t width, std::vector<HotPixel>& hot, int64_t& hot_count, HotScratch& scratch) {
    std::vector<uint64_t>& totals = scratch.totals;
    totals.resize(px.pixels());
    for (size_t i = 0; i < px.pixels(); ++i) totals[i] = uint64_t{px.on(i)} + px.off(i);
    hot.clear();
    const int64_t height = width > 0 ? static_cast<int64_t>(px.pixels()) / width : 0;
    std::vector<std::pair<int64_t, size_t>>& found = scratch.found;  // (-total, index): hottest first, then by position
    found.clear();
    for (int64_t i : kern::hot_pixels(totals.data(), width, height))
        found.emplace_back(-static_cast<int64_t>(totals[static_cast<size_t>(i)]), static_cast<size_t>(i));
    hot_count = static_cast<int64_t>(found.size());
    const size_t listed = std::min(found.size(), kHotListed);
    std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(listed), found.end());
    const size_t w = static_cast<size_t>(width);
    for (size_t k = 0; k < listed; ++k) {
        const size_t i = found[k].second;
        hot.push_back({static_cast<int64_t>(i % w), static_cast<int64_t>(i / w), px.on(i), px.off(i)});
    }
}

// The counts summed over k x k blocks (k the smallest that brings the long side
// to kThumbnailSide at most), levelled: OFF red, ON green; base64 PNG. The levels
// are stretched so that the 99th percentile of the lit cells is full brightness:
// a sparse file's thumbnail is not left near black, and a hot pixel cannot dim
// the rest. Integers after the curve, so every reader draws the same bytes.
template <typename Counts>
std::string thumbnail(const Counts& px, size_t width, size_t height, stream::PngWriter& png) {
    const size_t k = std::max<size_t>(1, (std::max(width, height) + kThumbnailSide - 1) / kThumbnailSide);
    const size_t pw = (width + k - 1) / k, ph = (height + k - 1) / k;
    std::vector<size_t> column(width);
    for (size_t x = 0; x < width; ++x) column[x] = x / k;
    std::vector<int64_t> sums(pw * ph * 2, 0);
    for (size_t y = 0; y < height; ++y) {
        int64_t* row = sums.data() + 2 * (y / k) * pw;
        for (size_t x = 0; x < width; ++x) {
            const size_t i = y * width + x;
            row[2 * column[x]] += px.off(i);
            row[2 * column[x] + 1] += px.on(i);
        }
    }
    std::vector<int64_t> lit;
    for (const int64_t v : sums)
        if (v > 0) lit.push_back(v);
    int top = 255;  // the level that becomes full brightness
    if (!lit.empty()) {
        const auto at = lit.begin() + static_cast<std::ptrdiff_t>((lit.size() - 1) * 99 / 100);
        std::nth_element(lit.begin(), at, lit.end());
        top = level(*at);
    }
    auto stretched = [top](int64_t v) { return static_cast<uint8_t>(std::min(255, level(v) * 255 / top)); };
    std::vector<uint8_t> rgb(pw * ph * 3, 0);
    for (size_t c = 0; c < pw * ph; ++c) {
        rgb[3 * c] = stretched(sums[2 * c]);
        rgb[3 * c + 1] = stretched(sums[2 * c + 1]);
    }
    return png.base64(rgb.data(), pw, ph);
}

// What a summary counts of the events the decoder hands it, by the streaming
// engine's summary rules: extent, counts and the peak of events per 10 ms bin
// from the first event, and ON/OFF counts per pixel (interleaved, so both sit in
// one cache line) in a caller's buffer of 2 x width x height + 1 zeros. Fed
// records outside the sensor are counted apart. Small and copyable: a decode call works
// on a local copy, whose fields then stay in registers.
//
// A pixel's count is added kAhead events late, its cache line fetched meanwhile:
// the counts of a 128 x 128 sensor already outgrow the first-level cache and an
// HD sensor's the second, and a count read straight away stalls the decoder's
// loop. settle() adds the ones still pending (the spare cell past the counts
// takes the adds before the first events). Saturating adds of one commute, so
// the counts do not depend on the delay.
class SummaryCounts : public stream::ExtentReport {
public:
    SummaryCounts(uint32_t* pixels, int64_t width, int64_t height)
        : pixels_(pixels), width_(width), height_(height) {
        pending_.fill(spare());
    }

    // The decoder's Out (evt::Sink): counts each event as it is decoded, no record in between.
    // The decoder has dropped the events outside its state's sensor, which is this one or,
    // when this one is larger than the format can address, the format's range: no check here.
    ZV_EVT_INLINE bool room(size_t) const { return true; }
    ZV_EVT_INLINE void record(int64_t x, int64_t y, int64_t t, bool on) {
        if (t < -kSpan || t >= kSpan) return;  // beyond the engine's span, as a page pass
        add(x, y, t, on);
    }

    // Packed records (evt::kRecordSize bytes each), which may lie outside the sensor.
    void feed(const uint8_t* records, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            const stream::Event e = stream::read_record(records + i * evt::kRecordSize);
            if (e.t < -kSpan || e.t >= kSpan) continue;
            if (e.x < 0 || e.y < 0 || e.x >= width_ || e.y >= height_) {
                if (!outside_++) first_outside_ = e;
                continue;
            }
            add(e.x, e.y, e.t, e.on);
        }
    }

    // The pixel counts are complete once this is called (and until the next event).
    void settle() {
        for (size_t& cell : pending_) {
            add_at(cell);
            cell = spare();
        }
    }

    // ON and OFF counts of pixel i = y * width + x.
    uint32_t on(size_t i) const { return pixels_[2 * i]; }
    uint32_t off(size_t i) const { return pixels_[2 * i + 1]; }
    size_t pixels() const { return static_cast<size_t>(width_ * height_); }
    size_t spare() const { return 2 * pixels(); }

private:
    ZV_EVT_INLINE void add(int64_t x, int64_t y, int64_t t, bool on) {
        extent_.note({t, x, y, on});
        const size_t cell = 2 * static_cast<size_t>(y * width_ + x) + (on ? 0 : 1);
        __builtin_prefetch(pixels_ + cell, 1);
        size_t& slot = pending_[next_++ % kAhead];
        add_at(slot);
        slot = cell;
    }

    ZV_EVT_INLINE void add_at(size_t cell) {
        uint32_t& c = pixels_[cell];
        c += c != UINT32_MAX;  // saturates
    }

    static constexpr int64_t kSpan = int64_t{1} << 62;
    // Enough to cover a miss to main memory at the decoder's pace (16 was no faster on HD).
    static constexpr size_t kAhead = 8;
    uint32_t* pixels_;
    int64_t width_, height_;
    std::array<size_t, kAhead> pending_;  // the cells of the last kAhead events, not yet added
    size_t next_ = 0;
};

// The largest coordinates among events (the sensor of a file whose header gives
// none), and the events themselves as records in `kept` while they fit its
// `capacity` records, so that a small file is decoded once. Copyable, as SummaryCounts.
struct Extent {
    uint8_t* kept;
    size_t capacity;
    size_t kept_count = 0;
    bool all_kept = true;
    bool have_events = false;
    int64_t max_x = -1, max_y = -1;

    ZV_EVT_INLINE bool room(size_t) const { return true; }
    ZV_EVT_INLINE void record(int64_t x, int64_t y, int64_t t, bool on) {
        max_x = std::max(max_x, x);
        max_y = std::max(max_y, y);
        have_events = true;
        if (kept_count == capacity) all_kept = false;
        if (!all_kept) return;
        evt::RecordBuffer(kept, capacity, kept_count++).record(x, y, t, on);
    }
};

class FileSummarizer {
public:
    FileSummarizer() : chunk_(kChunk) {}

    Summary summarize(const Request& r) {
        Summary s;
        int64_t width = r.width, height = r.height;
        if (width <= 0 || height <= 0) {
            // No sensor in the header: the largest coordinates give it, as the readers do.
            kept_.resize(kKeptRecords * evt::kRecordSize);
            Extent extent{kept_.data(), kKeptRecords};
            evt::State st = fresh_state(r, 0, 0);
            pass(r, st, extent, s);
            if (st.error || s.failed()) {
                s.state = st;
                return s;
            }
            width = height = 1;
            if (extent.have_events) inferred_sensor(extent.max_x, extent.max_y, width, height);
            const bool whole = extent.max_x < width && extent.max_y < height;
            if (extent.all_kept && whole) {
                // Nothing decoded lies outside its own extent: the one pass's state stands,
                // on this sensor.
                s.state = st;
                s.state.width = width;
                s.state.height = height;
                SummaryCounts counts(zeroed_pixels(width, height), width, height);
                counts.feed(kept_.data(), extent.kept_count);
                finish(counts, width, height, s);
                return s;
            }
            s.cut = -1;
        }
        SummaryCounts counts(zeroed_pixels(width, height), width, height);
        s.state = fresh_state(r, width, height);
        pass(r, s.state, counts, s);
        if (s.failed()) return s;
        finish(counts, width, height, s);
        return s;
    }

private:
    // Read in pieces that stay in the second-level cache: the copy out of the page cache and
    // the decoding after it then touch no main memory (several times faster than MB pieces).
    static constexpr size_t kChunk = 64 << 10;
    static constexpr size_t kKeptRecords = size_t(1) << 17;
    static constexpr size_t kKeepPixels = size_t(4) << 20;  // counts kept for the next file up to this many

    // Pixel counts for this file (and the spare cell), zero, in the buffer of the files before
    // when it is large enough.
    uint32_t* zeroed_pixels(int64_t width, int64_t height) {
        const size_t n = 2 * static_cast<size_t>(width * height) + 1;
        if (pixels_.capacity() > std::max(n, kKeepPixels)) {  // a huge sensor's
            std::vector<uint32_t>().swap(pixels_);
            hot_scratch_ = HotScratch();
        }
        pixels_.assign(n, 0);
        return pixels_.data();
    }

    void finish(SummaryCounts& counts, int64_t width, int64_t height, Summary& s) {
        counts.settle();
        s.width = width;
        s.height = height;
        s.have_events = counts.have_events();
        s.t_first = counts.t_first();
        s.t_last = counts.t_last();
        s.count = counts.count();
        s.on_count = counts.on_count();
        s.peak_10ms = counts.peak_10ms();
        s.gaps = counts.gaps();
        s.backwards = counts.backwards();
        s.outside = counts.outside();
        s.first_outside = counts.first_outside();
        find_hot(counts, width, s.hot, s.hot_count, hot_scratch_);
        s.thumbnail = thumbnail(counts, static_cast<size_t>(width), static_cast<size_t>(height), png_);
    }

    // The readers' state for a whole-file read: outside events dropped and counted.
    static evt::State fresh_state(const Request& r, int64_t width, int64_t height) {
        evt::State st;
        st.t0 = r.t0;
        st.drop_outside = 1;
        st.width = width;
        st.height = height;
        return st;
    }

    // Decodes the whole words of data[0, n) (file offset `pos`) into `out`; returns the bytes used.
    // Flattened: the per-event counting (ExtentCounts::note too) is inlined into the decoder's
    // loop, not called per event with its operands spilled to the stack.
    template <typename Out>
    __attribute__((flatten)) static size_t decode(evt::Format f, const uint8_t* data, size_t n, int64_t pos, evt::State& st, Out& out,
                         Summary& s) {
        Out local = out;
        const size_t used = evt::decode_into(f, data, n, st, local);
        out = local;
        if (st.error) s.error_pos = pos;
        return used;
    }

    // One pass over the data bytes: the caller's first bytes, then the file to its end.
    // A partial word left at the end marks the file cut short there.
    template <typename Out>
    void pass(const Request& r, evt::State& st, Out& out, Summary& s) {
        int64_t pos = r.offset;
        size_t carry = 0;  // undecoded bytes at the front of chunk_
        const int64_t held = static_cast<int64_t>(r.head_size);
        if (pos < held) {
            const size_t n = static_cast<size_t>(held - pos);
            const size_t used = decode(r.format, r.head + pos, n, pos, st, out, s);
            if (st.error) return;
            pos += static_cast<int64_t>(used);
            if (st.done) return;
            carry = n - used;
            std::memcpy(chunk_.data(), r.head + pos, carry);
        }
        if (r.size > held) {
            std::FILE* file = std::fopen(r.path, "rb");
            if (!file) {
                s.read_errno = errno ? errno : EIO;
                return;
            }
            const int64_t from = std::max(held, pos);
            if (std::fseek(file, static_cast<long>(from), SEEK_SET) != 0) {
                s.read_errno = errno ? errno : EIO;
                std::fclose(file);
                return;
            }
            for (;;) {
                const size_t got = std::fread(chunk_.data() + carry, 1, chunk_.size() - carry, file);
                if (got == 0) {
                    if (std::ferror(file)) s.read_errno = errno ? errno : EIO;
                    break;
                }
                const size_t filled = carry + got;
                const size_t used = decode(r.format, chunk_.data(), filled, pos, st, out, s);
                if (st.error) break;
                pos += static_cast<int64_t>(used);
                if (st.done) {
                    carry = 0;
                    break;
                }
                carry = filled - used;
                std::memmove(chunk_.data(), chunk_.data() + used, carry);
            }
            std::fclose(file);
        }
        if (carry && !st.done && !st.error && !s.read_errno) s.cut = pos;
    }

    std::vector<uint8_t> chunk_, kept_;
    std::vector<uint32_t> pixels_;
    HotScratch hot_scratch_;
    stream::PngWriter png_;
};

}  // namespace zv::kern::file_summary
