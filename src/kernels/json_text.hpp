// JSON string text for pages, in code points of any width.
//
// A string is written as JSON's encoder writes it (\" \\ \n \r \t \b \f, other
// controls as \u00XX, lowercase hex), with "<", ">" and "&" as \u003c, \u003e
// and \u0026 so that nothing inside can end the script element. In the ASCII
// form every character from 0x7f up is a \uXXXX escape too (a surrogate pair
// beyond the BMP). Sources and outputs are arrays of 1-, 2- or 4-byte code
// units, as Python keeps its strings, so no text is ever converted to UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace zv::kern::json {

// Output length of one code point (JSON escapes and HTML-safe escapes).
inline size_t escaped_width(uint32_t c, bool ascii) {
    if (c < 0x20) {
        switch (c) {
            case '\n': case '\r': case '\t': case '\b': case '\f': return 2;
            default: return 6;
        }
    }
    if (c == '"' || c == '\\') return 2;
    if (c == '<' || c == '>' || c == '&') return 6;
    if (ascii && c >= 0x7f) return c >= 0x10000 ? 12 : 6;
    return 1;
}

inline bool plain_byte(uint8_t c, bool ascii, uint8_t stop = 0) {
    return c >= 0x20 && c != stop && c != '"' && c != '\\' && c != '<' && c != '>' && c != '&' && !(ascii && c >= 0x7f);
}

#if defined(__SSE2__)
// Lanes of 16 bytes that end a plain run. '"' (0x22) and '&' (0x26) differ
// only in bit 2, '<' (0x3c) and '>' (0x3e) only in bit 1: one compare per pair.
struct Stops16 {
    __m128i ctl = _mm_set1_epi8(0x1f), del = _mm_set1_epi8(0x7f), bit2 = _mm_set1_epi8(4), bit1 = _mm_set1_epi8(2),
            amp = _mm_set1_epi8('&'), gt = _mm_set1_epi8('>'), slash = _mm_set1_epi8('\\');
    __m128i high, extra;

    Stops16(bool ascii, uint8_t stop)
        : high(ascii ? _mm_set1_epi8(-1) : _mm_setzero_si128()), extra(_mm_set1_epi8(static_cast<char>(stop))) {}

    __m128i operator()(__m128i v) const {
        __m128i bad = _mm_cmpeq_epi8(_mm_min_epu8(v, ctl), v);                                  // v <= 0x1f
        bad = _mm_or_si128(bad, _mm_and_si128(high, _mm_cmpeq_epi8(_mm_max_epu8(v, del), v)));  // v >= 0x7f
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(_mm_or_si128(v, bit2), amp));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(_mm_or_si128(v, bit1), gt));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, slash));
        return _mm_or_si128(bad, _mm_cmpeq_epi8(v, extra));
    }
    unsigned mask(__m128i v) const { return static_cast<unsigned>(_mm_movemask_epi8((*this)(v))); }
};

inline __m128i load32(const uint8_t* s) {
    int32_t x;
    std::memcpy(&x, s, 4);
    return _mm_cvtsi32_si128(x);
}

// A string shorter than 16 bytes in one vector, without reading past its
// end: two overlapping halves (or s[0], s[n/2], s[n-1] below 4 bytes); a
// lane found in both halves is reported from the first.
inline size_t short_plain_prefix(const uint8_t* s, size_t n, const Stops16& stops) {
    if (n >= 8) {
        const __m128i v = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s)),
                                             _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + n - 8)));
        const unsigned m = stops.mask(v);
        if (!m) return n;
        const unsigned lane = static_cast<unsigned>(__builtin_ctz(m));
        return lane < 8 ? lane : n - 16 + lane;
    }
    if (n >= 4) {
        const unsigned m = stops.mask(_mm_unpacklo_epi32(load32(s), load32(s + n - 4))) & 0xff;
        if (!m) return n;
        const unsigned lane = static_cast<unsigned>(__builtin_ctz(m));
        return lane < 4 ? lane : n - 8 + lane;
    }
    if (n == 0) return 0;
    const size_t at[3] = {0, n / 2, n - 1};
    const unsigned m = stops.mask(_mm_cvtsi32_si128(s[0] | s[n / 2] << 8 | s[n - 1] << 16)) & 7;
    return m ? at[__builtin_ctz(m)] : n;
}

// The same test on 32 bytes, for CPUs with AVX2 (checked at run time).
#define ZV_AVX2 __attribute__((target("avx2")))
struct Stops32 {
    __m256i ctl, del, bit2, bit1, amp, gt, slash, high, extra;

    ZV_AVX2 Stops32(bool ascii, uint8_t stop)
        : ctl(_mm256_set1_epi8(0x1f)), del(_mm256_set1_epi8(0x7f)), bit2(_mm256_set1_epi8(4)),
          bit1(_mm256_set1_epi8(2)), amp(_mm256_set1_epi8('&')), gt(_mm256_set1_epi8('>')),
          slash(_mm256_set1_epi8('\\')), high(ascii ? _mm256_set1_epi8(-1) : _mm256_setzero_si256()),
          extra(_mm256_set1_epi8(static_cast<char>(stop))) {}

    ZV_AVX2 __m256i operator()(const uint8_t* at) const {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
        __m256i bad = _mm256_cmpeq_epi8(_mm256_min_epu8(v, ctl), v);
        bad = _mm256_or_si256(bad, _mm256_and_si256(high, _mm256_cmpeq_epi8(_mm256_max_epu8(v, del), v)));
        bad = _mm256_or_si256(bad, _mm256_cmpeq_epi8(_mm256_or_si256(v, bit2), amp));
        bad = _mm256_or_si256(bad, _mm256_cmpeq_epi8(_mm256_or_si256(v, bit1), gt));
        bad = _mm256_or_si256(bad, _mm256_cmpeq_epi8(v, slash));
        return _mm256_or_si256(bad, _mm256_cmpeq_epi8(v, extra));
    }
    ZV_AVX2 static uint32_t mask(__m256i bad) { return static_cast<uint32_t>(_mm256_movemask_epi8(bad)); }
};

// 64 bytes a step: for payload-sized strings (base64 text, mostly).
ZV_AVX2 inline size_t plain_prefix_avx2(const uint8_t* s, size_t n, bool ascii, uint8_t stop) {
    const Stops32 stops(ascii, stop);
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m256i a = stops(s + i), b = stops(s + i + 32), either = _mm256_or_si256(a, b);
        if (!_mm256_testz_si256(either, either)) {
            const uint64_t m = Stops32::mask(a) | static_cast<uint64_t>(Stops32::mask(b)) << 32;
            return i + static_cast<size_t>(__builtin_ctzll(m));
        }
    }
    for (; i + 32 <= n; i += 32)
        if (const uint32_t m = Stops32::mask(stops(s + i))) return i + static_cast<size_t>(__builtin_ctz(m));
    // The last 32 bytes, overlapping what is known plain.
    if (i < n)
        if (const uint32_t m = Stops32::mask(stops(s + n - 32))) return n - 32 + static_cast<size_t>(__builtin_ctz(m));
    return n;
}
#undef ZV_AVX2

inline bool has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

// Length of the leading run of a 1-byte string that needs no escape. `stop`
// is one more byte to stop at (0, a control character, adds none). With
// SSE2 (part of every x86-64) 16 bytes a step, 64 with AVX2 where the CPU
// has it; else one byte at a time.
inline size_t plain_prefix(const uint8_t* s, size_t n, bool ascii, uint8_t stop = 0) {
#if defined(__SSE2__)
    if (n >= 64 && has_avx2()) return plain_prefix_avx2(s, n, ascii, stop);
    const Stops16 stops(ascii, stop);
    if (n < 16) return short_plain_prefix(s, n, stops);
    size_t i = 0;
    for (; i + 16 <= n; i += 16)
        if (const unsigned m = stops.mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i))))
            return i + static_cast<size_t>(__builtin_ctz(m));
    // The last 16 bytes, overlapping what is known plain.
    if (i < n)
        if (const unsigned m = stops.mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + n - 16))))
            return n - 16 + static_cast<size_t>(__builtin_ctz(m));
    return n;
#else
    size_t i = 0;
    while (i < n && plain_byte(s[i], ascii, stop)) ++i;
    return i;
#endif
}

#if defined(__SSE2__)
// 32 bytes a step into 2-byte units, 16 into 4-byte ones.
template <typename D>
__attribute__((target("avx2"))) void widen_avx2(D* out, const uint8_t* s, size_t n) {
    constexpr size_t step = 64 / sizeof(D);
    size_t k = 0;
    for (; k + step <= n; k += step) {
        for (size_t h = 0; h < step; h += 32 / sizeof(D)) {
            __m256i v;
            if constexpr (sizeof(D) == 2) {
                v = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k + h)));
            } else {
                v = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + k + h)));
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k + h), v);
        }
    }
    for (; k < n; ++k) out[k] = s[k];
}
#endif

// n bytes written as n code units of type D.
template <typename D>
D* widen(D* out, const uint8_t* s, size_t n) {
    if constexpr (sizeof(D) == 1) {
        std::memcpy(out, s, n);
    } else {
#if defined(__SSE2__)
        if (n >= 256 && has_avx2()) {
            widen_avx2(out, s, n);
            return out + n;
        }
#endif
        for (size_t k = 0; k < n; ++k) out[k] = s[k];
    }
    return out + n;
}

// Escaped length (without quotes) of n code units of type S.
template <typename S>
size_t escaped_length(const S* s, size_t n, bool ascii) {
    size_t total = 0, i = 0;
    while (i < n) {
        if constexpr (sizeof(S) == 1) {
            const size_t run = plain_prefix(reinterpret_cast<const uint8_t*>(s) + i, n - i, ascii);
            total += run;
            i += run;
            if (i == n) break;
        }
        total += escaped_width(static_cast<uint32_t>(s[i]), ascii);
        ++i;
    }
    return total;
}

template <typename D>
D* put_ascii(D* out, const char* text, size_t n) {
    for (size_t k = 0; k < n; ++k) out[k] = static_cast<D>(static_cast<uint8_t>(text[k]));
    return out + n;
}

template <typename D>
D* put_u(D* out, uint32_t unit) {
    static constexpr char kHex[] = "0123456789abcdef";
    const char text[6] = {'\\', 'u', kHex[(unit >> 12) & 15], kHex[(unit >> 8) & 15], kHex[(unit >> 4) & 15],
                          kHex[unit & 15]};
    return put_ascii(out, text, 6);
}

template <typename D>
D* put_escaped(D* out, uint32_t c, bool ascii) {
    switch (c) {
        case '"': return put_ascii(out, "\\\"", 2);
        case '\\': return put_ascii(out, "\\\\", 2);
        case '\n': return put_ascii(out, "\\n", 2);
        case '\r': return put_ascii(out, "\\r", 2);
        case '\t': return put_ascii(out, "\\t", 2);
        case '\b': return put_ascii(out, "\\b", 2);
        case '\f': return put_ascii(out, "\\f", 2);
        default: break;
    }
    if (c < 0x20 || c == '<' || c == '>' || c == '&') return put_u(out, c);
    if (ascii && c >= 0x7f) {
        if (c < 0x10000) return put_u(out, c);
        const uint32_t v = c - 0x10000;
        out = put_u(out, 0xd800 | (v >> 10));
        return put_u(out, 0xdc00 | (v & 0x3ff));
    }
    *out = static_cast<D>(c);
    return out + 1;
}

// Writes the escaped text of n code units of type S; returns the end. The
// caller sized `out` with escaped_length and chose D wide enough.
template <typename S, typename D>
D* write_escaped(const S* s, size_t n, bool ascii, D* out) {
    size_t i = 0;
    while (i < n) {
        if constexpr (sizeof(S) == 1) {
            // Scan and copy in cache-sized steps: the text is read once.
            const auto* u = reinterpret_cast<const uint8_t*>(s) + i;
            const size_t step = n - i < 16384 ? n - i : 16384;
            const size_t run = plain_prefix(u, step, ascii);
            out = widen(out, u, run);
            i += run;
            if (i == n) break;
            if (run == step) continue;
        }
        const uint32_t c = static_cast<uint32_t>(s[i]);
        if (escaped_width(c, ascii) == 1) {
            *out++ = static_cast<D>(c);
        } else {
            out = put_escaped(out, c, ascii);
        }
        ++i;
    }
    return out;
}

}  // namespace zv::kern::json
