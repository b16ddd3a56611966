// Memory advice for large fresh buffers: page sizes, and page faults taken ahead.
#pragma once

#include <sys/mman.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

namespace zv::kern {

// Ask for huge pages over a large buffer about to be written: a fresh text of
// hundreds of megabytes otherwise costs more in page faults than in writing it.
// Advice only; a kernel without transparent huge pages ignores it.
inline void prefer_huge_pages(void* p, size_t n) {
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    if (n < 4 * kHuge) return;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Whole 4 KiB pages inside [p, p + n).
inline bool whole_pages(void* p, size_t n, uintptr_t& begin, uintptr_t& end) {
    constexpr uintptr_t kPage = 4096;
    begin = (reinterpret_cast<uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
    end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kPage - 1);
    return end > begin;
}

// Ask for small pages over a large buffer about to be written a little at a
// time: where memory is fragmented, each huge-page fault waits for the kernel
// to compact memory (a 1.3 GB record array took 2 to 4 times the system time
// of small pages on a busy machine). Advice only.
inline void prefer_small_pages(void* p, size_t n) {
    uintptr_t begin, end;
    if (whole_pages(p, n, begin, end)) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_NOHUGEPAGE);
}

// Whether every page of [begin, end) (whole pages, at most 2 MiB) is backed already.
inline bool resident(uintptr_t begin, uintptr_t end) {
    unsigned char in[512];
    if (mincore(reinterpret_cast<void*>(begin), end - begin, in) != 0) return false;
    for (uintptr_t k = 0; k < (end - begin) / 4096; ++k)
        if (!(in[k] & 1)) return false;
    return true;
}

// Back the pages inside [p, p + n) with memory now, leaving their bytes as they
// are: another thread can take a buffer's page faults ahead of its writer.
// Pages backed already (memory an allocator hands out again) are passed over by
// 2 MiB parts: asking for them costs about what backing them afresh does, and
// finding them out next to nothing. False where the kernel cannot (before Linux 5.14).
inline bool populate_pages(void* p, size_t n) {
#ifdef MADV_POPULATE_WRITE
    uintptr_t begin, end;
    if (!whole_pages(p, n, begin, end)) return true;
    constexpr uintptr_t kPart = uintptr_t{2} << 20;
    for (uintptr_t at = begin, stop; at < end; at = stop) {
        stop = std::min(end, (at + kPart) & ~(kPart - 1));
        if (!resident(at, stop) && madvise(reinterpret_cast<void*>(at), stop - at, MADV_POPULATE_WRITE) != 0)
            return false;
    }
    return true;
#else
    (void)p;
    (void)n;
    return false;
#endif
}

// Huge pages over a large fresh buffer, written by parts, for as long as the kernel
// gives them cheaply; small pages for the rest once it does not. Small pages are
// backed at a steady 1.5 to 2.5 GB/s, huge pages at 10 to 12 GB/s where memory is at
// hand, but at times 0.3 GB/s: memory compacted for them, or, in a virtual machine
// whose balloon reports free memory to its host, memory freed more than a couple of
// seconds before, which the host must fault in again 4 KiB at a time (small pages
// come first from the free fragments, which are not reported). Slow parts come in
// long runs, once the memory freed lately is used up. Each part is backed ahead of
// its writer and timed in the thread's CPU time (a thread put aside by the scheduler
// is not counted); the first part slower than twice the small pages' rate turns the
// rest to small pages.
class CheapPages {
public:
    CheapPages(void* p, size_t n) : p_(p), n_(n) {
        if (n < kMin) prefer_small_pages(p, n);
        else prefer_huge_pages(p, n);
        small_ = n < kMin;
    }

    // Backs [q, q + m) (inside the buffer) now; from any thread. Parts end at huge-page
    // bounds and are timed against the huge pages they touch, so a trial that fails costs
    // one huge page (a few ms), not a run of them, on each thread that tries.
    void back(void* q, size_t m) {
        auto* at = static_cast<uint8_t*>(q);
        for (size_t part; m; at += part, m -= part) {
            const uintptr_t from = reinterpret_cast<uintptr_t>(at);
            part = std::min<size_t>(m, ((from + kHuge) & ~(kHuge - 1)) - from);
            if (small_.load(std::memory_order_relaxed)) {
                populate_pages(at, m);
                return;
            }
            const double t0 = cpu_seconds();
            const bool backed = populate_pages(at, part);
            const double touched = static_cast<double>(((from + part + kHuge - 1) & ~(kHuge - 1)) - (from & ~(kHuge - 1)));
            if (backed && (cpu_seconds() - t0) * kKeepRate >= touched && !small_.exchange(true))
                prefer_small_pages(p_, n_);
        }
    }

    bool huge() const { return !small_; }

private:
    static constexpr size_t kMin = size_t{32} << 20, kHuge = size_t{2} << 20;
    static constexpr double kKeepRate = 3e9;  // bytes per second

    static double cpu_seconds() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
    }

    void* p_;
    size_t n_;
    std::atomic<bool> small_{false};
};

// Takes the page faults of a fresh buffer [p, p + n) on a second thread while
// the caller writes it, with the pages CheapPages picks (huge while the kernel
// gives them cheaply), and joins that thread when it goes out of scope (the
// caller's writes never wait for it). Nothing for buffers under 2 MiB, where a
// thread costs more than it saves, nor where there is no thread to be had or
// the kernel cannot populate.
class PagesAhead {
public:
    PagesAhead(void* p, size_t n) {
        if (n < kLeast) return;
        pages_.emplace(p, n);
        try {
            thread_ = std::thread([this, p, n] {
                for (size_t at = 0; at < n && !stop_.load(std::memory_order_relaxed); at += kStep)
                    pages_->back(static_cast<char*>(p) + at, std::min(kStep, n - at));
            });
        } catch (...) {  // no thread: the writer takes its own faults
        }
    }
    PagesAhead(const PagesAhead&) = delete;
    PagesAhead& operator=(const PagesAhead&) = delete;
    ~PagesAhead() {
        stop_.store(true, std::memory_order_relaxed);  // what is left, the writer has touched
        if (thread_.joinable()) thread_.join();
    }

private:
    static constexpr size_t kLeast = size_t{2} << 20, kStep = size_t{2} << 20;
    std::optional<CheapPages> pages_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Storage for a vector looked up all over, one event at a time (per-pixel counts and filter
// state, the overview's cells): from 2 MiB on, on huge pages where the kernel gives them, so
// that a lookup seldom misses the TLB as well as the cache (on an HD page, about 5% of the CPU
// time). Such tables are a few megabytes, a few huge pages each.
template <typename T>
struct HugePageAllocator {
    using value_type = T;
    HugePageAllocator() = default;
    template <typename U>
    HugePageAllocator(const HugePageAllocator<U>&) {}

    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        const size_t bytes = n * sizeof(T);
        if (bytes < kHuge) return static_cast<T*>(::operator new(bytes));
        void* p = std::aligned_alloc(kHuge, rounded(bytes));
        if (!p) throw std::bad_alloc();
        madvise(p, rounded(bytes), MADV_HUGEPAGE);  // before the first touch; advice only
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t n) {
        if (n * sizeof(T) < kHuge) ::operator delete(p);
        else std::free(p);
    }
    template <typename U>
    bool operator==(const HugePageAllocator<U>&) const { return true; }

private:
    static constexpr size_t kHuge = size_t{2} << 20;
    static size_t rounded(size_t bytes) { return (bytes + kHuge - 1) / kHuge * kHuge; }
};
template <typename T>
using HugePageVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace zv::kern
