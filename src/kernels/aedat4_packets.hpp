// The packets of an AEDAT 4 file's event stream, decompressed and read into
// records in file order, two packets at a time where there is a second core.
//
// Contract: a `Packets` walks the packets (int32 stream id, int32 byte size,
// that many bytes) of the mapped file [file, file + size) from `start` while
// the position lies before `end` (the data table, or the size), and takes those
// of `stream`: each is an LZ4 frame or stored bytes (`compression`), holding a
// size-prefixed FlatBuffer whose root table's field 0 is a vector of 16-byte
// polarity events (aedat4_records.hpp). `fill` writes the records of the events
// into `out` (room for `cap`), in file order, leaving out those outside a sensor
// when it has one, and stops at `cap`, at the end of the stream, or at the first
// packet that cannot be read, whose `Outcome` names the packet and the fault.
// Every size and offset the file gives is checked against the bytes that are
// there; a packet decompresses to at most `limit` bytes. A helper thread
// decompresses up to kAhead packets ahead of the caller while it lives (stop()
// or the destructor joins it), and the caller takes over the packet it waits for
// when the helper is held up (the machine's other work); memory holds those
// packets, never the file.
// Whole pages of the mapping before the last packet read are dropped from the
// resident set when `drop` is given.
// A `Layout` may list the event packets to read instead (`listed`, in file
// order, as the file's data table places them: offset and size of the packet
// header, event count and first and last times); the reader then goes from one to
// the next, checks each header against its entry and each packet's events against
// its count and times (rising, inside them), and stops at the first that differs
// (Stop::kListed), so that a table that lies ends the read rather than shaping it.
// A window (`windowed`: lo <= t < hi) leaves out the events outside it; only the
// events inside it that lie outside the sensor are counted.
// A survey (`piece` > 0, survey()) writes no records: it reads the whole stream
// for what a window needs to know of it (`Survey`), and lists its packets as a
// data table would.
// ZSTD packets are decompressed by the layout's `unpack` (a library's decoder the
// caller gives), on the caller's thread alone; without one they are refused
// (Stop::kUnsupported). No Python here.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernels/aedat4_records.hpp"
#include "kernels/lz4_frame.hpp"

namespace zv::kern::aedat4 {

enum Compression : int { kStored = 0, kLz4 = 1, kZstd = 3 };

enum class Stop : uint8_t {
    kNone,        // not stopped (cap reached)
    kEnd,         // the stream ended where the file says it does
    kCut,         // the file ends inside the packet at `offset`
    kBadSize,     // a negative packet size (`value`)
    kUnsupported, // an event packet of a compression not read
    kLz4,         // an LZ4 frame that cannot be read (`lz4`)
    kPointer,     // a FlatBuffer offset pointing outside the packet
    kClaims,      // an event vector claiming `value` events, more than the packet holds
    kListed,      // a listed packet that is not as its entry says
    kUnpack,      // a ZSTD packet that `unpack` cannot read (`lz4`: the kind, `why`: its words)
};

struct Outcome {
    Stop stop = Stop::kNone;
    int64_t offset = 0;
    int64_t value = 0;
    lz4::Error lz4 = lz4::Error::kNone;
    std::string why;  // the decoder's own words, for kUnpack
};

// A packet's content into out[0, size), at most `limit` bytes, by a library's decoder: an
// error is kEndsEarly, kTooLarge, kNoMemory, or kDecompressionFailed with `why` its words.
using Unpack = std::function<lz4::Result(const uint8_t* src, size_t n, lz4::Bytes& out, size_t limit, std::string& why)>;

// A packet as the file's data table gives it (offset: of its header).
struct Listed {
    int64_t offset = 0, size = 0, count = 0, first = 0, last = 0;
};

struct Layout {
    const uint8_t* file = nullptr;
    size_t size = 0, start = 0, end = 0;
    bool table_beyond = false;  // the data table lies past the end: the file was cut at a packet's end
    int32_t stream = 0;
    int compression = kStored;
    size_t limit = size_t{256} << 20;
    int64_t width = 0, height = 0;  // the sensor (width 0: none)
    bool drop = false;
    bool only_listed = false;  // read the packets `listed`, and no others
    std::vector<Listed> listed;
    bool windowed = false;  // leave out the events outside lo <= t < hi
    int64_t lo = 0, hi = 0;
    Unpack unpack;  // ZSTD packets' decoder (none: refused)
    uint64_t piece = 0;  // a survey, of pieces of this many events (0: none)
};

// What a survey found: every event packet as a listed row (its first and last times), the
// events, the earliest time inside the sensor, whether times never fall (over all events),
// and the time of the first event of the last piece.
struct Survey {
    std::vector<Listed> rows;
    uint64_t events = 0;
    bool any_inside = false, rising = true;
    int64_t earliest = 0, latest = std::numeric_limits<int64_t>::min(), piece_first = 0;
};

// The event table of a decompressed packet [data, data + n) at file offset `at`.
struct Table {
    const uint8_t* events = nullptr;
    size_t n = 0;
};

namespace detail {

template <typename T>
bool read_at(const uint8_t* data, size_t n, int64_t pos, T& v) {
    if (pos < 0 || static_cast<uint64_t>(pos) + sizeof(T) > n) return false;
    std::memcpy(&v, data + pos, sizeof(T));
    return true;
}

}  // namespace detail

// The FlatBuffer's event vector (an absent field is an empty table).
inline Stop event_table(const uint8_t* data, size_t n, Table& t, int64_t& claimed) {
    using detail::read_at;
    uint32_t u32;
    int32_t i32;
    uint16_t u16;
    t = {};
    if (!read_at(data, n, 4, u32)) return Stop::kPointer;
    const int64_t root = 4 + int64_t{u32};  // size-prefixed: offsets count from after the length
    if (!read_at(data, n, root, i32)) return Stop::kPointer;
    const int64_t vtable = root - i32;
    if (!read_at(data, n, vtable, u16)) return Stop::kPointer;
    if (u16 < 6) return Stop::kNone;
    if (!read_at(data, n, vtable + 4, u16)) return Stop::kPointer;
    if (u16 == 0) return Stop::kNone;
    const int64_t field = root + u16;
    if (!read_at(data, n, field, u32)) return Stop::kPointer;
    const int64_t vector = field + u32;
    if (!read_at(data, n, vector, u32)) return Stop::kPointer;
    if (static_cast<uint64_t>(vector) + 4 + uint64_t{u32} * kAedat4EventSize > n) {
        claimed = u32;
        return Stop::kClaims;
    }
    t.events = data + vector + 4;
    t.n = u32;
    return Stop::kNone;
}

class Packets {
public:
    explicit Packets(const Layout& l, bool helper) : l_(l), pos_(l.start), dropped_(l.start), read_to_(l.start) {
        if (helper) {
            try {
                helper_ = std::thread([this] { help(); });
            } catch (...) {  // no thread to be had: the caller decompresses alone
            }
        }
    }
    Packets(const Packets&) = delete;
    Packets& operator=(const Packets&) = delete;
    ~Packets() { stop(); }

    // Ends the helper thread (it finishes the packet it holds).
    void stop() {
        {
            std::lock_guard<std::mutex> lock(m_);
            quit_ = true;
        }
        wake_.notify_all();
        if (helper_.joinable()) helper_.join();
    }

    // Records of the next events into out (room for cap records); returns how many.
    // done() and outcome() then tell whether the stream stopped, and why.
    size_t fill(uint8_t* out, size_t cap) {
        size_t written = 0;
        std::unique_lock<std::mutex> lock(m_);
        while (written < cap && outcome_.stop == Stop::kNone) {
            Slot& r = ring_[cur_ % kAhead];
            Slot* s = own_ ? &mine_ : cur_ < claimed_ && r.state == Slot::kReady ? &r : nullptr;
            if (s == nullptr && cur_ < claimed_ && r.state == Slot::kBusy && late_) s = take_over(r, lock);
            if (s != nullptr) {
                if (s->fail.stop != Stop::kNone) {
                    outcome_ = s->fail;
                    break;
                }
                lock.unlock();
                written += take(*s, out + written * evt::kRecordSize, cap - written);
                const bool whole = s->used == s->table.n;
                if (whole) {
                    read_to_ = s->offset + 8 + s->length;
                    forget(read_to_);
                    if (s->bytes.capacity() > kKeep) s->bytes = lz4::Bytes();  // a packet far beyond cameras'
                }
                lock.lock();
                if (whole) {
                    if (s == &r) r.state = Slot::kFree;
                    else own_ = false;
                    ++cur_;
                    late_ = false;
                    wake_.notify_all();
                }
                continue;
            }
            if (cur_ == claimed_ && walked_) {
                outcome_ = walk_stop_;
                break;
            }
            if (Slot* c = claim()) {
                lock.unlock();
                decompress(*c);
                lock.lock();
                c->state = Slot::kReady;
                continue;
            }
            if (cur_ == claimed_ && walked_) continue;  // the walk ended just now
            // The helper holds packet cur_ (or the slot the next claim needs): a helper that
            // the machine's other work holds up for long has its packet taken over.
            late_ = ready_.wait_for(lock, kPatience) == std::cv_status::timeout;
        }
        return written;
    }

    bool done() const { return outcome_.stop != Stop::kNone; }

    // A survey's pass over the rest of the stream (see Survey); outcome() says where it stopped.
    const Survey& survey() {
        fill(nullptr, std::numeric_limits<size_t>::max());
        return survey_;
    }
    // The end of the last packet read whole (the stream's start before the first).
    size_t position() const { return read_to_; }
    const Outcome& outcome() const { return outcome_; }

    // Events left out as outside the sensor, and the first of them (16-byte event).
    uint64_t outside() const { return outside_; }
    const uint8_t* first_outside() const { return first_; }

    // An upper bound of the events of the stream where its frames store their content
    // size, else an estimate: the packets' sizes times what the first one decompresses by,
    // and a quarter more. From the packet headers and that one packet.
    size_t estimate() const {
        uint64_t sized = 0, unsized = 0;
        double ratio = 0;
        for (size_t pos = l_.start; pos < l_.end && l_.size - pos >= 8;) {
            int32_t sid, length;
            std::memcpy(&sid, l_.file + pos, 4);
            std::memcpy(&length, l_.file + pos + 4, 4);
            if (length < 0 || l_.size - pos - 8 < static_cast<size_t>(length)) break;
            const uint8_t* p = l_.file + pos + 8;
            const size_t n = static_cast<size_t>(length);
            pos += 8 + n;
            if (sid != l_.stream) continue;
            if (const uint64_t content = content_size(p, n)) {
                sized += content;
                continue;
            }
            if (ratio == 0) ratio = first_ratio(p, n);
            unsized += n;
        }
        const double bytes = static_cast<double>(sized) + static_cast<double>(unsized) * ratio * 1.25;
        return static_cast<size_t>(std::min(bytes, 1e15) / kAedat4EventSize);
    }

private:
    static constexpr size_t kAhead = 3;
    static constexpr size_t kKeep = size_t{32} << 20;  // the most a slot keeps between packets
    // How long the caller waits for the helper's packet (one takes some 0.2 ms) before it
    // decompresses that packet itself.
    static constexpr std::chrono::milliseconds kPatience{2};

    struct Slot {
        enum State { kFree, kBusy, kReady, kDropped } state = kFree;  // dropped: taken over, still busy
        size_t offset = 0, length = 0;
        lz4::Bytes bytes;
        Table table;
        size_t used = 0;
        size_t entry = 0;  // its entry in the layout's list, when listed
        Outcome fail;
    };

    // The content size an LZ4 event packet's frame stores, or 0; never more than LZ4 can
    // make of its bytes (255 to 1), so that a packet cannot make a read reserve more.
    uint64_t content_size(const uint8_t* p, size_t n) const {
        if (l_.compression == kStored) return n;
        uint64_t content = 0;
        if (l_.compression == kZstd) content = zstd_content_size(p, n);
        else if (n >= 14 && (p[4] & 0x08)) std::memcpy(&content, p + 6, 8);
        return std::min<uint64_t>({content, l_.limit, uint64_t{255} * n});
    }

    // The content size a ZSTD frame's header stores, or 0.
    static uint64_t zstd_content_size(const uint8_t* p, size_t n) {
        if (n < 6 || p[0] != 0x28 || p[1] != 0xB5 || p[2] != 0x2F || p[3] != 0xFD) return 0;
        const uint8_t fhd = p[4];
        const bool single = (fhd >> 5) & 1;
        static constexpr size_t kDict[4] = {0, 1, 2, 4}, kSize[4] = {0, 2, 4, 8};
        const size_t width = (fhd >> 6) == 0 ? (single ? 1 : 0) : kSize[fhd >> 6];
        const size_t at = 5 + (single ? 0 : 1) + kDict[fhd & 3];
        if (width == 0 || n < at + width) return 0;
        uint64_t v = 0;
        std::memcpy(&v, p + at, width);  // little-endian, as the format is
        return width == 2 ? v + 256 : v;
    }

    // What a packet without a stored size decompresses by (1 where it cannot be read).
    double first_ratio(const uint8_t* p, size_t n) const {
        if (l_.compression != kLz4) return 1.0;
        lz4::Bytes bytes;
        const lz4::Result r = lz4::decode_frame(p, n, bytes, l_.limit);
        return r.error == lz4::Error::kNone && n ? std::max(1.0, static_cast<double>(r.size) / static_cast<double>(n)) : 1.0;
    }

    // The next packet of the stream into a free slot, under the lock; null when the ring
    // is full or the walk is over (walk_stop_ says why).
    Slot* claim() {
        if (walked_ || claimed_ - cur_ >= kAhead) return nullptr;
        Slot& s = ring_[claimed_ % kAhead];
        if (s.state != Slot::kFree) return nullptr;  // a packet taken over, which the helper still holds
        if (l_.only_listed) return claim_listed(s);
        while (pos_ < l_.end) {
            if (l_.size - pos_ < 8) return end_walk(Stop::kCut, pos_);
            int32_t sid, length;
            std::memcpy(&sid, l_.file + pos_, 4);
            std::memcpy(&length, l_.file + pos_ + 4, 4);
            if (length < 0) return end_walk(Stop::kBadSize, pos_, length);
            if (l_.size - pos_ - 8 < static_cast<size_t>(length)) return end_walk(Stop::kCut, pos_);
            const size_t at = pos_;
            pos_ += 8 + static_cast<size_t>(length);
            if (sid != l_.stream) continue;
            s.state = Slot::kBusy;
            s.offset = at;
            s.length = static_cast<size_t>(length);
            s.used = 0;
            s.fail = {};
            ++claimed_;
            return &s;
        }
        return end_walk(l_.table_beyond ? Stop::kCut : Stop::kEnd, pos_);
    }

    // The next listed packet into slot s, its header checked against its entry.
    Slot* claim_listed(Slot& s) {
        if (next_listed_ == l_.listed.size()) return end_walk(Stop::kEnd, pos_);
        const Listed& e = l_.listed[next_listed_];
        const auto at = static_cast<uint64_t>(e.offset);
        if (e.offset < 0 || at < pos_ || at >= l_.end || l_.size - at < 8) return end_walk(Stop::kListed, at);
        int32_t sid, length;
        std::memcpy(&sid, l_.file + at, 4);
        std::memcpy(&length, l_.file + at + 4, 4);
        if (sid != l_.stream || length < 0 || length != e.size || l_.size - at - 8 < static_cast<size_t>(length))
            return end_walk(Stop::kListed, at);
        pos_ = at + 8 + static_cast<size_t>(length);
        s.state = Slot::kBusy;
        s.offset = at;
        s.length = static_cast<size_t>(length);
        s.used = 0;
        s.entry = next_listed_++;
        s.fail = {};
        ++claimed_;
        return &s;
    }

    Slot* end_walk(Stop why, size_t at, int64_t value = 0) {
        walked_ = true;
        walk_stop_ = {why, static_cast<int64_t>(at), value, lz4::Error::kNone, {}};
        return nullptr;
    }

    void decompress(Slot& s) const {
        const uint8_t* packet = l_.file + s.offset + 8;
        const uint8_t* data = packet;
        size_t n = s.length;
        s.fail.offset = static_cast<int64_t>(s.offset);
        const bool lz4_frame = l_.compression == kLz4;
        if (lz4_frame || (l_.compression == kZstd && l_.unpack)) {
            const lz4::Result r = lz4_frame ? lz4::decode_frame(packet, s.length, s.bytes, l_.limit)
                                            : l_.unpack(packet, s.length, s.bytes, l_.limit, s.fail.why);
            if (r.error != lz4::Error::kNone) {
                s.fail.stop = lz4_frame ? Stop::kLz4 : Stop::kUnpack;
                s.fail.lz4 = r.error;
                return;
            }
            data = s.bytes.data();
            n = r.size;
        } else if (l_.compression != kStored) {
            s.fail.stop = Stop::kUnsupported;
            return;
        }
        s.fail.stop = event_table(data, n, s.table, s.fail.value);
        if (s.fail.stop == Stop::kNone && l_.only_listed) {
            const Listed& e = l_.listed[s.entry];
            if (s.table.n != static_cast<uint64_t>(e.count) || !aedat4_times_within(s.table.events, s.table.n, e.first, e.last))
                s.fail.stop = Stop::kListed;
        }
    }

    // Records of the slot's events not yet taken, at most cap.
    size_t take(Slot& s, uint8_t* out, size_t cap) {
        const size_t k = std::min(cap, s.table.n - s.used);
        const uint8_t* events = s.table.events + s.used * kAedat4EventSize;
        if (l_.piece) {
            note(s, events, k);
            s.used += k;
            return 0;
        }
        if (l_.windowed) {
            size_t first;
            const uint64_t before = outside_;
            const size_t written = aedat4_window_records(events, k, out, l_.width, l_.height, l_.lo, l_.hi, outside_, first);
            if (!before && outside_) std::memcpy(first_, events + first * kAedat4EventSize, kAedat4EventSize);
            s.used += k;
            return written;
        }
        const size_t written = aedat4_records(events, k, out, l_.width, l_.height);
        if (written < k) {
            if (!outside_) std::memcpy(first_, events + first_outside_at(events, k) * kAedat4EventSize, kAedat4EventSize);
            outside_ += k - written;
        }
        s.used += k;
        return written;
    }

    // A survey's account of k events of slot s (all it holds: a survey's room has no end).
    void note(const Slot& s, const uint8_t* events, size_t k) {
        Survey& v = survey_;
        int64_t first = 0, last = 0;
        for (size_t i = 0; i < k; ++i, events += kAedat4EventSize) {
            int64_t t;
            std::memcpy(&t, events, 8);
            if (i == 0) first = t;
            last = t;
            if (t < v.latest) v.rising = false;
            else v.latest = t;
            if ((v.events + i) % l_.piece == 0) v.piece_first = t;
            if (aedat4_inside(events, l_.width, l_.height) && (!v.any_inside || t < v.earliest)) {
                v.any_inside = true;
                v.earliest = t;
            }
        }
        v.events += k;
        v.rows.push_back({static_cast<int64_t>(s.offset), static_cast<int64_t>(s.length), static_cast<int64_t>(k),
                          first, last});
    }

    size_t first_outside_at(const uint8_t* events, size_t n) const {
        for (size_t i = 0; i < n; ++i, events += kAedat4EventSize)
            if (!aedat4_inside(events, l_.width, l_.height)) return i;
        return 0;
    }

    // Drops the whole pages of the mapping before `upto` once 4 MiB or more are read.
    void forget(size_t upto) {
        if (!l_.drop || upto - dropped_ < (size_t{4} << 20)) return;
        static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        const uintptr_t lo = (reinterpret_cast<uintptr_t>(l_.file + dropped_) + page - 1) / page * page;
        const uintptr_t hi = reinterpret_cast<uintptr_t>(l_.file + upto) / page * page;
        if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED);
        dropped_ = upto;
    }

    // The packet of the helper's slot r, decompressed into the caller's own slot instead;
    // r is freed when the helper is done with it. Under the lock, released meanwhile.
    Slot* take_over(Slot& r, std::unique_lock<std::mutex>& lock) {
        late_ = false;
        r.state = Slot::kDropped;
        own_ = true;
        mine_.offset = r.offset;
        mine_.length = r.length;
        mine_.used = 0;
        mine_.fail = {};
        lock.unlock();
        decompress(mine_);
        lock.lock();
        return &mine_;
    }

    void help() {
        std::unique_lock<std::mutex> lock(m_);
        while (!quit_) {
            if (Slot* c = claim()) {
                lock.unlock();
                decompress(*c);
                lock.lock();
                c->state = c->state == Slot::kDropped ? Slot::kFree : Slot::kReady;
                ready_.notify_all();
            } else {
                wake_.wait(lock);
            }
        }
    }

    const Layout l_;
    std::mutex m_;
    std::condition_variable ready_, wake_;  // a packet decompressed; a slot freed (or quit)
    std::array<Slot, kAhead> ring_;
    Slot mine_;                   // a packet the caller took over from the helper
    bool own_ = false, late_ = false;  // mine_ in use; the last wait for the helper timed out
    size_t cur_ = 0, claimed_ = 0;  // packets taken whole; packets claimed
    size_t next_listed_ = 0;        // the next listed packet to claim
    size_t pos_;                    // the walk's next packet header
    bool walked_ = false, quit_ = false;
    Outcome walk_stop_, outcome_;
    size_t dropped_, read_to_;
    uint64_t outside_ = 0;
    uint8_t first_[kAedat4EventSize] = {};
    Survey survey_;
    std::thread helper_;
};

}  // namespace zv::kern::aedat4
