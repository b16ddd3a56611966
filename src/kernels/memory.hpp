// Memory advice for large fresh buffers.
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

}  // namespace zv::kern
