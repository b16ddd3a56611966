// Opening a recording file: a regular file only, its first bytes read, its '%' header found,
// or the whole file mapped for reading.
//
// Contract:
// - open_regular(path) stats the path before it opens it, so that a FIFO, a device or a
//   directory is never opened; it opens read-only, non-blocking and close-on-exec, and checks
//   the descriptor's type again (the name may have been replaced meanwhile). On failure it
//   gives the errno (or kNotRegular) and no descriptor.
// - read_up_to(fd, buf, n) reads until n bytes are read or the file ends (EINTR retried);
//   the bytes read, or -1 with errno set.
// - percent_header(head, n): the length of the leading block of '%' lines, through a line
//   that is "% end" (trailing CRs aside) when there is one; a last line without its newline
//   reaches n.
// - Mapping maps a whole file read-only (nothing for an empty file or a failed map) and
//   unmaps it when destroyed; drop(from, to) gives the whole pages of a finished byte range
//   back (the page cache keeps them), so a long read holds only its output.
// No Python object is touched; every function may run without the GIL.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zv::kern::file_head {

constexpr int kNotRegular = -1;

struct Opened {
    int fd = -1;
    uint64_t size = 0;
    int error = 0;  // errno, kNotRegular, or 0 when fd is open
};

inline Opened open_regular(const char* path) {
    struct stat st;
    if (::stat(path, &st) != 0) return {-1, 0, errno};
    if (!S_ISREG(st.st_mode)) return {-1, 0, kNotRegular};
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {-1, 0, errno};
    int error = 0;
    if (::fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = kNotRegular;
    if (error) {
        ::close(fd);
        return {-1, 0, error};
    }
    return {fd, static_cast<uint64_t>(st.st_size), 0};
}

// Closes a descriptor when it goes out of scope.
struct Descriptor {
    int fd;
    explicit Descriptor(int f) : fd(f) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

inline long long read_up_to(int fd, uint8_t* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, buf + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<long long>(got);
}

inline size_t percent_header(const uint8_t* head, size_t n) {
    size_t pos = 0;
    while (pos < n && head[pos] == '%') {
        const auto* nl = static_cast<const uint8_t*>(std::memchr(head + pos, '\n', n - pos));
        if (nl == nullptr) return n;
        const size_t at = static_cast<size_t>(nl - head);
        size_t line_end = at;
        while (line_end > pos && head[line_end - 1] == '\r') --line_end;
        const bool last = line_end - pos == 5 && std::memcmp(head + pos, "% end", 5) == 0;
        pos = at + 1;
        if (last) break;
    }
    return pos;
}

class Mapping {
public:
    // The file at `path` (opened read-only, close-on-exec) mapped whole; empty when it cannot be.
    explicit Mapping(const char* path) {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        Descriptor closing(fd);  // the mapping keeps the file
        struct stat st;
        if (::fstat(fd, &st) != 0 || st.st_size <= 0) return;
        void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) return;
        base_ = static_cast<const uint8_t*>(p);
        size_ = static_cast<size_t>(st.st_size);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() {
        if (base_ != nullptr) ::munmap(const_cast<uint8_t*>(base_), size_);
    }

    const uint8_t* data() const { return base_; }
    size_t size() const { return size_; }

    void drop(size_t from, size_t to) const {
        const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
        const uintptr_t lo = (reinterpret_cast<uintptr_t>(base_ + from) + page - 1) / page * page;
        const uintptr_t hi = reinterpret_cast<uintptr_t>(base_ + to) / page * page;
        if (hi > lo) ::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED);
    }

private:
    const uint8_t* base_ = nullptr;
    size_t size_ = 0;
};

}  // namespace zv::kern::file_head
