// Memory advice for large fresh buffers: page sizes, and page faults taken ahead.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

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

// Back the pages inside [p, p + n) with memory now, leaving their bytes as they
// are: another thread can take a buffer's page faults ahead of its writer.
// False where the kernel cannot (before Linux 5.14).
inline bool populate_pages(void* p, size_t n) {
#ifdef MADV_POPULATE_WRITE
    uintptr_t begin, end;
    if (!whole_pages(p, n, begin, end)) return true;
    return madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE) == 0;
#else
    (void)p;
    (void)n;
    return false;
#endif
}

}  // namespace zv::kern
