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
#include <emmintrin.h>
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

// Length of the leading run of a 1-byte string that needs no escape: 16
// bytes per step with SSE2 (part of every x86-64), else 8 at a time in a
// branch-free block test. `stop` is one more byte to stop at (0, a control
// character, adds none).
inline size_t plain_prefix(const uint8_t* s, size_t n, bool ascii, uint8_t stop = 0) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i ctl = _mm_set1_epi8(0x1f), del = _mm_set1_epi8(0x7f);
    const __m128i quote = _mm_set1_epi8('"'), slash = _mm_set1_epi8('\\'), lt = _mm_set1_epi8('<'),
                  gt = _mm_set1_epi8('>'), amp = _mm_set1_epi8('&'),
                  extra = _mm_set1_epi8(static_cast<char>(stop));
    const __m128i high = ascii ? _mm_set1_epi8(-1) : _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        __m128i bad = _mm_cmpeq_epi8(_mm_min_epu8(v, ctl), v);  // v <= 0x1f
        bad = _mm_or_si128(bad, _mm_and_si128(high, _mm_cmpeq_epi8(_mm_max_epu8(v, del), v)));  // v >= 0x7f
        bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, slash)));
        bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, gt)));
        bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, extra)));
        const int mask = _mm_movemask_epi8(bad);
        if (mask) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    while (i < n && plain_byte(s[i], ascii, stop)) ++i;
    return i;
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
            if constexpr (sizeof(D) == 1) {
                std::memcpy(out, u, run);
            } else {
                for (size_t k = 0; k < run; ++k) out[k] = u[k];
            }
            out += run;
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
