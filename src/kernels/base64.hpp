// Base64 with the standard alphabet and "=" padding, no line breaks.
//
// Decoding is lenient the way the host's base64 facility is: characters
// outside the alphabet are skipped, and a complete pad sequence ends the
// input. A fast path handles clean text (what the encoder writes); anything
// else goes through the character-by-character decoder.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZV_B64_SSSE3 1
#endif

namespace zv::kern::b64 {

inline constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
inline constexpr uint8_t kInvalid = 0xff;

// Two output characters per 12 input bits: one table lookup per pair.
inline const std::array<uint16_t, 4096>& pair_table() {
    static const std::array<uint16_t, 4096> table = [] {
        std::array<uint16_t, 4096> t{};
        for (unsigned i = 0; i < 4096; ++i) {
            const uint8_t pair[2] = {static_cast<uint8_t>(kAlphabet[i >> 6]), static_cast<uint8_t>(kAlphabet[i & 63])};
            std::memcpy(&t[i], pair, 2);
        }
        return t;
    }();
    return table;
}

inline const std::array<uint8_t, 256>& value_table() {
    static const std::array<uint8_t, 256> table = [] {
        std::array<uint8_t, 256> t{};
        t.fill(kInvalid);
        for (unsigned i = 0; i < 64; ++i) t[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
        return t;
    }();
    return table;
}

inline constexpr size_t encoded_size(size_t n) { return (n + 2) / 3 * 4; }

#ifdef ZV_B64_SSSE3
// 12 bytes to 16 characters per step with byte shuffles (W. Mula's method):
// spread each 3-byte group over 4 bytes, cut out the 6-bit fields with two
// multiplies, then map field values to ASCII by adding a per-range offset.
// Returns the number of input bytes consumed (a multiple of 12); reads 16
// bytes per step, so it stops 4 bytes early.
__attribute__((target("ssse3"))) inline size_t encode_ssse3(const uint8_t* in, size_t n, char* out) {
    const __m128i spread = _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
    const __m128i mask_ac = _mm_set1_epi32(0x0fc0fc00), mul_ac = _mm_set1_epi32(0x04000040);
    const __m128i mask_bd = _mm_set1_epi32(0x003f03f0), mul_bd = _mm_set1_epi32(0x01000010);
    const __m128i offsets = _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                          '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    size_t i = 0;
    for (; i + 16 <= n; i += 12, out += 16) {
        const __m128i v = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)), spread);
        const __m128i ac = _mm_mulhi_epu16(_mm_and_si128(v, mask_ac), mul_ac);
        const __m128i bd = _mm_mullo_epi16(_mm_and_si128(v, mask_bd), mul_bd);
        const __m128i idx = _mm_or_si128(ac, bd);  // one 6-bit value per byte
        // Range of each value: 0 for A-Z, 1 for a-z, 2..11 for digits, 12 "+", 13 "/".
        __m128i range = _mm_subs_epu8(idx, _mm_set1_epi8(51));
        const __m128i upper = _mm_cmpgt_epi8(_mm_set1_epi8(26), idx);
        range = _mm_or_si128(range, _mm_and_si128(upper, _mm_set1_epi8(13)));
        const __m128i chars = _mm_add_epi8(_mm_shuffle_epi8(offsets, range), idx);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), chars);
    }
    return i;
}

inline bool has_ssse3() {
    static const bool yes = __builtin_cpu_supports("ssse3");
    return yes;
}
#endif

inline void encode(const uint8_t* in, size_t n, char* out) {
    const uint16_t* pairs = pair_table().data();
    size_t i = 0;
#ifdef ZV_B64_SSSE3
    if (has_ssse3()) {
        i = encode_ssse3(in, n, out);
        out += i / 3 * 4;
    }
#endif
    // Eight bytes read, six used: 8 characters per step.
    for (; i + 8 <= n; i += 6, out += 8) {
        uint64_t w;
        std::memcpy(&w, in + i, 8);
        w = __builtin_bswap64(w);  // first byte in the top bits
        const uint16_t p[4] = {pairs[(w >> 52) & 0xfff], pairs[(w >> 40) & 0xfff], pairs[(w >> 28) & 0xfff],
                               pairs[(w >> 16) & 0xfff]};
        std::memcpy(out, p, 8);
    }
    for (; i + 3 <= n; i += 3, out += 4) {
        const uint32_t w = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        const uint16_t p[2] = {pairs[w >> 12], pairs[w & 0xfff]};
        std::memcpy(out, p, 4);
    }
    const size_t rest = n - i;
    if (rest == 1) {
        const uint32_t w = uint32_t{in[i]} << 16;
        out[0] = kAlphabet[w >> 18];
        out[1] = kAlphabet[(w >> 12) & 63];
        out[2] = '=';
        out[3] = '=';
    } else if (rest == 2) {
        const uint32_t w = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8);
        out[0] = kAlphabet[w >> 18];
        out[1] = kAlphabet[(w >> 12) & 63];
        out[2] = kAlphabet[(w >> 6) & 63];
        out[3] = '=';
    }
}

// Decoded length of clean text (full quads of alphabet characters, the last
// one possibly ending in "=" or "=="), or -1 when the text is not of that form
// as far as its length and tail show; `decode_clean` checks the rest.
inline std::ptrdiff_t clean_size(const char* s, size_t n) {
    if (n % 4 != 0) return -1;
    if (n == 0) return 0;
    size_t pads = 0;
    if (s[n - 1] == '=') pads = (s[n - 2] == '=') ? 2 : 1;
    return static_cast<std::ptrdiff_t>(n / 4 * 3 - pads);
}

// Decode clean text into exactly clean_size(s, n) bytes; false (with `out`
// partly written) as soon as a character is outside the alphabet.
inline bool decode_clean(const char* s, size_t n, uint8_t* out) {
    if (n == 0) return true;
    const uint8_t* v = value_table().data();
    const auto* u = reinterpret_cast<const uint8_t*>(s);
    const size_t full = n - 4;  // the last quad may hold padding
    uint8_t bad = 0;
    size_t i = 0;
    for (; i < full; i += 4, out += 3) {
        const uint8_t a = v[u[i]], b = v[u[i + 1]], c = v[u[i + 2]], d = v[u[i + 3]];
        bad |= a | b | c | d;
        const uint32_t w = (uint32_t{a} << 18) | (uint32_t{b} << 12) | (uint32_t{c} << 6) | d;
        out[0] = static_cast<uint8_t>(w >> 16);
        out[1] = static_cast<uint8_t>(w >> 8);
        out[2] = static_cast<uint8_t>(w);
        // 0xff is the only value with bit 7 set: check once per block.
        if ((i & 4095) == 4092 && (bad & 0x80)) return false;
    }
    if (bad & 0x80) return false;
    const uint8_t a = v[u[i]], b = v[u[i + 1]];
    const bool pad2 = u[i + 2] == '=' && u[i + 3] == '=';
    const bool pad1 = !pad2 && u[i + 3] == '=';
    const uint8_t c = pad2 ? 0 : v[u[i + 2]], d = (pad1 || pad2) ? 0 : v[u[i + 3]];
    if ((a | b | c | d) & 0x80) return false;
    const uint32_t w = (uint32_t{a} << 18) | (uint32_t{b} << 12) | (uint32_t{c} << 6) | d;
    out[0] = static_cast<uint8_t>(w >> 16);
    if (!pad2) out[1] = static_cast<uint8_t>(w >> 8);
    if (!pad1 && !pad2) out[2] = static_cast<uint8_t>(w);
    return true;
}

enum class Status { Ok, Padding, OneExtra };

struct Lenient {
    size_t written = 0;
    Status status = Status::Ok;
};

// The general decoder. `out` must hold n / 4 * 3 + 3 bytes. Skips characters
// outside the alphabet; a pad sequence that completes a quad ends decoding;
// a quad left incomplete at the end is an error (OneExtra when it holds a
// single character, Padding otherwise).
inline Lenient decode_lenient(const char* s, size_t n, uint8_t* out) {
    const uint8_t* v = value_table().data();
    const auto* u = reinterpret_cast<const uint8_t*>(s);
    uint8_t* const start = out;
    int quad = 0, pads = 0;
    uint32_t left = 0;
    for (size_t i = 0; i < n; ++i) {
        if (u[i] == '=') {
            if (quad >= 2 && quad + ++pads >= 4) return {static_cast<size_t>(out - start), Status::Ok};
            continue;
        }
        const uint8_t c = v[u[i]];
        if (c == kInvalid) continue;
        pads = 0;
        switch (quad) {
            case 0: left = c; quad = 1; break;
            case 1: *out++ = static_cast<uint8_t>((left << 2) | (c >> 4)); left = c & 0x0f; quad = 2; break;
            case 2: *out++ = static_cast<uint8_t>((left << 4) | (c >> 2)); left = c & 0x03; quad = 3; break;
            default: *out++ = static_cast<uint8_t>((left << 6) | c); left = 0; quad = 0; break;
        }
    }
    const size_t written = static_cast<size_t>(out - start);
    if (quad == 0) return {written, Status::Ok};
    return {written, quad == 1 ? Status::OneExtra : Status::Padding};
}

}  // namespace zv::kern::b64
