// Decoding and counting on two threads: a helper thread decodes a buffer of
// file bytes into records while the calling thread feeds them to an engine.
// No Python here.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "kernels/evt.hpp"
#include "kernels/threads.hpp"

namespace zv::kern::stream {

// Decodes buf[0, n) into records on a helper thread while the calling thread
// counts them: the two stages pass a few record buffers back and forth. For
// the engines whose feeding never pauses (not a render). Returns the bytes
// decoded; the decoder stops where decode() would (window end, error, a
// partial word), and offsets in `s` are within buf. `decoded(records, count)` sees each
// buffer on the decoding thread before it is counted (work that thread has room for); one
// that returns a count keeps only that many records, at the buffer's front, for counting.
// What it raises (an allocation that fails) is raised here once the counting has stopped.
// The record buffers are the caller's, kept from one call to the next: a pass feeds a file a
// megabyte at a time, and fresh buffers each time would be zeroed and faulted in again.
struct RecordBuffers {
    static constexpr size_t kRecords = size_t(1) << 14, kCount = 4;
    void allocate() {
        if (buffers_.empty()) buffers_.assign(kCount, std::vector<uint8_t>(kRecords * evt::kRecordSize));
    }
    uint8_t* operator[](size_t b) { return buffers_[b].data(); }

private:
    std::vector<std::vector<uint8_t>> buffers_;
};

struct NothingMore {
    void operator()(uint8_t*, size_t) const {}
};
template <typename Engine, typename Decoded = NothingMore>
size_t decode_while_counting(evt::Format format, const uint8_t* buf, size_t n, evt::State& s, Engine& engine,
                             RecordBuffers& buffers, Decoded&& decoded = {}) {
    constexpr size_t kRecords = RecordBuffers::kRecords, kBuffers = RecordBuffers::kCount;
    struct Filled {
        size_t buffer, count;
    };
    buffers.allocate();  // on the first call, and on this thread
    std::mutex mu;
    std::condition_variable cv;
    std::deque<size_t> free_buffers;
    for (size_t b = 0; b < kBuffers; ++b) free_buffers.push_back(b);
    std::deque<Filled> filled;
    bool finished = false, abandoned = false;
    std::exception_ptr failure;
    size_t used = 0;
    std::thread decoder([&] {
        run_as_batch();  // it runs ahead; the counting thread keeps its core
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
            const evt::Progress p = evt::decode(format, buf + used, n - used, s, buffers[b], kRecords, 0);
            if (s.error) s.error_at += static_cast<int64_t>(used);
            if (s.back && !was_back) s.back_at += static_cast<int64_t>(used);
            used += p.consumed;
            size_t count = p.count;
            try {
                if constexpr (std::is_void_v<std::invoke_result_t<Decoded&, uint8_t*, size_t>>) decoded(buffers[b], count);
                else count = decoded(buffers[b], count);
            } catch (...) {  // raised again on the calling thread, once the counting has stopped
                std::lock_guard lock(mu);
                failure = std::current_exception();
                finished = true;
                cv.notify_all();
                return;
            }
            const bool last = used == n || s.done || s.error || (p.consumed == 0 && p.count == 0);
            std::lock_guard lock(mu);
            filled.push_back({b, count});
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
            engine.feed(buffers[next.buffer], next.count);
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
    if (failure) std::rethrow_exception(failure);
    return used;
}

}  // namespace zv::kern::stream
