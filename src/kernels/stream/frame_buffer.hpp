// A page frame on its way to a PNG: the events the counting thread gives it,
// kept as keys per band of the image (or as counts once they are many), then
// applied into the frame's count image on an encoder thread. Also the runs of
// full-rate frames (segments) and the band layout. No Python here.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "kernels/stream/accumulators.hpp"
#include "kernels/stream/overview.hpp"

namespace zv::kern::stream {

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
          written_(bands.bands), lines_((bands.band_rows * bands.row_bytes / 64 + 2 + 63) / 64, 0) {}

    void push(const FrameBands& bands, size_t x, size_t y, bool on, bool counts) {
        keys_[bands.band_of[y]].push_back(bands.key(x, y, on, counts));
        ++keys_held_;
        ++events_;
    }
    // Keys not yet in the image.
    size_t keys_held() const { return keys_held_; }
    // Band b's keys.
    const std::vector<uint32_t>& keys(size_t b) const { return keys_[b]; }
    // Events given to this frame.
    size_t events() const { return events_; }

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
        // A sparse frame's bytes are far apart and out of the cache: ask for the first few at
        // once, then each some keys ahead.
        auto fetch = [&](uint32_t a) { __builtin_prefetch(band + bands.byte_of(a), 1); };
        for (const uint32_t* p = first; p != end && p - first < kAhead; ++p) fetch(*p);
        if (!fold) {
            for (const uint32_t* p = first; p != end; ++p) {
                if (end - p > kAhead) fetch(p[kAhead]);
                const uint32_t k = *p;
                rows[k >> FrameBands::kRowShift] = 1;
                uint8_t& c = band[bands.byte_of(k)];
                c += c != 255;
            }
        } else {
            const size_t first_pixel = y0 * bands.width;
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
    // in order; made once the band is filled. They are the band's non-zero bytes (its image
    // holds only this frame's counts): found in scan order in the cache lines its keys fell in,
    // a line at a time, which costs less than sorting the keys.
    const std::vector<uint32_t>& written(const FrameBands& bands, size_t b) {
        std::vector<uint32_t>& at = written_[b];
        if (!at.empty() || keys_[b].empty()) return at;
        const size_t band_bytes = (bands.end_row(b) - bands.first_row(b)) * bands.row_bytes;
        const uint8_t* base = image_.data() + bands.first_row(b) * bands.row_bytes;
        const size_t skew = reinterpret_cast<uintptr_t>(base) % 64;  // lines of memory, not of the band
        for (const uint32_t k : keys_[b]) {
            const size_t line = (bands.byte_of(k) + skew) / 64;
            lines_[line / 64] |= uint64_t{1} << (line % 64);
        }
        for (size_t w = 0; w < lines_.size(); ++w) {
            for (uint64_t m = std::exchange(lines_[w], 0); m; m &= m - 1) {
                const size_t line = w * 64 + static_cast<size_t>(std::countr_zero(m));
                const size_t first = std::max(line * 64, skew) - skew, end = std::min(line * 64 + 64 - skew, band_bytes);
                for (uint64_t z = nonzero_bytes(base + first, end - first); z; z &= z - 1)
                    at.push_back(static_cast<uint32_t>(first + static_cast<size_t>(std::countr_zero(z))));
            }
        }
        return at;
    }
    // Band b's keys in scan order, stably (one pixel channel's in the order they came), and
    // written(b) made from them on the way: what folds a frame into the overview without its
    // image. A frame's image then comes from applying its keys in any order.
    const std::vector<uint32_t>& sorted_keys(const FrameBands& bands, size_t b) {
        std::vector<uint32_t>& keys = keys_[b];
        if (keys.size() <= kInsertionSort) {
            for (size_t i = 1; i < keys.size(); ++i) {
                const uint32_t k = keys[i];
                size_t j = i;
                for (; j > 0 && (keys[j - 1] >> 1) > (k >> 1); --j) keys[j] = keys[j - 1];
                keys[j] = k;
            }
        } else {
            radix_sort(keys, FrameBands::kRowShift + static_cast<int>(std::bit_width(bands.band_rows)));
        }
        std::vector<uint32_t>& at = written_[b];
        at.clear();
        for (size_t i = 0; i < keys.size(); ++i)
            if (i == 0 || (keys[i] >> 1) != (keys[i - 1] >> 1)) at.push_back(static_cast<uint32_t>(bands.byte_of(keys[i])));
        return keys;
    }
    // Every band's keys into the image (not folding), for a frame folded from its sorted keys.
    void apply_keys(const FrameBands& bands) {
        for (size_t b = 0; b < bands.bands; ++b) apply(bands, b, false, [](size_t, bool) {});
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
        keys_held_ = events_ = 0;
        more_.clear();
        less_.clear();
    }

private:
    static constexpr std::ptrdiff_t kAhead = 16;  // keys between a prefetch and its use
    static constexpr size_t kInsertionSort = 48;  // keys: more are radix sorted

    // Stable LSD radix sort by bits [1, bits) of each key, a byte at a time.
    void radix_sort(std::vector<uint32_t>& keys, int bits) {
        sorted_.resize(keys.size());
        for (int shift = 1; shift < bits; shift += 8) {
            size_t starts[257] = {};
            for (const uint32_t k : keys) ++starts[((k >> shift) & 0xFF) + 1];
            for (size_t d = 1; d < 257; ++d) starts[d] += starts[d - 1];
            for (const uint32_t k : keys) sorted_[starts[(k >> shift) & 0xFF]++] = k;
            keys.swap(sorted_);
        }
    }
    std::vector<uint8_t> image_;
    std::vector<std::vector<uint32_t>> keys_;
    std::vector<size_t> applied_;  // per band: keys already in the image
    std::vector<uint8_t> held_;    // per band: the image may hold counts (of this frame once live)
    std::vector<uint8_t> live_;    // per band: prepared for the current frame
    std::vector<uint8_t> whole_;   // per band: events went into the image whose keys are gone
    std::vector<uint8_t> rows_;    // per row: events of this frame
    std::vector<std::vector<uint32_t>> written_;  // per sparse band: see written()
    std::vector<uint64_t> lines_;  // the cache lines of a band that keys fell in, while written() looks
    std::vector<uint32_t> sorted_;  // radix_sort's other buffer
    size_t keys_held_ = 0, events_ = 0;
    ChannelTally more_, less_;
};

}  // namespace zv::kern::stream
