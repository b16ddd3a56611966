// The streaming engine (kernels/stream.hpp) as a Python class: fed file bytes
// (decoded here) or ready event records chunk by chunk, with the GIL released
// while it counts; its results come back as NumPy arrays and a dict.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "binding/args.hpp"
#include "binding/numpy.hpp"
#include "kernels/evt.hpp"
#include "kernels/stream.hpp"

namespace zv::stream {

namespace nb = nanobind;

// What the engine's results are made of, set once when the module loads:
// numpy.empty, numpy.uint8 and the event record dtype.
struct Types {
    nb::object empty, uint8, record;
};
inline Types& types() {
    static Types& t = *new Types;  // never destroyed: it would outlive the interpreter
    return t;
}

// The engine over one recording, fed by the caller chunk by chunk (file bytes
// decoded here, or ready records), with the GIL released while it counts.
class Stream {
public:
    Stream(int mode, int64_t width, int64_t height, int64_t t0, int64_t t1, int64_t period_us, int64_t lead,
           double decay_us, int64_t timeline_bin, int64_t timeline_bins, int64_t raster_bin, int64_t raster_bins,
           std::vector<std::tuple<int64_t, int64_t, int64_t>> segments, nb::object spool_path, int64_t frame_budget,
           int64_t overview_step, int64_t overview_scale, int64_t overview_budget, double gain,
           std::vector<double> palette, int64_t scale, int64_t format, nb::object state)
        : format_(static_cast<kern::evt::Format>(format)) {
        namespace st = kern::stream;
        if (mode < st::kSurvey || mode > st::kSummary) raise(PyExc_ValueError, "unknown stream mode %d", mode);
        if (width < 1 || height < 1 || width > 32767 || height > 32767)
            raise(PyExc_ValueError, "sensor size %lld x %lld out of range", (long long)width, (long long)height);
        if (period_us < 1 || lead < 0 || !(decay_us > 0) || !(gain > 0) || scale < 1 || overview_scale < 1 ||
            overview_step < 1 || timeline_bin < 1 || raster_bin < 1 || timeline_bins < 0 || raster_bins < 0 ||
            timeline_bins > (1 << 24) || raster_bins > (1 << 20) || t1 < t0 ||
            lead > (std::numeric_limits<int64_t>::max() / 4) / period_us || t0 - lead * period_us > t0)
            raise(PyExc_ValueError, "stream settings out of range");
        if (format < kern::evt::kEvt2 || format >= kern::evt::kFormatCount) raise(PyExc_ValueError, "unknown event format");
        st::Config c;
        c.mode = static_cast<st::Mode>(mode);
        c.width = width;
        c.height = height;
        c.t0 = t0;
        c.t1 = t1;
        c.period_us = period_us;
        c.lead = lead;
        c.a = std::exp(-static_cast<double>(period_us) / decay_us);
        c.timeline_bin = timeline_bin;
        c.timeline_bins = timeline_bins;
        c.raster_bin = raster_bin;
        c.raster_bins = raster_bins;
        for (auto [first, seg_lead, end] : segments) c.segments.push_back({first, seg_lead, end});
        c.frame_budget = frame_budget;
        c.overview_step = overview_step;
        c.overview_scale = overview_scale;
        c.overview_budget = overview_budget;
        c.gain = gain;
        if (palette.size() == 9)
            for (int k = 0; k < 3; ++k) {
                c.palette.background[k] = palette[k];
                c.palette.on[k] = palette[3 + k];
                c.palette.off[k] = palette[6 + k];
            }
        c.scale = scale;
        if (c.mode == st::kPage) {
            // A path as bytes (os.fsencode) reaches the file system whatever its encoding.
            const std::string path = PyBytes_Check(spool_path.ptr())
                ? std::string(PyBytes_AS_STRING(spool_path.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(spool_path.ptr())))
                : nb::cast<std::string>(nb::str(spool_path));
            spool_ = std::fopen(path.c_str(), "wb");
            if (!spool_) raise(PyExc_OSError, "cannot write the frame spool %s", path.c_str());
            c.spool = spool_;
        }
        if (!state.is_none()) {
            OutBuffer sb(state);
            if (nb::cast<std::string>(state.attr("dtype").attr("str")) != "<i8" || sb.items() != kern::evt::kStateSlots)
                raise(PyExc_ValueError, "state must be %zd int64 values", kern::evt::kStateSlots);
            std::memcpy(&state_, sb.data(), sizeof state_);
            state_array_ = state;
        }
        records_.resize(kRecords * kern::evt::kRecordSize);
        engine_.emplace(std::move(c));
    }
    ~Stream() {
        engine_.reset();  // joins the encoder before its spool closes
        if (spool_) std::fclose(spool_);
    }

    // Decodes and counts file bytes; returns (bytes used, paused): paused when
    // rendered frames wait to be taken before more can be counted.
    nb::tuple feed_bytes(nb::handle buffer) {
        BufferView data;
        data.require(buffer);
        const uint8_t* buf = static_cast<const uint8_t*>((*data).buf);
        const size_t n = static_cast<size_t>((*data).len);
        size_t used = 0;
        bool paused = false;
        // Large buffers of a pass that never pauses decode on a second thread while this one counts.
        const bool two_threads = engine_->mode() != kern::stream::kRender && pos_ == count_ && n >= kTwoThreads &&
                                 !state_.done && !state_.error;
        if (two_threads) {
            nb::gil_scoped_release release;
            used = kern::stream::decode_while_counting(format_, buf, n, state_, *engine_);
        } else {
            nb::gil_scoped_release release;
            for (;;) {
                if (pos_ < count_) {
                    pos_ += engine_->feed(records_.data() + pos_ * kern::evt::kRecordSize, count_ - pos_);
                    if (pos_ < count_) {
                        paused = true;
                        break;
                    }
                }
                pos_ = count_ = 0;
                if (used == n || state_.done || state_.error) break;
                const bool was_back = state_.back;
                const kern::evt::Progress p = kern::evt::decode(format_, buf + used, n - used, state_, records_.data(), kRecords, 0);
                // Offsets the decoder reports are within the buffer given to feed_bytes.
                if (state_.error) state_.error_at += static_cast<int64_t>(used);
                if (state_.back && !was_back) state_.back_at += static_cast<int64_t>(used);
                used += p.consumed;
                count_ = p.count;
                if (p.consumed == 0 && p.count == 0) break;  // a partial word
            }
        }
        if (state_array_.is_valid()) {  // the caller's array follows the decoder (errors, outside counts)
            OutBuffer sb(state_array_);
            std::memcpy(sb.data(), &state_, sizeof state_);
        }
        return nb::make_tuple(used, paused);
    }

    // Counts ready records (the event dtype); returns how many were used.
    size_t feed_records(nb::handle records) {
        if (!records.attr("dtype").equal(types().record)) raise(PyExc_ValueError, "records must be of the event dtype");
        BufferView data;
        data.require(records);
        const size_t n = static_cast<size_t>((*data).len) / kern::evt::kRecordSize;
        nb::gil_scoped_release release;
        return engine_->feed(static_cast<const uint8_t*>((*data).buf), n);
    }

    bool finish() {
        nb::gil_scoped_release release;
        return engine_->finish();
    }

    nb::list take_frames() {
        nb::list out;
        auto& pending = engine_->pending();
        const size_t h = engine_->out_height(), w = engine_->out_width();
        while (!pending.empty()) {
            auto& [t, rgb] = pending.front();
            nb::object arr = types().empty(nb::make_tuple(h, w, 3), types().uint8);
            OutBuffer ob(arr);
            std::memcpy(ob.data(), rgb.data(), rgb.size());
            out.append(nb::make_tuple(t, arr));
            pending.pop_front();
        }
        return out;
    }

    // The pass's results; the overview images move out of the engine (they can be most of a page).
    nb::dict result() {
        auto& e = *engine_;
        nb::dict d;
        d["have_events"] = e.have_events();
        d["t_first"] = e.t_first();
        d["t_last"] = e.t_last();
        d["event_count"] = e.count();
        d["on_count"] = e.on_count();
        d["max_x"] = e.max_x();
        d["max_y"] = e.max_y();
        d["beyond"] = e.beyond();
        d["outside"] = e.outside();
        const auto& f = e.first_outside();
        d["first_outside"] = nb::make_tuple(f.x, f.y, f.t, f.on ? 1 : -1);
        d["peak_10ms"] = e.peak_10ms();
        if (const auto* tl = e.timeline()) {
            std::vector<uint32_t> on(tl->bins()), off(tl->bins());
            for (size_t i = 0; i < tl->bins(); ++i) on[i] = tl->at(0, i), off[i] = tl->at(1, i);
            d["timeline"] = nb::make_tuple(numpy_copy(types().empty, on.data(), on.size(), "<u4"),
                                           numpy_copy(types().empty, off.data(), off.size(), "<u4"));
        }
        if (const auto* r = e.raster()) {
            std::vector<uint32_t> counts(r->rows() * r->bins());
            for (size_t y = 0; y < r->rows(); ++y)
                for (size_t i = 0; i < r->bins(); ++i) counts[y * r->bins() + i] = r->at(y, i);
            d["raster"] = numpy_copy(types().empty, counts.data(), counts.size(), "<u4");
        }
        if (const auto* px = e.pixels())
            d["pixels"] = nb::make_tuple(numpy_copy(types().empty, px->on().data(), px->on().size(), "<u4"),
                                         numpy_copy(types().empty, px->off().data(), px->off().size(), "<u4"));
        if (const auto* enc = e.encoder()) {
            nb::list accepted;
            for (auto [seg, len] : enc->accepted()) accepted.append(nb::make_tuple(seg, len));
            d["frames"] = accepted;
            d["frame_bytes"] = enc->bytes();
            d["spool_failed"] = enc->failed();
            nb::list images;
            for (std::string& s : e.overview_images()) {
                images.append(nb::str(s.data(), s.size()));
                std::string().swap(s);
            }
            d["overview"] = nb::make_tuple(e.overview_step(), e.overview_width(), e.overview_height(), images);
        }
        return d;
    }

private:
    static constexpr size_t kRecords = 1 << 16;
    static constexpr size_t kTwoThreads = 1 << 18;  // bytes: below this a second thread costs more than it saves
    kern::evt::Format format_;
    kern::evt::State state_{};
    nb::object state_array_;
    std::vector<uint8_t> records_;
    size_t pos_ = 0, count_ = 0;
    std::FILE* spool_ = nullptr;
    std::optional<kern::stream::Engine> engine_;
};

}  // namespace zv::stream
