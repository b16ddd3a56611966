// The full spike raster in one pass: a neuron for every pixel of the events'
// own sensor.
//
// The full raster's sensor is the largest x and y plus one, so the plain order
// is a pass for the sensor and then a pass that bins. Here a sample of the
// records gives a sensor the true one is at least as large as, and one pass
// bins straight into the raster of that sensor (record_raster.hpp's band, one
// band cell a neuron) while it takes the extremes of x and y. When they show
// that the sampled sensor was the events' own and no x is negative, that
// raster is the two passes' raster, cell for cell. Otherwise the pass names
// the sensor it found, and the caller bins again on it (a negative x: as
// before, since a negative x reaches the row above).
//
// Contract: records as raster_records takes them; `out` a zeroed float32
// raster (bins, width * height) of the guess. Counts are exact: in float32
// while no count can pass 2**24, else in uint32 in the same cells, converted
// in place to float32 (rounded to nearest, as the counting cells of
// binning.hpp round) when the raster stands. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "kernels/binning.hpp"
#include "kernels/record_raster.hpp"

namespace zv::kern {

namespace full_raster {

// Enough records that a sensor edge with one event in 2,000 is missed about
// once in 3,600 rasters; they cost a few microseconds.
constexpr size_t kSamples = 16384;
// Larger rasters keep the plain order, so that a refused allocation names the
// true shape.
constexpr uint64_t kMostCells = uint64_t{1} << 28;

// The sensor the raster is counted on first; none when the one pass does not
// apply (other columns, a sampled sensor without pixels, or a raster that big).
inline std::optional<records::Extent> guess(const EventColumns& ev, int64_t bins) {
    const std::optional<RasterRecords> r = raster_records(ev, bins);
    if (!r || bins < 1) return std::nullopt;
    const records::Extent e = with_record_types(*r, [&]<typename T, typename C>() {
        return records::sampled_extent<C>(r->layout, ev.n, kSamples);
    });
    if (e.width < 1 || e.height < 1) return std::nullopt;
    const uint64_t plane = static_cast<uint64_t>(e.width) * static_cast<uint64_t>(e.height);
    if (plane >= (uint64_t{1} << 31) || plane * static_cast<uint64_t>(bins) > kMostCells) return std::nullopt;
    return e;
}

// Whether the pass's raster on `guess` is the full raster.
inline bool stands(const records::Seen& s, const records::Extent& guess) {
    return s.x_lo >= 0 && s.x_hi + 1 == guess.width && s.y_hi + 1 == guess.height;
}

// The sensor the pass found, when binning again on it gives the full raster
// (no negative x).
inline std::optional<records::Extent> found(const records::Seen& s) {
    if (s.x_lo < 0) return std::nullopt;
    return records::Extent{s.x_hi + 1, s.y_hi + 1};
}

// uint32 counts to float32 in place, cell by cell (each cell read before it is written).
inline void counts_to_float(std::byte* cells, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t c;
        std::memcpy(&c, cells + 4 * i, 4);
        const float f = static_cast<float>(c);
        std::memcpy(cells + 4 * i, &f, 4);
    }
}

// Bins every event into `out`, the zeroed raster of `guess`; the extremes seen.
inline records::Seen count(const EventColumns& ev, int64_t bins, const records::Extent& guess, float* out) {
    const RasterRecords r = *raster_records(ev, bins);
    const records::Band band{static_cast<uint64_t>(guess.height), static_cast<uint64_t>(guess.width)};
    return with_record_types(r, [&]<typename T, typename C>() {
        if (ev.n <= FloatCells::kExactLimit) return records::band_all<T, C, float>(r.layout, ev.n, bins, band, out);
        std::byte* cells = reinterpret_cast<std::byte*>(out);
        const records::Seen s =
            records::band_all<T, C, uint32_t>(r.layout, ev.n, bins, band, reinterpret_cast<uint32_t*>(cells));
        if (stands(s, guess)) counts_to_float(cells, static_cast<size_t>(band.cells() * static_cast<uint64_t>(bins)));
        return s;
    });
}

}  // namespace full_raster

}  // namespace zv::kern
