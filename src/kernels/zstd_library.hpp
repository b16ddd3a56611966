// ZSTD frames through the reference library, libzstd, found when first asked for (dlopen of
// libzstd.so.1, which nearly every Linux system has): no build dependency, and a decoder 1.5x
// the zstandard package's bundled one on AEDAT 4 packets. Where the library is absent, the
// caller uses the zstandard package instead. Only the library's stable functions are used,
// declared here as its header declares them. No Python here.
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "kernels/lz4_frame.hpp"

namespace zv::kern::zstd {

namespace detail {

struct InBuffer {
    const void* src;
    size_t size, pos;
};
struct OutBuffer {
    void* dst;
    size_t size, pos;
};

struct Library {
    void* (*create)() = nullptr;
    size_t (*free_context)(void*) = nullptr;
    size_t (*decompress)(void*, void*, size_t, const void*, size_t) = nullptr;
    size_t (*stream)(void*, OutBuffer*, InBuffer*) = nullptr;
    size_t (*init_stream)(void*) = nullptr;
    unsigned long long (*content_size)(const void*, size_t) = nullptr;
    size_t (*frame_size)(const void*, size_t) = nullptr;
    size_t (*header_size)(const void*, size_t) = nullptr;
    unsigned (*is_error)(size_t) = nullptr;
    const char* (*error_name)(size_t) = nullptr;
    int (*error_code)(size_t) = nullptr;
    bool ok = false;

    Library() {
        void* h = dlopen("libzstd.so.1", RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr) return;
        bool all = true;
        auto find = [&](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(h, name));
            all = all && fn != nullptr;
        };
        find(create, "ZSTD_createDCtx");
        find(free_context, "ZSTD_freeDCtx");
        find(decompress, "ZSTD_decompressDCtx");
        find(stream, "ZSTD_decompressStream");
        find(init_stream, "ZSTD_initDStream");
        find(content_size, "ZSTD_getFrameContentSize");
        find(frame_size, "ZSTD_findFrameCompressedSize");
        find(header_size, "ZSTD_frameHeaderSize");
        find(is_error, "ZSTD_isError");
        find(error_name, "ZSTD_getErrorName");
        find(error_code, "ZSTD_getErrorCode");
        ok = all;  // the handle stays open: the functions are used until the process ends
    }
};

inline const Library& library() {
    static const Library lib;
    return lib;
}

constexpr unsigned long long kUnknownSize = 0ULL - 1, kSizeError = 0ULL - 2;
constexpr int kMemory = 64, kSrcSizeWrong = 72;  // ZSTD_error_memory_allocation, ZSTD_error_srcSize_wrong

// One decompression context per thread, kept for its packets.
struct Context {
    void* dctx = nullptr;
    Context() : dctx(library().create()) {}
    ~Context() {
        if (dctx != nullptr) library().free_context(dctx);
    }
};

inline void* context() {
    thread_local Context c;
    return c.dctx;
}

// A library error: "ends early" where the frame was cut, else its own words.
inline lz4::Result failed(size_t code, std::string& why) {
    const Library& z = library();
    if (z.error_code(code) == kSrcSizeWrong) return {lz4::Error::kEndsEarly, 0};
    if (z.error_code(code) == kMemory) return {lz4::Error::kNoMemory, 0};
    why = z.error_name(code);
    return {lz4::Error::kDecompressionFailed, 0};
}

// A frame that does not state its size, decompressed as a stream into out, at most limit bytes.
inline lz4::Result unsized(void* dctx, const uint8_t* src, size_t n, lz4::Bytes& out, size_t limit,
                           std::string& why) {
    const Library& z = library();
    z.init_stream(dctx);
    InBuffer in{src, n, 0};
    size_t have = 0;
    for (;;) {
        const size_t room = std::min(limit + 1, std::max<size_t>(have * 2, size_t{1} << 16));
        if (!out.reserve(room, have)) return {lz4::Error::kNoMemory, 0};
        OutBuffer o{out.data(), room, have};
        const size_t read = in.pos;
        const size_t left = z.stream(dctx, &o, &in);
        if (z.is_error(left)) return failed(left, why);
        if (o.pos > limit) return {lz4::Error::kTooLarge, 0};
        if (left == 0) return {lz4::Error::kNone, o.pos};
        // The input is spent (or nothing moved) with room left: the frame was cut.
        if ((in.pos == in.size || (in.pos == read && o.pos == have)) && o.pos < o.size)
            return {lz4::Error::kEndsEarly, 0};
        have = o.pos;
    }
}

}  // namespace detail

// Whether libzstd could be loaded.
inline bool available() { return detail::library().ok; }

// The content of the ZSTD frame at the start of src[0, n) (bytes after it ignored), into out:
// at most limit bytes, whether or not its header states its size. kEndsEarly for a frame cut
// short, kTooLarge past limit, kNoMemory, kDecompressionFailed with the library's words in why.
inline lz4::Result unpack(const uint8_t* src, size_t n, lz4::Bytes& out, size_t limit, std::string& why) {
    const detail::Library& z = detail::library();
    void* dctx = detail::context();
    if (dctx == nullptr) return {lz4::Error::kNoMemory, 0};
    const unsigned long long size = z.content_size(src, n);
    if (size == detail::kSizeError) {
        const size_t header = z.header_size(src, n);
        if (z.is_error(header)) {
            if (n < 5) return {lz4::Error::kEndsEarly, 0};  // not even the magic and the frame's first byte
            why = z.error_name(header);
            return {lz4::Error::kDecompressionFailed, 0};
        }
        if (n < header) return {lz4::Error::kEndsEarly, 0};
        // The library's words for a header it will not read ("Unknown frame descriptor", ...).
        const size_t code = z.decompress(dctx, out.data(), 0, src, n);
        if (z.is_error(code)) return detail::failed(code, why);
        why = "Unknown frame descriptor";
        return {lz4::Error::kDecompressionFailed, 0};
    }
    if (size != detail::kUnknownSize && size > limit) return {lz4::Error::kTooLarge, 0};
    const size_t frame = z.frame_size(src, n);
    if (z.is_error(frame)) return detail::failed(frame, why);
    if (size == detail::kUnknownSize) return detail::unsized(dctx, src, frame, out, limit, why);
    if (!out.reserve(std::max<size_t>(static_cast<size_t>(size), 1), 0)) return {lz4::Error::kNoMemory, 0};
    const size_t got = z.decompress(dctx, out.data(), static_cast<size_t>(size), src, frame);
    if (z.is_error(got)) return detail::failed(got, why);
    if (got != size) {
        why = "the frame holds less than its header states";
        return {lz4::Error::kDecompressionFailed, 0};
    }
    return {lz4::Error::kNone, got};
}

}  // namespace zv::kern::zstd
