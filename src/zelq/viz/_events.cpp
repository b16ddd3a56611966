// zelq.viz._events: recording files to event records, and what is read from them.
//
// The decoders (kernels/evt.hpp), time seek (kernels/evt_index.hpp), the
// streaming engine (binding/stream.hpp) and file summaries
// (kernels/file_summary.hpp), bound for the recording readers, the recording
// page and the dataset summaries. Frame stacks for the spike page are here too.

#include <Python.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "binding/aedat4.hpp"
#include "binding/args.hpp"
#include "binding/event_fields.hpp"
#include "binding/frame_stack.hpp"
#include "binding/numpy.hpp"
#include "binding/png_text.hpp"
#include "binding/py.hpp"
#include "binding/stream.hpp"
#include "binding/whole_reads.hpp"
#include "kernels/class_colours.hpp"
#include "kernels/palettes.hpp"
#include "kernels/evt.hpp"
#include "kernels/evt_count.hpp"
#include "kernels/evt_index.hpp"
#include "kernels/evt_segments.hpp"
#include "kernels/file_summary.hpp"
#include "kernels/memory.hpp"
#include "kernels/threads.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zv;

namespace {

nb::object& g_record = *new nb::object;  // the event record dtype (never destroyed)
nb::object& g_empty = *new nb::object;   // numpy.empty
nb::object& g_uint8 = *new nb::object;   // numpy.uint8
nb::object& g_io = *new nb::object;      // the host's io module
nb::handle g_module;                     // this module

// The spike page's rules, for the readers, filters and the recording page:
// field roles, sensor size and images as PNG.
nb::object get_event_fields(const Args& a) { return event_fields::roles(a[0]); }
nb::object detect_sensor_size(const Args& a) { return event_fields::sensor_size(g_module.attr("_get_event_fields"), a[0]); }
nb::object encode_image_base64(const Args& a) { return png_text::encode_image(g_io, g_uint8, a[0], false); }

// ---------------------------------------------------------------- decoders

// The decoder named by argument 0, refused when it is not one of ours.
static long long format_arg(const Args& a) {
    const long long format = a.integer(0);
    if (format < 0 || format >= kern::evt::kFormatCount) raise(PyExc_ValueError, "unknown event format %lld", format);
    return format;
}

// A decoder's state array: exactly its slots, as little-endian int64.
static void check_state(nb::handle array, OutBuffer& buf) {
    if (nb::cast<std::string>(array.attr("dtype").attr("str")) != "<i8" || buf.items() != kern::evt::kStateSlots)
        raise(PyExc_ValueError, "state must be %zd int64 values", kern::evt::kStateSlots);
}

// One chunk of a recording file decoded into the record array `out` from
// index `count` on. `state` is the decoder's int64 state array, updated in
// place, so the next call continues where this one stopped; returns
// (records now in out, bytes consumed). A full `out` stops early.
nb::object decode_events(const Args& a) {
    namespace evt = kern::evt;
    const long long format = format_arg(a);
    BufferView data;
    data.require(a[1]);
    OutBuffer state_buf(a[2]);
    check_state(a[2], state_buf);
    if (!a[3].attr("dtype").equal(g_record)) raise(PyExc_ValueError, "out must be a record array of the event dtype");
    OutBuffer out(a[3]);
    const long long count = a.integer(4);
    const size_t cap = out.items();
    if (count < 0 || static_cast<size_t>(count) > cap) raise(PyExc_ValueError, "count %lld lies outside out", count);
    evt::State state;
    std::memcpy(&state, state_buf.data(), sizeof state);
    evt::Progress done;
    {
        nb::gil_scoped_release release;
        done = evt::decode(static_cast<evt::Format>(format), static_cast<const uint8_t*>((*data).buf),
                           static_cast<size_t>((*data).len), state, static_cast<uint8_t*>(out.data()), cap,
                           static_cast<size_t>(count));
    }
    std::memcpy(state_buf.data(), &state, sizeof state);
    return nb::make_tuple(done.count, done.consumed);
}


nb::object most_events(const Args& a) {
    namespace evt = kern::evt;
    const long long format = format_arg(a);
    BufferView data;
    data.require(a[1]);
    uint64_t n;
    {
        nb::gil_scoped_release release;
        n = evt::most_events(static_cast<evt::Format>(format), static_cast<const uint8_t*>((*data).buf),
                             static_cast<size_t>((*data).len));
    }
    return nb::int_(n);
}

// Whether the EVT 2.0, EVT 3.0 and DAT fast loops use AVX2 where the CPU has it; returns the
// setting before. Off: the one-word loops alone, which must give the same records.
nb::object evt_avx2(const Args& a) {
    return nb::bool_(kern::evt::avx2_allowed().exchange(a.truth(0)));
}

// Pages of out's records [start, stop) backed now (small pages asked for over all of
// out first when `small`), with the GIL released: a thread takes a whole read's page
// faults ahead of its decoder. False where the kernel cannot.
nb::object populate_records(const Args& a) {
    if (!a[0].attr("dtype").equal(g_record)) raise(PyExc_ValueError, "out must be a record array of the event dtype");
    OutBuffer out(a[0]);
    const long long start = a.integer(1), stop = a.integer(2);
    if (start < 0 || stop < start || static_cast<size_t>(stop) > out.items())
        raise(PyExc_ValueError, "records %lld to %lld lie outside out", start, stop);
    uint8_t* base = static_cast<uint8_t*>(out.data()) + static_cast<size_t>(start) * kern::evt::kRecordSize;
    const size_t n = static_cast<size_t>(stop - start) * kern::evt::kRecordSize;
    bool done;
    {
        nb::gil_scoped_release release;
        if (a.truth(3)) kern::prefer_small_pages(out.data(), out.items() * kern::evt::kRecordSize);
        done = kern::populate_pages(base, n);
    }
    return nb::bool_(done);
}

// ---------------------------------------------------------------- file summaries

// ON and OFF counts of two uint32 pixel arrays, read in place, as the summaries' rules take them.
struct PixelArrays {
    const uint32_t *on_, *off_;
    size_t n_;
    uint32_t on(size_t i) const { return on_[i]; }
    uint32_t off(size_t i) const { return off_[i]; }
    size_t pixels() const { return n_; }
};

// The thumbnail of ON and OFF pixel counts (C-contiguous uint32 arrays of one
// (height, width) shape), drawn as a file summary draws it.
nb::object thumbnail(const Args& a) {
    py::Buffer on, off;
    on.require(a[0], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_ND);
    off.require(a[1], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_ND);
    const Py_buffer &v = *on, &u = *off;
    auto is_u4 = [](const Py_buffer& b) {
        const char* f = b.format ? b.format : "B";
        if (*f == '<' || *f == '=' || *f == '@') ++f;
        return b.itemsize == 4 && (std::string_view(f) == "I" || std::string_view(f) == "L");
    };
    if (v.ndim != 2 || u.ndim != 2 || v.shape[0] != u.shape[0] || v.shape[1] != u.shape[1] || !is_u4(v) || !is_u4(u))
        raise(PyExc_ValueError, "on and off must be uint32 arrays of one (height, width) shape");
    const size_t height = static_cast<size_t>(v.shape[0]), width = static_cast<size_t>(v.shape[1]);
    const PixelArrays px{static_cast<const uint32_t*>(v.buf), static_cast<const uint32_t*>(u.buf), width * height};
    thread_local kern::stream::PngWriter png;
    std::string text;
    {
        nb::gil_scoped_release release;
        text = kern::file_summary::thumbnail(px, width, height, png);
    }
    return nb::str(text.data(), text.size());
}

// One native recording file's summary (dataset overviews): the header's facts
// in, the engine's counts, hot pixels and thumbnail out, the GIL released for
// the whole pass. Each thread keeps its decode buffers from file to file.
nb::object summarize_file(const Args& a) {
    namespace fs = kern::file_summary;
    const long long format = a.integer(0);
    if (format < kern::evt::kEvt2 || format >= kern::evt::kFormatCount) raise(PyExc_ValueError, "unknown event format");
    BufferView head;
    head.require(a[1]);
    if (!PyBytes_Check(a[2].ptr())) raise(PyExc_TypeError, "path must be bytes (os.fsencode)");
    fs::Request r;
    r.format = static_cast<kern::evt::Format>(format);
    r.path = PyBytes_AS_STRING(a[2].ptr());
    r.head = static_cast<const uint8_t*>((*head).buf);
    r.head_size = static_cast<size_t>((*head).len);
    r.offset = a.integer(3);
    r.size = a.integer(4);
    r.t0 = a.integer(5);
    r.width = a.integer(6);
    r.height = a.integer(7);
    if (r.offset < 0 || r.width < 0 || r.height < 0 || r.width > 32767 || r.height > 32767)
        raise(PyExc_ValueError, "file summary settings out of range");
    thread_local fs::FileSummarizer summarizer;
    fs::Summary s;
    {
        nb::gil_scoped_release release;
        s = summarizer.summarize(r);
    }
    nb::dict d;
    d["state"] = numpy_copy(g_empty, reinterpret_cast<const int64_t*>(&s.state), kern::evt::kStateSlots, "<i8");
    d["error_pos"] = s.error_pos;
    d["errno"] = s.read_errno;
    d["cut"] = s.cut < 0 ? nb::none() : nb::cast(s.cut);
    d["width"] = s.width;
    d["height"] = s.height;
    d["have_events"] = s.have_events;
    d["t_first"] = s.t_first;
    d["t_last"] = s.t_last;
    d["event_count"] = s.count;
    d["on_count"] = s.on_count;
    d["peak_10ms"] = s.peak_10ms;
    d["gaps"] = s.gaps;
    d["backwards"] = s.backwards;
    d["outside"] = s.outside;
    const auto& f = s.first_outside;
    d["first_outside"] = nb::make_tuple(f.x, f.y, f.t, f.on ? 1 : -1);
    nb::list hot;
    for (const fs::HotPixel& p : s.hot) hot.append(nb::make_tuple(p.x, p.y, p.on, p.off));
    d["hot_pixels"] = hot;
    d["hot_count"] = s.hot_count;
    d["thumbnail"] = nb::str(s.thumbnail.data(), s.thumbnail.size());
    return d;
}

// Where to start decoding an EVT 2.0/2.1/3.0 data buffer (the words after the
// header) so that no event at or after `target` (µs on the file's own clock) is
// skipped: (byte offset of a time-high word, the decoder's loops there).
nb::object evt_seek(const Args& a) {
    namespace evt = kern::evt;
    const long long format = a.integer(0);
    if (format < evt::kEvt2 || format > evt::kEvt3) raise(PyExc_ValueError, "not an EVT format %lld", format);
    BufferView data;
    data.require(a[1]);
    const long long target = a.integer(2);
    const auto* buf = static_cast<const uint8_t*>((*data).buf);
    const auto done = whole_reads::drop_mapped_pages(a[1], buf);
    kern::evt_index::Seek at;
    {
        nb::gil_scoped_release release;
        at = kern::evt_index::seek(static_cast<evt::Format>(format), buf, static_cast<size_t>((*data).len), target,
                                   done);
    }
    return nb::make_tuple(at.offset, at.loops);
}

// The last time-high word of an EVT data buffer: (byte offset, unwrapped counter
// value), or None when there is none.
nb::object evt_last_high(const Args& a) {
    namespace evt = kern::evt;
    const long long format = a.integer(0);
    if (format < evt::kEvt2 || format > evt::kEvt3) raise(PyExc_ValueError, "not an EVT format %lld", format);
    BufferView data;
    data.require(a[1]);
    const size_t n = static_cast<size_t>((*data).len);
    const auto* buf = static_cast<const uint8_t*>((*data).buf);
    const auto done = whole_reads::drop_mapped_pages(a[1], buf);
    kern::evt_index::Index::Probe last;
    {
        nb::gil_scoped_release release;
        last = kern::evt_index::last_high(static_cast<evt::Format>(format), buf, n, done);
    }
    const auto clock = kern::evt_index::clock_of(static_cast<evt::Format>(format));
    if (last.at >= n - n % clock.word) return nb::none();
    const int64_t raw = kern::evt_index::raw_high(static_cast<evt::Format>(format), buf + last.at);
    return nb::make_tuple(last.at, last.high, (last.high - raw) << clock.low_bits);
}

// ---------------------------------------------------------------- module

// The decoders' tables, so that Python callers hold no copy of them: the formats
// (name, word bytes, most records per word, x range, y range) by format number,
// the state's slot names and initial values, and the error kinds.
void export_decoder_tables(nb::module_& m) {
    namespace evt = kern::evt;
    nb::list formats, names, initial;
    for (const evt::FormatInfo& f : evt::kFormats)
        formats.append(nb::make_tuple(f.name, f.word, f.max_per_word, f.x_range, f.y_range));
    const evt::State fresh;
    int64_t slots[evt::kStateSlots];
    std::memcpy(slots, &fresh, sizeof fresh);
    for (size_t i = 0; i < evt::kStateSlots; ++i) {
        names.append(evt::kStateNames[i]);
        initial.append(slots[i]);
    }
    nb::dict errors;
    errors["unknown_type"] = static_cast<int64_t>(evt::kUnknownType);
    errors["outside"] = static_cast<int64_t>(evt::kOutside);
    errors["time_overflow"] = static_cast<int64_t>(evt::kTimeOverflow);
    errors["bad_packet"] = static_cast<int64_t>(evt::kBadPacket);
    errors["bad_line"] = static_cast<int64_t>(evt::kBadLine);
    m.attr("_EVT_FORMATS") = nb::tuple(formats);
    m.attr("_EVT_STATE") = nb::tuple(names);
    m.attr("_EVT_STATE_INITIAL") = nb::tuple(initial);
    m.attr("_EVT_ERRORS") = errors;
    m.attr("_INFERRED_SIDE") = kern::file_summary::kInferredSide;
}

// The frame document of a stack, made with the spike page's own image encoder.
nb::object frames_document(const Args& a) {
    nb::object spikes = nb::module_::import_("zelq.viz.spikes");
    return frame_stack::frames_document(nb::module_::import_("numpy"), spikes.attr("_encode_image_base64"), a[0]);
}

}  // namespace

NB_MODULE(_events, m) {
    nb::object np = nb::module_::import_("numpy");
    g_module = m;
    g_empty = np.attr("empty");
    g_uint8 = np.attr("uint8");
    g_io = nb::module_::import_("io");
    nb::list record;
    for (const kern::evt::RecordField& f : kern::evt::kRecordFields) record.append(nb::make_tuple(f.name, f.type));
    g_record = np.attr("dtype")(record);
    stream::types() = {g_empty, g_uint8, g_record};
    m.attr("_RECORD") = g_record;
    nb::list colours;
    for (const auto& c : kern::kClassColours) colours.append(nb::make_tuple(c[0], c[1], c[2]));
    m.attr("_CLASS_COLOURS") = nb::tuple(colours);
    auto rgb = [](const uint8_t* c) { return nb::make_tuple(c[0], c[1], c[2]); };
    auto colours_of = [&](const kern::PaletteColours& p) {
        nb::dict d;
        d["background"] = rgb(p.background);
        d["on"] = rgb(p.on);
        d["off"] = rgb(p.off);
        return d;
    };
    nb::dict palettes;
    for (const kern::NamedPalette& p : kern::kPalettes) {
        nb::dict by_background;
        by_background["dark"] = colours_of(p.dark);
        by_background["light"] = colours_of(p.light);
        palettes[p.name] = by_background;
    }
    m.attr("_PALETTES") = palettes;
    export_decoder_tables(m);

    def(m, "_get_event_fields", {arg("events")}, get_event_fields,
        "Names of the (x, y, t, p) fields of an event array, as zelq.viz.spikes finds them.");
    def(m, "_detect_sensor_size", {arg("events")}, detect_sensor_size,
        "Sensor size (width, height) of an event array, as zelq.viz.spikes infers it.");
    def(m, "_encode_image_base64", {arg("img")}, encode_image_base64,
        "Base64 text of a PNG of an image, as zelq.viz.spikes writes them.");
    def(m, "_frames_document", {arg("frames")}, frames_document,
        "The page data plot_frames shows for a (T, K, H, W) or (T, H, W) stack, as a dict.\n\n"
        "A stack of other than 3 or 4 dimensions raises ValueError.");
    def(m, "_decode_events",
        {arg("fmt", Kind::Int), arg("buffer"), arg("state"), arg("out"), arg("count", Kind::Int)}, decode_events,
        "Decode one chunk of a recording (fmt 0 EVT 2.0, 1 EVT 2.1, 2 EVT 3.0, 3 DAT, 4 N-MNIST)\n"
        "into the record array out from index count; returns (records in out, bytes consumed).\n\n"
        "Raises ValueError for an unknown fmt, a state that is not its int64 array, an out of\n"
        "another dtype or a count outside it; a non-buffer buffer raises TypeError.");
    def(m, "_most_events", {arg("fmt", Kind::Int), arg("buffer")}, most_events,
        "The most records the whole words of buffer can yield in fmt (the event words, each as if\n"
        "inside the sensor): what a whole read reserves before decoding.\n\n"
        "Raises ValueError for an unknown fmt; a non-buffer buffer raises TypeError.");
    whole_reads::bind(m, g_record, g_empty);
    def(m, "_evt_avx2", {arg("enabled", Kind::Truth)}, evt_avx2,
        "Let the EVT 2.0 and DAT decoders use AVX2 where the CPU has it (the default), or not;\n"
        "returns the setting before. For tests: both ways give the same records and state.");
    def(m, "_populate_records",
        {arg("out"), arg("start", Kind::Int), arg("stop", Kind::Int), arg("small", Kind::Truth, false)},
        populate_records,
        "Back the pages of out's records [start, stop) with memory now, leaving them as they are\n"
        "(asking for small pages over all of out first when small); False where the kernel cannot.\n\n"
        "Raises ValueError for an out of another dtype or records outside it.");
    aedat4_binding::bind(m, g_record);
    nb::list jobs;
    for (const char* job : stream::kJobs) jobs.append(job);
    m.attr("_STREAM_JOBS") = nb::tuple(jobs);
    nb::class_<stream::Stream>(m, "_Stream",
                       "A streaming engine over one recording, for one of _STREAM_JOBS: \"survey\" (the extent),\n"
                       "\"summary\" (timeline, raster, pixel counts), \"page\" (also frames spooled as PNGs and the\n"
                       "overview) or \"render\" (frames for a video). settings is a dict: width, height, t0, t1,\n"
                       "period_us, lead, decay_us, timeline_bin(s), raster_bin(s), segments, spool_path,\n"
                       "frame_budget, overview_step, overview_scale, overview_budget, gain, palette, scale.\n"
                       "Feed it file bytes (format: the decoder's number) or event records in order, then\n"
                       "finish() and read result(); close() then lets its memory go without the GIL. A file's\n"
                       "decoder state, when given, is the readers' int64 state array, written back after every\n"
                       "feed_bytes. ValueError for an unknown job or setting and for settings out of range.")
        .def(nb::init<const std::string&, nb::handle, int64_t, nb::object>(), "job"_a, "settings"_a,
             "format"_a = 0, "state"_a.none() = nb::none())
        .def("feed_bytes", &stream::Stream::feed_bytes, "buffer"_a)
        .def("feed_records", &stream::Stream::feed_records, "records"_a)
        .def("finish", &stream::Stream::finish)
        .def("close", &stream::Stream::close)
        .def("take_frames", &stream::Stream::take_frames)
        .def("frames_full", &stream::Stream::frames_full)
        .def("inspect", &stream::Stream::inspect, "width"_a, "height"_a, "t0"_a, "t1"_a, "cap"_a, "thinned"_a = 0)
        .def("filter", &stream::Stream::filter, "width"_a, "height"_a, "denoise"_a.none(), "refractory"_a.none(),
             "hot"_a, "denoise_width"_a, "denoise_height"_a, "bin_start"_a, "bin_us"_a, "bins"_a,
             "The noise filters between the decoder and the engine (as _inspect._Filter takes them): the\n"
             "engine counts the survivors of the file bytes; feed_records is then refused.")
        .def("raw_frames", &stream::Stream::raw_frames, "other"_a, "end"_a,
             "Another page pass, given the decoded records before the filters: those before end, while its\n"
             "frames have room (for files whose times rise).")
        .def("filter_counts", &stream::Stream::filter_counts)
        .def("filter_removed", &stream::Stream::filter_removed)
        .def("result", &stream::Stream::result);
    def(m, "_thumbnail", {arg("on"), arg("off")}, thumbnail,
        "Base64 PNG thumbnail of ON and OFF pixel counts (uint32 arrays of one (height, width) shape),\n"
        "as file summaries draw it: blocks summed to at most 64 on the long side, levelled, OFF red and\n"
        "ON green. ValueError for arrays of other types or shapes.");
    def(m, "_summarize_file",
        {arg("fmt", Kind::Int), arg("head"), arg("path"), arg("offset", Kind::Int), arg("size", Kind::Int),
         arg("t0", Kind::Int), arg("width", Kind::Int), arg("height", Kind::Int)},
        summarize_file,
        "Summary of a native recording (fmt 0 EVT 2.0, 1 EVT 2.1, 2 EVT 3.0, 3 DAT, 4 N-MNIST) whose data\n"
        "starts at byte offset: head holds the file's first bytes, the rest is read from path (bytes).\n"
        "width and height are the header's sensor, 0 when it gives none (the largest coordinates then\n"
        "give it). Returns a dict: the decoder state, error_pos, errno, cut, width, height, have_events,\n"
        "t_first, t_last, event_count, on_count, peak_10ms, outside, first_outside, hot_pixels\n"
        "((x, y, on, off), at most 16), hot_count and thumbnail (base64 PNG).\n\n"
        "Raises ValueError for an unknown fmt or settings out of range; TypeError for a path that is\n"
        "not bytes or a head that is not a buffer.");
    def(m, "_evt_seek", {arg("fmt", Kind::Int), arg("buffer"), arg("target", Kind::Int)}, evt_seek,
        "Where to start decoding EVT data words (fmt 0 EVT 2.0, 1 EVT 2.1, 2 EVT 3.0) so that no event\n"
        "at or after target (us, the file's clock before t0) is skipped: (byte offset, loops), the\n"
        "decoder state's loops to start with there. Assumes time-high words that rise.\n\n"
        "Raises ValueError for a fmt that is not EVT; a non-buffer buffer raises TypeError.");
    def(m, "_evt_last_high", {arg("fmt", Kind::Int), arg("buffer")}, evt_last_high,
        "(byte offset, unwrapped value, the decoder's loops there) of the last time-high word of EVT\n"
        "data words, as the seeking chain reads the clock, or None.\n\n"
        "Raises ValueError for a fmt that is not EVT; a non-buffer buffer raises TypeError.");
}
