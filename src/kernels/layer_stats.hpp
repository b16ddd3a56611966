// Per-neuron totals of a spike-count array, for a network's layer statistics.
//
// Contract: `count_totals(a, sums, threads)` reads the array `a` (dimension 0
// is time, the rest neurons; any element type, strides and byte order) exactly
// once and writes, per neuron, the exact sum over every step into the caller's
// `sums` (uint64; or uint32 where `sums_fit_32(a)` says every sum fits), and
// returns over the whole array the number of entries equal to 0, the neurons
// whose sum is 0 (silent) and those non-zero at every step (saturated). Values
// must be whole numbers >= 0; any other value sets a flag and the sums are then
// meaningless. Sums past 64 bits carry into `carries`; values of 2**128 and
// more set `huge`. `tap_total` weights per-neuron sums laid out (C, H, W) by a
// tap count per row and per column and returns the exact 128-bit sum. No Python.
//
// Speed: the neurons are cut into blocks that the threads take in turn (a
// thread held up elsewhere takes fewer), each with its own scratch. uint8 and
// bool arrays with contiguous neurons go through 255 steps of a block at once,
// into 8-bit sums where every value is 0 or 1 and into 16-bit sums and 8-bit
// zero counts otherwise (plain x86-64, or AVX2 where the CPU has it), keeping
// one byte per neuron for "non-zero at every step so far"; contiguous float32
// and float64 ones into doubles, while their sums stay exact. Everything else
// walks each step's neurons through a table of byte offsets. The sums are
// written straight into the caller's buffer, narrow where they fit: a fresh
// result costs its page faults, and those were a third of the pass.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <type_traits>
#include <vector>

#include "kernels/activity.hpp"  // Strided, and <immintrin.h> on x86-64
#include "kernels/columns.hpp"

namespace zv::kern::layer {

struct Totals {
    std::vector<uint64_t> carries;  // per neuron, the bits of its sum above 64 (empty when every sum fits 64)
    uint64_t zeros = 0;          // entries equal to 0
    int64_t silent = 0;          // neurons whose sum is 0
    int64_t saturated = 0;       // neurons non-zero at every step
    bool negative = false, fraction = false, nonfinite = false, overflow = false, huge = false;
};

inline int64_t steps_of(const Strided& a) { return a.shape.empty() ? 0 : a.shape[0]; }

inline int64_t neurons_of(const Strided& a) {
    int64_t n = 1;
    for (size_t d = 1; d < a.shape.size(); ++d) n *= a.shape[d];
    return n;
}

// Byte offset of each neuron within one step, in C order of the neuron axes.
inline std::vector<int64_t> neuron_offsets(const Strided& a) {
    std::vector<int64_t> off(static_cast<size_t>(neurons_of(a)), 0);
    const size_t nd = a.shape.size();
    std::vector<int64_t> idx(nd, 0);
    int64_t at = 0;
    for (size_t j = 0; j < off.size(); ++j) {
        off[j] = at;
        for (size_t d = nd; d-- > 1;) {
            at += a.strides[d];
            if (++idx[d] < a.shape[d]) break;
            at -= a.strides[d] * a.shape[d];
            idx[d] = 0;
        }
    }
    return off;
}

inline bool neurons_contiguous(const Strided& a) {
    int64_t expect = a.size;
    for (size_t d = a.shape.size(); d-- > 1;) {
        if (a.shape[d] != 1 && a.strides[d] != expect) return false;
        expect *= a.shape[d];
    }
    return true;
}

// One slice's share of the counts, merged after its thread ends.
struct Share {
    uint64_t zeros = 0;
    int64_t silent = 0, saturated = 0;
    bool negative = false, fraction = false, nonfinite = false, overflow = false, huge = false;
};

template <typename Fn>
inline void on_threads(int threads, Fn&& fn) {
    std::vector<std::thread> pool;
    try {
        for (int k = 1; k < threads; ++k) pool.emplace_back(fn, k);
    } catch (...) {  // no thread to be had: the ones running take every block
    }
    fn(0);
    for (auto& t : pool) t.join();
}

// Blocks [0, count) of neurons, taken in turn by up to `threads` workers; each
// worker builds its scratch once (`make()`), runs `block(scratch, b, share)` on
// the blocks it takes, and its share is merged into `out`.
template <typename Make, typename Block>
void over_blocks(int64_t count, int threads, Share& out, Make&& make, Block&& block) {
    std::atomic<int64_t> next{0};
    const int workers = static_cast<int>(std::clamp<int64_t>(threads, 1, std::max<int64_t>(count, 1)));
    std::vector<Share> shares(static_cast<size_t>(workers));
    on_threads(workers, [&](int k) {
        auto scratch = make();
        for (int64_t b; (b = next.fetch_add(1, std::memory_order_relaxed)) < count;) block(scratch, b, shares[k]);
    });
    for (const Share& s : shares) {
        out.zeros += s.zeros, out.silent += s.silent, out.saturated += s.saturated;
        out.negative |= s.negative, out.fraction |= s.fraction, out.nonfinite |= s.nonfinite, out.overflow |= s.overflow;
        out.huge |= s.huge;
    }
}

// ---------------------------------------------------------------- bytes, contiguous neurons
//
// A block of neurons goes through the steps 255 at a time. Spikes are mostly 0
// or 1 per step: such a run is summed into 8-bit cells alone, its zeros and
// non-zero steps being what the sums leave (a "binary" run). A run that holds a
// larger count is summed again into 16-bit sums and 8-bit zero counts, and the
// rest of the block goes that way at once.

inline constexpr int64_t kBlock = 65536;  // neurons: their cells stay in L2, and each row is read in long runs
inline constexpr int64_t kChunk = 255;    // steps: 255 * 255 fits 16 bits, 255 zeros fit 8

// The cells of one block for one run of steps.
struct ByteCells {
    uint8_t* sum8;    // binary runs
    uint16_t* sum16;  // other runs
    uint8_t* zeros;   // other runs
};

template <bool Bool>
[[gnu::always_inline]] inline uint8_t byte_at(const uint8_t* p) {
    return Bool ? static_cast<uint8_t>(*p != 0) : *p;
}

// Adds the run into sum8; returns the OR of every value (above 1: not binary).
template <bool Bool>
[[gnu::always_inline]] inline uint8_t binary_run_body(const std::byte* first, int64_t row_stride, int64_t rows,
                                                      int64_t w, uint8_t* sum8) {
    uint8_t any = 0;
    for (int64_t t = 0; t < rows; ++t) {
        const uint8_t* r = reinterpret_cast<const uint8_t*>(first + t * row_stride);
        for (int64_t i = 0; i < w; ++i) {
            const uint8_t v = byte_at<Bool>(r + i);
            sum8[i] = static_cast<uint8_t>(sum8[i] + v);
            any |= v;
        }
    }
    return any;
}

template <bool Bool>
[[gnu::always_inline]] inline void count_run_body(const std::byte* first, int64_t row_stride, int64_t rows, int64_t w,
                                                  uint16_t* sum16, uint8_t* zeros) {
    for (int64_t t = 0; t < rows; ++t) {
        const uint8_t* r = reinterpret_cast<const uint8_t*>(first + t * row_stride);
        for (int64_t i = 0; i < w; ++i) {
            const uint8_t v = byte_at<Bool>(r + i);
            sum16[i] = static_cast<uint16_t>(sum16[i] + v);
            zeros[i] = static_cast<uint8_t>(zeros[i] + (v == 0));
        }
    }
}

template <bool Bool>
uint8_t binary_run(const std::byte* first, int64_t row_stride, int64_t rows, int64_t w, uint8_t* sum8) {
    return binary_run_body<Bool>(first, row_stride, rows, w, sum8);
}

template <bool Bool>
void count_run(const std::byte* first, int64_t row_stride, int64_t rows, int64_t w, uint16_t* sum16, uint8_t* zeros) {
    count_run_body<Bool>(first, row_stride, rows, w, sum16, zeros);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same with AVX2 intrinsics: 4 steps are added into each 32 cells in
// registers before the cells go back to memory, the 4 rows streaming side by
// side (more streams than that defeat the prefetcher: 16 ran at half the
// speed). A tail of w % 32 goes the plain way.
inline constexpr int64_t kGroup = 4;

template <bool Bool>
__attribute__((target("avx2"))) inline __m256i load_counts(const uint8_t* p) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    if constexpr (Bool) return _mm256_min_epu8(v, _mm256_set1_epi8(1));
    return v;
}

template <bool Bool>
__attribute__((target("avx2"))) uint8_t binary_run_avx2(const std::byte* first, int64_t row_stride, int64_t rows,
                                                        int64_t w, uint8_t* sum8) {
    const int64_t wide = w / 32 * 32;
    __m256i any = _mm256_setzero_si256();
    for (int64_t t0 = 0; t0 < rows; t0 += kGroup) {
        const int64_t g = std::min(kGroup, rows - t0);
        const uint8_t* r0 = reinterpret_cast<const uint8_t*>(first + t0 * row_stride);
        for (int64_t i = 0; i < wide; i += 32) {
            __m256i* c = reinterpret_cast<__m256i*>(sum8 + i);
            __m256i s = _mm256_loadu_si256(c);
            const uint8_t* p = r0 + i;
            for (int64_t r = 0; r < g; ++r, p += row_stride) {
                const __m256i v = load_counts<Bool>(p);
                s = _mm256_add_epi8(s, v);
                any = _mm256_or_si256(any, v);
            }
            _mm256_storeu_si256(c, s);
        }
    }
    alignas(32) uint8_t lanes[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), any);
    uint8_t out = 0;
    for (uint8_t v : lanes) out |= v;
    if (wide < w) out |= binary_run_body<Bool>(first + wide, row_stride, rows, w - wide, sum8 + wide);
    return out;
}

template <bool Bool>
__attribute__((target("avx2"))) void count_run_avx2(const std::byte* first, int64_t row_stride, int64_t rows,
                                                    int64_t w, uint16_t* sum16, uint8_t* zeros) {
    const int64_t wide = w / 32 * 32;
    const __m256i zero = _mm256_setzero_si256();
    for (int64_t t0 = 0; t0 < rows; t0 += kGroup) {
        const int64_t g = std::min(kGroup, rows - t0);
        const uint8_t* r0 = reinterpret_cast<const uint8_t*>(first + t0 * row_stride);
        for (int64_t i = 0; i < wide; i += 32) {
            __m256i* a = reinterpret_cast<__m256i*>(sum16 + i);
            __m256i* z = reinterpret_cast<__m256i*>(zeros + i);
            __m256i lo = _mm256_loadu_si256(a), hi = _mm256_loadu_si256(a + 1), zs = _mm256_loadu_si256(z);
            const uint8_t* p = r0 + i;
            for (int64_t r = 0; r < g; ++r, p += row_stride) {
                const __m256i v = load_counts<Bool>(p);
                lo = _mm256_add_epi16(lo, _mm256_cvtepu8_epi16(_mm256_castsi256_si128(v)));
                hi = _mm256_add_epi16(hi, _mm256_cvtepu8_epi16(_mm256_extracti128_si256(v, 1)));
                zs = _mm256_sub_epi8(zs, _mm256_cmpeq_epi8(v, zero));
            }
            _mm256_storeu_si256(a, lo);
            _mm256_storeu_si256(a + 1, hi);
            _mm256_storeu_si256(z, zs);
        }
    }
    if (wide < w) count_run_body<Bool>(first + wide, row_stride, rows, w - wide, sum16 + wide, zeros + wide);
}

inline bool has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

// Scratch of one worker: the cells of one block.
struct ByteScratch {
    std::vector<uint8_t> sum8, full;  // full: the neuron was non-zero at every step so far
    std::vector<uint16_t> sum16;      // the 16-bit cells only once a run needs them
    std::vector<uint8_t> zeros;
};

// A run's cells into the block's sums (set on the first run, added after), its
// zero entries counted and the neurons with a zero step struck from `full`.
template <typename S>
[[gnu::always_inline]] inline uint64_t close_binary(const uint8_t* sum8, S* out, uint8_t* full, int64_t w,
                                                   int64_t rows, bool first) {
    uint64_t spikes = 0;
    const uint8_t all = static_cast<uint8_t>(rows);
    for (int64_t i = 0; i < w; ++i) {
        const uint8_t v = sum8[i];
        out[i] = static_cast<S>((first ? S{0} : out[i]) + v);
        full[i] &= static_cast<uint8_t>(v == all);
        spikes += v;
    }
    return static_cast<uint64_t>(rows) * static_cast<uint64_t>(w) - spikes;
}

template <typename S>
[[gnu::always_inline]] inline uint64_t close_counts(const uint16_t* sum16, const uint8_t* zeros, S* out, uint8_t* full,
                                                   int64_t w, bool first) {
    uint64_t z = 0;
    for (int64_t i = 0; i < w; ++i) {
        out[i] = static_cast<S>((first ? S{0} : out[i]) + sum16[i]);
        full[i] &= static_cast<uint8_t>(zeros[i] == 0);
        z += zeros[i];
    }
    return z;
}

// Block b of kBlock neurons: its sums into out[j0, j0 + w).
template <bool Bool, typename S, bool Avx2>
[[gnu::always_inline]] inline void byte_block_body(const Strided& a, int64_t b, S* out, ByteScratch& c, Share& s) {
    const int64_t T = steps_of(a), n = neurons_of(a);
    const int64_t row_stride = a.strides[0];
    const int64_t j0 = b * kBlock, w = std::min(kBlock, n - j0);
    S* sums = out + j0;
    uint8_t* full = c.full.data();
    std::fill(full, full + w, uint8_t{1});
    bool binary = true;
    for (int64_t t0 = 0; t0 < T; t0 += kChunk) {
        const int64_t rows = std::min(kChunk, T - t0);
        const std::byte* first = a.base + t0 * row_stride + j0;
        if (binary) {
            uint8_t* sum8 = c.sum8.data();
            std::fill(sum8, sum8 + w, uint8_t{0});
#if defined(__x86_64__) && defined(__GNUC__)
            const uint8_t any = Avx2 ? binary_run_avx2<Bool>(first, row_stride, rows, w, sum8)
                                     : binary_run<Bool>(first, row_stride, rows, w, sum8);
#else
            const uint8_t any = binary_run<Bool>(first, row_stride, rows, w, sum8);
#endif
            binary = any <= 1;
            if (binary) {
                s.zeros += close_binary(sum8, sums, full, w, rows, t0 == 0);
                continue;
            }
        }
        if (c.sum16.empty()) c.sum16.resize(static_cast<size_t>(kBlock)), c.zeros.resize(static_cast<size_t>(kBlock));
        std::fill(c.sum16.begin(), c.sum16.begin() + w, uint16_t{0});
        std::fill(c.zeros.begin(), c.zeros.begin() + w, uint8_t{0});
#if defined(__x86_64__) && defined(__GNUC__)
        if (Avx2) count_run_avx2<Bool>(first, row_stride, rows, w, c.sum16.data(), c.zeros.data());
        else
#endif
            count_run<Bool>(first, row_stride, rows, w, c.sum16.data(), c.zeros.data());
        s.zeros += close_counts(c.sum16.data(), c.zeros.data(), sums, full, w, t0 == 0);
    }
    int64_t silent = 0, saturated = 0;
    for (int64_t i = 0; i < w; ++i) {
        silent += sums[i] == 0;
        saturated += full[i];
    }
    s.silent += silent;
    s.saturated += saturated;
}

template <bool Bool, typename S>
void byte_block(const Strided& a, int64_t b, S* out, ByteScratch& c, Share& s) {
    byte_block_body<Bool, S, false>(a, b, out, c, s);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <bool Bool, typename S>
__attribute__((target("avx2"), flatten)) void byte_block_avx2(const Strided& a, int64_t b, S* out, ByteScratch& c,
                                                              Share& s) {
    byte_block_body<Bool, S, true>(a, b, out, c, s);
}
#endif

template <bool Bool, typename S>
void byte_totals(const Strided& a, S* sums, int threads, Share& out) {
    const int64_t n = neurons_of(a);
    auto make = [&] {
        const size_t cells = static_cast<size_t>(std::min(kBlock, n));
        return ByteScratch{std::vector<uint8_t>(cells), std::vector<uint8_t>(cells), {}, {}};
    };
    auto block = [&](ByteScratch& c, int64_t b, Share& s) {
#if defined(__x86_64__) && defined(__GNUC__)
        if (has_avx2()) return byte_block_avx2<Bool, S>(a, b, sums, c, s);
#endif
        byte_block<Bool, S>(a, b, sums, c, s);
    };
    over_blocks((n + kBlock - 1) / kBlock, threads, out, make, block);
}

// ---------------------------------------------------------------- floats, contiguous neurons
//
// Spikes saved as float32 or float64 (a framework's tensors): each block of
// neurons is summed in doubles, exact while every sum stays below 2**53, with a
// count of non-zero steps per neuron. One flag notes any value that is not a
// whole number >= 0 (or not finite); then, or when a sum grows past 2**53, the
// array goes the general way instead, which says what is wrong or carries.

inline constexpr int64_t kFloatBlock = 8192;  // neurons: 64 KB of sums and 32 KB of counts

// One step of a block: the inner loop, written for the vectoriser (no branch,
// the flags as integers).
template <typename F>
[[gnu::always_inline]] inline uint32_t float_row(const F* __restrict r, int64_t w, double* __restrict sum,
                                                 uint32_t* __restrict busy) {
    // v + M - M rounds a v in [0, M) to a whole number (M = 2**23 or 2**52): v is whole when it
    // comes back unchanged, or when it is at least M, where every float is.
    constexpr F M = sizeof(F) == 4 ? F(8388608.0) : F(4503599627370496.0);
    uint32_t ok = 1;
    for (int64_t i = 0; i < w; ++i) {
        const F v = r[i];
        sum[i] += static_cast<double>(v);
        busy[i] += static_cast<uint32_t>(v != F(0));
        const F rounded = (v + M) - M;
        ok &= static_cast<uint32_t>(v >= F(0)) & static_cast<uint32_t>(v < std::numeric_limits<F>::infinity()) &
              (static_cast<uint32_t>(rounded == v) | static_cast<uint32_t>(v >= M));
    }
    return ok;
}

template <typename F>
[[gnu::always_inline]] inline bool float_run_body(const std::byte* first, int64_t row_stride, int64_t rows, int64_t w,
                                                  double* sum, uint32_t* busy) {
    uint32_t ok = 1;
    for (int64_t t = 0; t < rows; ++t) ok &= float_row<F>(reinterpret_cast<const F*>(first + t * row_stride), w, sum, busy);
    return !ok;
}

template <typename F>
bool float_run(const std::byte* first, int64_t row_stride, int64_t rows, int64_t w, double* sum, uint32_t* busy) {
    return float_run_body<F>(first, row_stride, rows, w, sum, busy);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <typename F>
__attribute__((target("avx2"))) bool float_run_avx2(const std::byte* first, int64_t row_stride, int64_t rows,
                                                    int64_t w, double* sum, uint32_t* busy) {
    return float_run_body<F>(first, row_stride, rows, w, sum, busy);
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
// float32 counts a run of steps at a time in float lanes: whole values >= 0
// whose sum stays below 2**24 add exactly, so the run's sums are the bits that
// doubles would give, at half the work. Each value is checked whole (it comes
// back from rounding toward zero unchanged, which also fails a NaN) and not
// signed (-0.0 too: it only sends the block the double way); an infinity or a
// sum of 2**24 and more shows in the run's sums. False: take the double way.
__attribute__((target("avx2"))) inline bool whole_float_run_avx2(const std::byte* first, int64_t row_stride,
                                                                 int64_t rows, int64_t w, float* acc, uint32_t* busy) {
    const __m256 zero = _mm256_setzero_ps(), limit = _mm256_set1_ps(16777216.0f);
    __m256 ok = _mm256_castsi256_ps(_mm256_set1_epi32(-1)), sign = zero;
    std::fill(acc, acc + w, 0.0f);
    // kGroup rows side by side, as the byte runs do.
    for (int64_t t0 = 0; t0 < rows; t0 += kGroup) {
        const int64_t g = std::min(kGroup, rows - t0);
        const std::byte* r0 = first + t0 * row_stride;
        for (int64_t i = 0; i < w; i += 8) {
            __m256 sum = _mm256_loadu_ps(acc + i);
            __m256i nonzero = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(busy + i));
            const std::byte* p = r0 + i * 4;
            for (int64_t r = 0; r < g; ++r, p += row_stride) {
                const __m256 v = _mm256_loadu_ps(reinterpret_cast<const float*>(p));
                sum = _mm256_add_ps(sum, v);
                ok = _mm256_and_ps(ok, _mm256_cmp_ps(v, _mm256_round_ps(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC),
                                                     _CMP_EQ_OQ));
                sign = _mm256_or_ps(sign, v);
                nonzero = _mm256_sub_epi32(nonzero, _mm256_castps_si256(_mm256_cmp_ps(v, zero, _CMP_NEQ_UQ)));
            }
            _mm256_storeu_ps(acc + i, sum);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(busy + i), nonzero);
        }
    }
    for (int64_t i = 0; i < w; i += 8) ok = _mm256_and_ps(ok, _mm256_cmp_ps(_mm256_loadu_ps(acc + i), limit, _CMP_LT_OQ));
    return _mm256_movemask_ps(ok) == 0xff && _mm256_movemask_ps(sign) == 0;
}
#endif

inline constexpr int64_t kFloatRun = 256;  // steps of one float-lane run: its sums are checked below 2**24

// Scratch of one worker for float blocks.
struct FloatScratch {
    std::vector<double> sum;
    std::vector<float> acc;
    std::vector<uint32_t> busy;
};

// Block b of kFloatBlock neurons in doubles; false when the array needs the general way.
template <typename F>
bool float_block_doubles(const Strided& a, int64_t j0, int64_t w, FloatScratch& c) {
    std::fill(c.sum.begin(), c.sum.begin() + w, 0.0);
    std::fill(c.busy.begin(), c.busy.begin() + w, 0u);
    const std::byte* first = a.base + j0 * static_cast<int64_t>(sizeof(F));
#if defined(__x86_64__) && defined(__GNUC__)
    const bool bad = has_avx2() ? float_run_avx2<F>(first, a.strides[0], steps_of(a), w, c.sum.data(), c.busy.data())
                                : float_run<F>(first, a.strides[0], steps_of(a), w, c.sum.data(), c.busy.data());
#else
    const bool bad = float_run<F>(first, a.strides[0], steps_of(a), w, c.sum.data(), c.busy.data());
#endif
    if (bad) return false;
    for (int64_t i = 0; i < w; ++i)
        if (!(c.sum[i] < 9007199254740992.0)) return false;  // 2**53: past it a double sum may have rounded
    return true;
}

// The same in float-lane runs (float32, w a multiple of 8); false: take the double way.
#if defined(__x86_64__) && defined(__GNUC__)
inline bool float_block_lanes(const Strided& a, int64_t j0, int64_t w, FloatScratch& c) {
    const int64_t T = steps_of(a);
    std::fill(c.sum.begin(), c.sum.begin() + w, 0.0);
    std::fill(c.busy.begin(), c.busy.begin() + w, 0u);
    for (int64_t t0 = 0; t0 < T; t0 += kFloatRun) {
        const std::byte* first = a.base + t0 * a.strides[0] + j0 * 4;
        if (!whole_float_run_avx2(first, a.strides[0], std::min(kFloatRun, T - t0), w, c.acc.data(), c.busy.data()))
            return false;
        for (int64_t i = 0; i < w; ++i) c.sum[i] += static_cast<double>(c.acc[i]);
    }
    for (int64_t i = 0; i < w; ++i)
        if (!(c.sum[i] < 9007199254740992.0)) return false;
    return true;
}
#endif

// Float counts with contiguous neurons; false when the array needs the general way
// (a value that is not a count, or a sum past 2**53).
template <typename F>
bool float_totals(const Strided& a, uint64_t* sums, int threads, Share& out) {
    const int64_t T = steps_of(a), n = neurons_of(a);
    if (T >= (int64_t{1} << 32)) return false;
    std::atomic<bool> failed{false};
    auto make = [&] {
        const size_t cells = static_cast<size_t>(std::min(kFloatBlock, n));
        return FloatScratch{std::vector<double>(cells), std::vector<float>(cells), std::vector<uint32_t>(cells)};
    };
    auto block = [&](FloatScratch& c, int64_t b, Share& s) {
        if (failed.load(std::memory_order_relaxed)) return;
        const int64_t j0 = b * kFloatBlock, w = std::min(kFloatBlock, n - j0);
        bool done = false;
#if defined(__x86_64__) && defined(__GNUC__)
        if constexpr (sizeof(F) == 4)
            if (w % 8 == 0 && has_avx2()) done = float_block_lanes(a, j0, w, c);
#endif
        if (!done && !float_block_doubles<F>(a, j0, w, c)) {
            failed.store(true, std::memory_order_relaxed);
            return;
        }
        for (int64_t i = 0; i < w; ++i) {
            sums[j0 + i] = static_cast<uint64_t>(c.sum[i]);
            s.zeros += static_cast<uint64_t>(T - c.busy[i]);
            s.silent += sums[j0 + i] == 0;
            s.saturated += c.busy[i] == static_cast<uint64_t>(T);
        }
    };
    over_blocks((n + kFloatBlock - 1) / kFloatBlock, threads, out, make, block);
    return !failed.load();
}

// ---------------------------------------------------------------- any type and layout

inline constexpr double kTwo64 = 18446744073709551616.0;

template <typename L>
constexpr bool integral_loader = false;
template <typename T, bool S>
constexpr bool integral_loader<Loader<T, S>> = std::is_integral_v<T>;

template <typename L>
inline void add_value(const std::byte* p, uint64_t& sum, uint64_t& carry, uint8_t& all, uint64_t& zeros, Share& s) {
    uint64_t v = 0;
    if constexpr (std::is_same_v<L, BoolLoader>) {
        v = *reinterpret_cast<const uint8_t*>(p) != 0;
    } else if constexpr (integral_loader<L>) {
        const auto x = L::value(p);
        if constexpr (std::is_signed_v<decltype(x)>) {
            if (x < 0) s.negative = true;
        }
        v = static_cast<uint64_t>(x);
    } else {
        const double x = L::as_double(p);
        if (!(x - x == 0)) s.nonfinite = true;
        else if (x < 0) s.negative = true;
        else if (std::trunc(x) != x) s.fraction = true;
        else if (x < kTwo64) v = static_cast<uint64_t>(x);
        else if (x < kTwo64 * kTwo64) {  // whole, and past 64 bits: split exactly at 2**64
            const double high = std::floor(x / kTwo64);
            carry += static_cast<uint64_t>(high);
            v = static_cast<uint64_t>(x - high * kTwo64);
            s.overflow = true;
        } else s.huge = true;
    }
    zeros += v == 0;
    all &= static_cast<uint8_t>(v != 0);
    if (__builtin_add_overflow(sum, v, &sum)) ++carry, s.overflow = true;
}

template <typename L>
void any_slice(const Strided& a, const std::vector<int64_t>& off, int64_t begin, int64_t end, uint64_t* sums,
               uint64_t* carries, std::vector<uint8_t>& all, Share& s) {
    const int64_t T = steps_of(a);
    std::fill(sums + begin, sums + end, uint64_t{0});
    for (int64_t j0 = begin; j0 < end; j0 += static_cast<int64_t>(all.size())) {
        const int64_t w = std::min(static_cast<int64_t>(all.size()), end - j0);
        std::fill(all.begin(), all.begin() + w, uint8_t{1});
        uint64_t zeros = 0;
        for (int64_t t = 0; t < T; ++t) {
            const std::byte* row = a.base + t * a.strides[0];
            for (int64_t i = 0; i < w; ++i)
                add_value<L>(row + off[j0 + i], sums[j0 + i], carries[j0 + i], all[i], zeros, s);
        }
        s.zeros += zeros;
        for (int64_t i = 0; i < w; ++i) {
            s.silent += sums[j0 + i] == 0 && carries[j0 + i] == 0;
            s.saturated += all[i];
        }
    }
}

// Whether every per-neuron sum of `a` fits 32 bits whatever its values: bytes
// with contiguous neurons (the blocked path), fewer than 2**32 / 255 steps.
inline bool sums_fit_32(const Strided& a) {
    const bool bytes = (a.kind == NumKind::UInt || a.kind == NumKind::Bool) && a.size == 1;
    return bytes && neurons_contiguous(a) && steps_of(a) < (int64_t{1} << 32) / 255;
}

// `sums`: neurons_of(a) items; uint32 only where sums_fit_32(a).
template <typename S>
Totals count_totals(const Strided& a, S* sums, int threads = 1) {
    static_assert(std::is_same_v<S, uint64_t> || std::is_same_v<S, uint32_t>);
    Totals out;
    const int64_t n = neurons_of(a);
    if (n == 0) return out;
    if (steps_of(a) == 0) {
        std::fill(sums, sums + n, S{0});
        return out;
    }
    const bool bytes = (a.kind == NumKind::UInt || a.kind == NumKind::Bool) && a.size == 1;
    const bool fast = bytes && neurons_contiguous(a);
    // Threads when there is enough to share.
    const int64_t elements = n * steps_of(a);
    const int parts = static_cast<int>(std::clamp<int64_t>(std::min<int64_t>(threads, elements >> 20), 1,
                                                           std::max<int64_t>(1, n / 64)));
    Share share;
    if (fast) {
        if (a.kind == NumKind::Bool) byte_totals<true>(a, sums, parts, share);
        else byte_totals<false>(a, sums, parts, share);
    } else if constexpr (std::is_same_v<S, uint64_t>) {
        const bool floats = a.kind == NumKind::Float && (a.size == 4 || a.size == 8) && !a.swapped && neurons_contiguous(a);
        if (floats && (a.size == 4 ? float_totals<float>(a, sums, parts, share) : float_totals<double>(a, sums, parts, share))) {
            out.zeros = share.zeros, out.silent = share.silent, out.saturated = share.saturated;
            return out;
        }
        // Not every value a count, or a sum past 2**53: the general way, from the start.
        share = Share{};
        const std::vector<int64_t> off = neuron_offsets(a);
        out.carries.assign(static_cast<size_t>(n), 0);
        Column c;
        c.kind = a.kind, c.size = a.size, c.swapped = a.swapped;
        constexpr int64_t kRun = 1024;  // neurons at a time, so that their cells stay in cache
        over_blocks((n + kRun - 1) / kRun, parts, share, [] { return std::vector<uint8_t>(kRun); },
                    [&](std::vector<uint8_t>& all, int64_t b, Share& s) {
                        const int64_t j0 = b * kRun, j1 = std::min(n, j0 + kRun);
                        visit(c, [&]<typename L>() { any_slice<L>(a, off, j0, j1, sums, out.carries.data(), all, s); });
                    });
    }
    out.zeros = share.zeros, out.silent = share.silent, out.saturated = share.saturated;
    out.negative = share.negative, out.fraction = share.fraction, out.nonfinite = share.nonfinite;
    out.overflow = share.overflow, out.huge = share.huge;
    if (!out.overflow) out.carries.clear();
    return out;
}

// Sum over (c, y, x) of sums[(c * H + y) * W + x] * rows[y] * cols[x], exactly.
template <typename S>
unsigned __int128 tap_total(const S* sums, int64_t C, int64_t H, int64_t W, const uint64_t* rows,
                            const uint64_t* cols) {
    unsigned __int128 total = 0;
    for (int64_t ch = 0; ch < C; ++ch)
        for (int64_t y = 0; y < H; ++y) {
            const S* s = sums + (ch * H + y) * W;
            unsigned __int128 line = 0;
            for (int64_t x = 0; x < W; ++x) line += static_cast<unsigned __int128>(s[x]) * cols[x];
            total += line * rows[y];
        }
    return total;
}

// Sum of all values, exactly: sum of the low parts and, apart, of the carries (each times 2**64).
template <typename S>
unsigned __int128 grand_total(const S* sums, size_t n) {
    unsigned __int128 t = 0;
    for (size_t i = 0; i < n; ++i) t += sums[i];
    return t;
}

}  // namespace zv::kern::layer
