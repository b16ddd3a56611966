// The most records a run of EVT 3.0 or EVT 2.1 words can yield: every event
// word counted as if it had a time base and lay inside the sensor and the
// window. A whole read sizes its output with it before decoding, so records
// are written once, straight into the final array (the decoder still checks
// its room per word or block: the file decides nothing here). One pass at
// memory speed: AVX2 where the CPU has it. No Python here.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/evt_state.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZV_EVT_COUNT_AVX2 1
#endif

namespace zv::kern::evt {

// EVT 3.0: ADDR_X one, VECT_12 and VECT_8 their set bits.
inline uint64_t evt3_word_events(uint32_t v) {
    switch (v >> 12) {
        case 0x2: return 1;
        case 0x4: return static_cast<uint64_t>(std::popcount(v & 0xFFFu));
        case 0x5: return static_cast<uint64_t>(std::popcount(v & 0xFFu));
        default: return 0;
    }
}

#ifdef ZV_EVT_COUNT_AVX2
// 16 words at a time: each word's event bits selected by its type, counted by nibbles.
__attribute__((target("avx2"))) inline uint64_t evt3_events_avx2(const uint8_t* p, size_t words) {
    const __m256i nibbles = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,
                                             0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i low4 = _mm256_set1_epi8(0x0F);
    __m256i total = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 16 <= words; i += 16) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2 * i));
        const __m256i type = _mm256_srli_epi16(v, 12);
        const __m256i bits = _mm256_or_si256(
            _mm256_and_si256(_mm256_cmpeq_epi16(type, _mm256_set1_epi16(2)), _mm256_set1_epi16(1)),
            _mm256_or_si256(
                _mm256_and_si256(_mm256_cmpeq_epi16(type, _mm256_set1_epi16(4)), _mm256_and_si256(v, _mm256_set1_epi16(0xFFF))),
                _mm256_and_si256(_mm256_cmpeq_epi16(type, _mm256_set1_epi16(5)), _mm256_and_si256(v, _mm256_set1_epi16(0xFF)))));
        const __m256i count = _mm256_add_epi8(_mm256_shuffle_epi8(nibbles, _mm256_and_si256(bits, low4)),
                                              _mm256_shuffle_epi8(nibbles, _mm256_and_si256(_mm256_srli_epi16(bits, 4), low4)));
        total = _mm256_add_epi64(total, _mm256_sad_epu8(count, _mm256_setzero_si256()));
    }
    alignas(32) uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), total);
    uint64_t n = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    for (; i < words; ++i) n += evt3_word_events(static_cast<uint32_t>(load_le(p + 2 * i, 2)));
    return n;
}
#endif

// EVT 2.0: the CD event words (types 0 and 1) of the whole words of p[0, n).
inline uint64_t evt2_cd_words_scalar(const uint8_t* p, size_t n) {
    uint64_t total = 0;
    for (size_t i = 0; i + 4 <= n; i += 4) total += (p[i + 3] >> 5) == 0;
    return total;
}

#ifdef ZV_EVT_COUNT_AVX2
__attribute__((target("avx2,popcnt"))) inline uint64_t evt2_cd_words_avx2(const uint8_t* p, size_t n) {
    uint64_t total = 0;
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i cd = _mm256_cmpeq_epi32(_mm256_srli_epi32(v, 29), _mm256_setzero_si256());
        total += static_cast<uint64_t>(std::popcount(static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(cd)))));
    }
    return total + evt2_cd_words_scalar(p + i, n - i);
}
#endif

inline uint64_t evt2_cd_words(const uint8_t* p, size_t n) {
#ifdef ZV_EVT_COUNT_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    if (avx2) return evt2_cd_words_avx2(p, n);
#endif
    return evt2_cd_words_scalar(p, n);
}

// Most records the whole words of buf[0, n) yield in `f` (EVT 3.0 and 2.1; every
// other format yields at most one per word).
inline uint64_t most_events(Format f, const uint8_t* buf, size_t n) {
    const size_t words = n / kFormats[f].word;
    if (f == kEvt3) {
#ifdef ZV_EVT_COUNT_AVX2
        static const bool avx2 = __builtin_cpu_supports("avx2");
        if (avx2) return evt3_events_avx2(buf, words);
#endif
        uint64_t total = 0;
        for (size_t i = 0; i < words; ++i) total += evt3_word_events(static_cast<uint32_t>(load_le(buf + 2 * i, 2)));
        return total;
    }
    if (f == kEvt21) {
        uint64_t total = 0;
        for (size_t i = 0; i < words; ++i) {
            const uint64_t v = load_le(buf + 8 * i, 8);
            if ((v >> 60) <= 1) total += static_cast<uint64_t>(std::popcount(static_cast<uint32_t>(v)));
        }
        return total;
    }
    return words;
}

}  // namespace zv::kern::evt
