// The streaming engines (kernels/stream/engines.hpp) as one Python class: made
// for a job by name with a dict of settings, fed file bytes (decoded here) or
// ready event records chunk by chunk with the GIL released while it counts;
// its results come back as NumPy arrays and a dict.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "binding/args.hpp"
#include "binding/filter_settings.hpp"
#include "binding/health.hpp"
#include "binding/numpy.hpp"
#include "kernels/evt.hpp"
#include "kernels/filter_stage.hpp"
#include "kernels/stream/engines.hpp"
#include "kernels/stream/two_threads.hpp"

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

namespace st = kern::stream;

// The jobs, by the names the caller gives them.
inline constexpr const char* kJobs[] = {"survey", "summary", "page", "render"};

// A job's settings as a dict read into the engine's Config: the names of its
// fields, with decay_us (the decay's time constant), palette (9 numbers:
// background, ON, OFF) and spool_path (str or bytes) besides. A missing name
// keeps its default; an unknown one is refused.
struct Settings {
    st::Config config;
    double decay_us = 30000.0;
    nb::object spool_path = nb::none();
};

inline int64_t setting_int(nb::handle name, nb::handle value) {
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) refuse(nb::str(name).c_str(), "int", value);
    nb::object i = checked(PyNumber_Index(value.ptr()));
    const long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) rethrow();
    return v;
}

inline double setting_float(nb::handle name, nb::handle value) {
    if (PyBool_Check(value.ptr()) || !(PyFloat_Check(value.ptr()) || PyIndex_Check(value.ptr())))
        refuse(nb::str(name).c_str(), "float", value);
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1 && PyErr_Occurred()) rethrow();
    return v;
}

inline Settings read_settings(nb::handle settings) {
    if (!PyDict_Check(settings.ptr())) refuse("settings", "dict", settings);
    using Field = int64_t st::Config::*;
    static constexpr std::pair<const char*, Field> kInts[] = {
        {"width", &st::Config::width},
        {"height", &st::Config::height},
        {"t0", &st::Config::t0},
        {"t1", &st::Config::t1},
        {"period_us", &st::Config::period_us},
        {"lead", &st::Config::lead},
        {"timeline_bin", &st::Config::timeline_bin},
        {"timeline_bins", &st::Config::timeline_bins},
        {"raster_bin", &st::Config::raster_bin},
        {"raster_bins", &st::Config::raster_bins},
        {"frame_budget", &st::Config::frame_budget},
        {"overview_step", &st::Config::overview_step},
        {"overview_scale", &st::Config::overview_scale},
        {"overview_budget", &st::Config::overview_budget},
        {"scale", &st::Config::scale},
        {"frames_only", &st::Config::frames_only},
    };
    Settings s;
    st::Config& c = s.config;
    for (auto [key, value] : nb::borrow<nb::dict>(settings)) {
        if (!PyUnicode_Check(key.ptr())) raise(PyExc_ValueError, "unknown stream setting %R", key.ptr());
        const std::string name = nb::cast<std::string>(key);
        bool known = false;
        for (auto [n, field] : kInts)
            if (name == n) c.*field = setting_int(key, value), known = true;
        if (known) continue;
        if (name == "decay_us") {
            s.decay_us = setting_float(key, value);
        } else if (name == "gain") {
            c.gain = setting_float(key, value);
        } else if (name == "segments") {
            for (auto [first, lead, end] : nb::cast<std::vector<std::tuple<int64_t, int64_t, int64_t>>>(value))
                c.segments.push_back({first, lead, end});
        } else if (name == "palette") {
            const auto palette = nb::cast<std::vector<double>>(value);
            if (palette.size() == 9)
                for (int k = 0; k < 3; ++k) {
                    c.palette.background[k] = palette[k];
                    c.palette.on[k] = palette[3 + k];
                    c.palette.off[k] = palette[6 + k];
                }
        } else if (name == "spool_path") {
            s.spool_path = nb::borrow(value);
        } else {
            raise(PyExc_ValueError, "unknown stream setting %R", key.ptr());
        }
    }
    return s;
}

// The settings every job needs in range, and the ones its frames need.
inline void check_settings(const Settings& s) {
    const st::Config& c = s.config;
    if (c.width < 1 || c.height < 1 || c.width > 32767 || c.height > 32767)
        raise(PyExc_ValueError, "sensor size %lld x %lld out of range", (long long)c.width, (long long)c.height);
    if (c.period_us < 1 || c.lead < 0 || !(s.decay_us > 0) || !(c.gain > 0) || c.scale < 1 || c.overview_scale < 1 ||
        c.overview_step < 1 || c.timeline_bin < 1 || c.raster_bin < 1 || c.timeline_bins < 0 || c.raster_bins < 0 ||
        c.timeline_bins > (1 << 24) || c.raster_bins > (1 << 20) || c.t1 < c.t0 ||
        c.lead > (std::numeric_limits<int64_t>::max() / 4) / c.period_us || c.t0 - c.lead * c.period_us > c.t0)
        raise(PyExc_ValueError, "stream settings out of range");
}

// The engine over one recording, fed by the caller chunk by chunk (file bytes
// decoded here, or ready records), with the GIL released while it counts.
class Stream {
    using Engine = std::variant<std::monostate, st::SurveyEngine, st::SummaryEngine, st::PageEngine, st::RenderEngine>;

public:
    Stream(const std::string& job, nb::handle settings, int64_t format, nb::object state)
        : format_(static_cast<kern::evt::Format>(format)) {
        if (std::find_if(std::begin(kJobs), std::end(kJobs), [&](const char* j) { return job == j; }) == std::end(kJobs))
            raise(PyExc_ValueError, "unknown stream job %s", job.c_str());
        Settings s = read_settings(settings);
        check_settings(s);
        if (format < kern::evt::kEvt2 || format >= kern::evt::kFormatCount) raise(PyExc_ValueError, "unknown event format");
        st::Config& c = s.config;
        c.a = std::exp(-static_cast<double>(c.period_us) / s.decay_us);
        if (job == "page") {
            // A path as bytes (os.fsencode) reaches the file system whatever its encoding.
            nb::handle p = s.spool_path;
            const std::string path = PyBytes_Check(p.ptr())
                ? std::string(PyBytes_AS_STRING(p.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(p.ptr())))
                : nb::cast<std::string>(nb::str(p));
            spool_ = open_spool(path);
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
        if (job == "survey") engine_.emplace<st::SurveyEngine>(std::move(c));
        else if (job == "summary") engine_.emplace<st::SummaryEngine>(std::move(c));
        else if (job == "page") engine_.emplace<st::PageEngine>(std::move(c));
        else engine_.emplace<st::RenderEngine>(std::move(c));
    }
    ~Stream() {
        engine_.emplace<std::monostate>();  // joins a page's encoder before its spool closes
        if (spool_) std::fclose(spool_);
    }

private:
    // The spool is a file made empty beside the page: opened without O_TRUNC, because ext4 writes
    // a truncated file back to disk as it closes (90 MB for an HD page's frames, which are read
    // back and deleted). One that a pass before wrote is emptied first.
    static std::FILE* open_spool(const std::string& path) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) return nullptr;
        struct stat st{};
        std::FILE* f = nullptr;
        if (::fstat(fd, &st) == 0 && (st.st_size == 0 || ::ftruncate(fd, 0) == 0)) f = ::fdopen(fd, "wb");
        if (!f) ::close(fd);
        return f;
    }

    // `f` applied to the engine (the constructor either makes one or raises; close() lets it go).
    template <typename F>
    auto visit(F&& f) {
        return std::visit(
            [&](auto& e) -> decltype(f(std::get<st::SurveyEngine>(engine_))) {
                if constexpr (std::is_same_v<std::decay_t<decltype(e)>, std::monostate>)
                    throw std::logic_error("the pass is closed");
                else return f(e);
            },
            engine_);
    }

    size_t feed(const uint8_t* records, size_t n) {
        return visit([&](auto& e) { return e.feed(records, n); });
    }

    // What decoded records meet before the engine counts them: the health and sample, the raw
    // frames, then the filters, which keep the survivors at the front; returns how many to count.
    size_t before_engine(uint8_t* records, size_t n) {
        inspect_records(records, n);
        if (raw_wanted_) feed_raw(records, n);
        return filter_ ? filter_->apply(records, n) : n;
    }

    // The raw frames take the records before raw_end_ while their frames have room; times rise
    // (the caller's rule), so from the first record at raw_end_ or after they take none.
    void feed_raw(const uint8_t* records, size_t n) {
        size_t m = 0;
        for (int64_t t; m < n; ++m) {
            std::memcpy(&t, records + m * kern::evt::kRecordSize + 4, 8);
            if (t >= raw_end_) break;
        }
        if (m) raw_->feed(records, m);
        if (m < n || raw_->frames_full()) raw_wanted_ = false;
    }

    void inspect_records(const uint8_t* records, size_t n) {
        if (!health_) return;
        constexpr size_t kAhead = 16;
        for (size_t i = 0; i < n; ++i) {
            if (i + kAhead < n) {
                const st::Event a = st::read_record(records + (i + kAhead) * kern::evt::kRecordSize);
                health_->prefetch(a.x, a.y);
            }
            const st::Event e = st::read_record(records + i * kern::evt::kRecordSize);
            health_->add(e.x, e.y, e.t);
            sample_->add(e.x, e.y, e.t, e.on);
        }
        if (thinned_bytes_ && sample_->step() > 1) {
            std::get<st::PageEngine>(engine_).lower_frame_budget(thinned_bytes_);
            thinned_bytes_ = 0;
        }
    }

public:
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
        const bool two_threads = !std::holds_alternative<st::RenderEngine>(engine_) && pos_ == count_ && n >= kTwoThreads &&
                                 !state_.done && !state_.error;
        if (two_threads) {
            nb::gil_scoped_release release;
            used = visit([&](auto& e) {
                if (!health_ && !filter_ && !raw_wanted_) return st::decode_while_counting(format_, buf, n, state_, e, two_thread_records_);
                // The health, the sample, the raw frames and the filters on the decoding thread,
                // beside the counting one.
                return st::decode_while_counting(format_, buf, n, state_, e, two_thread_records_, [this](uint8_t* r, size_t k) {
                    return before_engine(r, k);
                });
            });
        } else {
            nb::gil_scoped_release release;
            for (;;) {
                if (pos_ < count_) {
                    pos_ += feed(records_.data() + pos_ * kern::evt::kRecordSize, count_ - pos_);
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
                count_ = before_engine(records_.data(), p.count);
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
        if (filter_) raise(PyExc_ValueError, "a filtered pass is fed file bytes");
        BufferView data;
        data.require(records);
        const size_t n = static_cast<size_t>((*data).len) / kern::evt::kRecordSize;
        nb::gil_scoped_release release;
        inspect_records(static_cast<const uint8_t*>((*data).buf), n);
        return feed(static_cast<const uint8_t*>((*data).buf), n);
    }

    // True once the engine is done; a page's spool then holds every frame it accepted, so that
    // the page can be written from it before this pass is closed.
    bool finish() {
        nb::gil_scoped_release release;
        const bool done = visit([](auto& e) { return e.finish(); });
        if (done && spool_) std::fflush(spool_);
        return done;
    }

    // Ends the pass: its engine, tables and spool are let go without the GIL (a page's tables are
    // hundreds of megabytes, tens of milliseconds to give back), so another thread can go on with
    // the page meanwhile. Only the results already taken remain.
    void close() {
        {
            nb::gil_scoped_release release;
            engine_.emplace<std::monostate>();  // joins a page's encoder before its spool closes
            health_.reset();
            sample_.reset();
            filter_.reset();
            std::vector<uint8_t>().swap(records_);
            two_thread_records_ = st::RecordBuffers();
        }
        if (spool_) std::fclose(spool_);
        spool_ = nullptr;
    }

    // The page pass also gathers the recording's health on a width x height sensor and the
    // space-time sample of [t0, t1) (at most `cap` points), from every record it is given or
    // decodes, before the page counts it: the health check's pass folded into this one. Once the
    // sample thins it keeps more than cap / 2 points to the end: the frames' budget is then
    // `thinned` bytes smaller (what that many points take at least, beyond what it was planned with).
    void inspect(int64_t width, int64_t height, int64_t t0, int64_t t1, int64_t cap, int64_t thinned) {
        if (!std::holds_alternative<st::PageEngine>(engine_)) raise(PyExc_ValueError, "only a page pass inspects");
        if (thinned < 0) raise(PyExc_ValueError, "thinned must be at least 0");
        thinned_bytes_ = thinned;
        health_.emplace(width, height);
        sample_.emplace(t0, t1, static_cast<size_t>(std::max<int64_t>(cap, 1)));
    }

    // The noise filters between the decoder and the engine (see filters.py for the arguments):
    // the engine counts the survivors of the file bytes it is fed.
    void filter(int64_t width, int64_t height, nb::handle denoise, nb::handle refractory, const std::vector<int64_t>& hot,
                int64_t denoise_width, int64_t denoise_height, int64_t bin_start, int64_t bin_us, int64_t bins) {
        filter_.emplace(filter_binding::settings(width, height, denoise, refractory, hot, denoise_width, denoise_height),
                        bin_start, bin_us, bins);
    }

    // Another page pass that counts the raw frames: it is given the decoded records before the
    // filters, those before `end`, while its frames have room. For files whose times rise.
    void raw_frames(nb::handle other, int64_t end) {
        Stream& raw = nb::cast<Stream&>(other);
        if (&raw == this || !std::holds_alternative<st::PageEngine>(raw.engine_))
            raise(PyExc_ValueError, "raw frames are counted by another page pass");
        raw_ = &raw;
        raw_ref_ = nb::borrow(other);
        raw_end_ = end;
        raw_wanted_ = true;
    }

    nb::dict filter_counts() const {
        if (!filter_) raise(PyExc_ValueError, "this pass has no filters");
        return filter_binding::counts_of(filter_->counts());
    }

    nb::bytes filter_removed() const {
        if (!filter_) raise(PyExc_ValueError, "this pass has no filters");
        const std::vector<uint32_t>& r = filter_->removed();
        return nb::bytes(reinterpret_cast<const char*>(r.data()), r.size() * sizeof(uint32_t));
    }

    // Whether a page's frames have spent their budget: no frame after this one is kept.
    bool frames_full() const {
        const auto* page = std::get_if<st::PageEngine>(&engine_);
        return page && page->encoder().full();
    }

    nb::list take_frames() {
        nb::list out;
        auto* render = std::get_if<st::RenderEngine>(&engine_);
        if (!render) return out;
        auto& pending = render->pending();
        const size_t h = render->out_height(), w = render->out_width();
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
        nb::dict d = visit([](auto& e) { return results(e); });
        if (health_) {
            d["health"] = health::result_of(*health_);
            d["xyt"] = health::sample_of(*sample_, [](const auto& v, const char* dtype) {
                return numpy_copy(types().empty, v.data(), v.size(), dtype);
            });
        }
        return d;
    }

private:
    template <typename E>
    static nb::dict results(E& e) {
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
        d["gaps"] = e.gaps();
        d["backwards"] = e.backwards();
        if constexpr (std::is_base_of_v<st::Tallied, E>) {
            const st::TimeBins& tl = e.timeline();
            std::vector<uint32_t> on(tl.bins()), off(tl.bins());
            for (size_t i = 0; i < tl.bins(); ++i) on[i] = tl.at(0, i), off[i] = tl.at(1, i);
            d["timeline"] = nb::make_tuple(numpy_copy(types().empty, on.data(), on.size(), "<u4"),
                                           numpy_copy(types().empty, off.data(), off.size(), "<u4"));
            const st::TimeBins& r = e.raster();
            std::vector<uint32_t> counts(r.rows() * r.bins());
            for (size_t y = 0; y < r.rows(); ++y)
                for (size_t i = 0; i < r.bins(); ++i) counts[y * r.bins() + i] = r.at(y, i);
            d["raster"] = numpy_copy(types().empty, counts.data(), counts.size(), "<u4");
            const st::PixelCounts& px = e.pixels();
            d["pixels"] = nb::make_tuple(numpy_copy(types().empty, px.on().data(), px.on().size(), "<u4"),
                                         numpy_copy(types().empty, px.off().data(), px.off().size(), "<u4"));
        }
        if constexpr (std::is_same_v<E, st::PageEngine>) {
            const st::FrameEncoder& enc = e.encoder();
            nb::list accepted;
            for (auto [seg, len] : enc.accepted()) accepted.append(nb::make_tuple(seg, len));
            d["frames"] = accepted;
            std::vector<int64_t> through, wanted;
            for (auto [bytes, reserve] : enc.asks()) through.push_back(bytes), wanted.push_back(reserve);
            d["frame_asks"] = nb::make_tuple(numpy_copy(types().empty, through.data(), through.size(), "<i8"),
                                             numpy_copy(types().empty, wanted.data(), wanted.size(), "<i8"));
            d["frame_bytes"] = enc.bytes();
            d["frame_peak"] = enc.peak();
            d["frames_refused"] = enc.full();
            d["spool_failed"] = enc.failed();
            nb::list images;
            for (std::string& s : e.overview_images()) {
                images.append(nb::str(s.data(), s.size()));
                std::string().swap(s);
            }
            d["overview"] = nb::make_tuple(e.overview_step(), e.overview_width(), e.overview_height(), images);
        }
        return d;
    }

    static constexpr size_t kRecords = 1 << 16;
    static constexpr size_t kTwoThreads = 1 << 18;  // bytes: below this a second thread costs more than it saves
    kern::evt::Format format_;
    kern::evt::State state_{};
    nb::object state_array_;
    std::vector<uint8_t> records_;
    st::RecordBuffers two_thread_records_;
    size_t pos_ = 0, count_ = 0;
    std::FILE* spool_ = nullptr;
    std::optional<kern::HealthCheck> health_;
    std::optional<kern::XytSample> sample_;
    int64_t thinned_bytes_ = 0;  // the frames' budget less this once the sample thins
    std::optional<kern::FilterStage> filter_;
    Stream* raw_ = nullptr;  // the raw frames' pass, kept alive by raw_ref_
    nb::object raw_ref_;
    int64_t raw_end_ = 0;
    bool raw_wanted_ = false;
    Engine engine_;
};

}  // namespace zv::stream
