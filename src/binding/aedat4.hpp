// _Aedat4Packets: the packets of an AEDAT 4 event stream (kernels/aedat4_packets.hpp)
// read into record arrays with the GIL released, over a file mapping the object
// holds until close(). The Python reader (recordings/_aedat4.py) turns outcomes
// into its messages.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "binding/args.hpp"
#include "binding/numpy.hpp"
#include "binding/py.hpp"
#include "kernels/aedat4_packets.hpp"
#include "kernels/memory.hpp"
#include "kernels/threads.hpp"
#include "kernels/zstd_library.hpp"

namespace zv::aedat4_binding {

namespace nb = nanobind;
namespace a4 = kern::aedat4;

inline const char* stop_name(a4::Stop s) {
    switch (s) {
        case a4::Stop::kEnd: return "end";
        case a4::Stop::kCut: return "cut";
        case a4::Stop::kBadSize: return "size";
        case a4::Stop::kUnsupported: return "unsupported";
        case a4::Stop::kLz4: return "lz4";
        case a4::Stop::kPointer: return "pointer";
        case a4::Stop::kClaims: return "claims";
        case a4::Stop::kListed: return "listed";
        case a4::Stop::kUnpack: return "zstd";
        default: return "";
    }
}

inline const char* lz4_name(kern::lz4::Error e) {
    switch (e) {
        case kern::lz4::Error::kEndsEarly: return "ends early";
        case kern::lz4::Error::kTooLarge: return "too large";
        case kern::lz4::Error::kNoMemory: return "no memory";
        default: return kern::lz4::error_name(e);
    }
}

class Packets {
public:
    Packets(nb::handle mapping, int64_t start, int64_t end, bool table_beyond, int32_t stream, int compression,
            int64_t width, int64_t height, bool drop, bool threads, nb::handle listed, nb::handle window,
            nb::handle unpack, int64_t survey, nb::handle record)
        : record_(nb::borrow(record)), unpack_(nb::borrow(unpack)) {
        file_ = std::make_unique<py::Buffer>();
        file_->require(mapping, PyBUF_SIMPLE);
        const auto size = static_cast<int64_t>(file_->size());
        if (start < 0 || start > size || end < start || end > size) raise(PyExc_ValueError, "start and end must lie in the buffer");
        if (width < 0 || height < 0) raise(PyExc_ValueError, "width and height must be at least 0");
        a4::Layout l;
        l.file = static_cast<const uint8_t*>(file_->data());
        l.size = file_->size();
        l.start = static_cast<size_t>(start);
        l.end = static_cast<size_t>(end);
        l.table_beyond = table_beyond;
        l.stream = stream;
        l.compression = compression;
        l.width = width;
        l.height = height;
        if (!listed.is_none()) {
            BufferView rows;
            rows.require(listed);
            if (!PyBuffer_IsContiguous(&*rows, 'C') || (*rows).len % sizeof(a4::Listed) != 0)
                raise(PyExc_ValueError, "listed must be contiguous int64 rows of five");
            l.only_listed = true;
            l.listed.resize(static_cast<size_t>((*rows).len) / sizeof(a4::Listed));
            if (!l.listed.empty()) std::memcpy(l.listed.data(), (*rows).buf, static_cast<size_t>((*rows).len));
        }
        if (survey < 0) raise(PyExc_ValueError, "survey must be at least 0");
        l.piece = static_cast<uint64_t>(survey);
        if (PyUnicode_Check(unpack_.ptr()) && nb::cast<std::string>(unpack_) == "libzstd") {
            if (!kern::zstd::available()) raise(PyExc_ValueError, "libzstd is not on this system");
            l.unpack = kern::zstd::unpack;  // thread-safe: a helper may decompress ahead
        } else if (!unpack_.is_none()) {
            l.unpack = [fn = unpack_.ptr()](const uint8_t* src, size_t n, kern::lz4::Bytes& out, size_t limit,
                                            std::string& why) { return call_unpack(fn, src, n, out, limit, why); };
            threads = false;  // it takes the GIL: the caller's thread alone calls it
        }
        if (!window.is_none()) {
            l.windowed = true;
            l.lo = nb::cast<int64_t>(window[0]);
            l.hi = nb::cast<int64_t>(window[1]);
        }
        // Pages are dropped only from a file mapping (dropping anonymous memory would zero it).
        PyObject* owner = (**file_).obj;
        if (owner != nullptr && PyMemoryView_Check(owner)) owner = PyMemoryView_GET_BUFFER(owner)->obj;
        l.drop = drop && owner != nullptr && std::string_view(Py_TYPE(owner)->tp_name) == "mmap.mmap";
        // The helper is one of the process's spare threads, held until close(): readers on
        // several Python threads then run no more threads together than there are cores.
        // Not for a few MiB, which decode in a few ms: a new thread may wait as long to run.
        if (threads && end - start >= kHelped) share_ = std::make_unique<kern::ThreadShare>(2);
        packets_ = std::make_unique<a4::Packets>(l, share_ && share_->threads() > 1);
    }

    // Records into out[at, stop) (stop -1: the end), until that is full or the stream stops;
    // returns the index after them. `back`: out is a whole read's array, whose pages are
    // backed a few MB ahead of the records, huge while the kernel gives them cheaply.
    size_t fill(nb::handle out, int64_t at, int64_t stop, bool back) {
        a4::Packets& p = open();
        if (!out.attr("dtype").equal(record_)) raise(PyExc_ValueError, "out must be a record array of the event dtype");
        OutBuffer buf(out);
        const auto items = static_cast<int64_t>(buf.items());
        if (at < 0 || at > items) raise(PyExc_ValueError, "at %lld lies outside out", at);
        if (stop < 0) stop = items;
        if (stop < at || stop > items) raise(PyExc_ValueError, "stop %lld lies outside out[at:]", stop);
        if (busy_) raise(PyExc_RuntimeError, "the packets are being read on another thread");
        busy_ = true;
        auto* base = static_cast<uint8_t*>(buf.data());
        size_t n = static_cast<size_t>(at);
        {
            nb::gil_scoped_release release;
            if (!back) {
                n += p.fill(base + n * kern::evt::kRecordSize, static_cast<size_t>(stop) - n);
            } else {
                kern::CheapPages& pages = pages_for(base, static_cast<size_t>(items), n);
                while (n < static_cast<size_t>(stop) && !p.done()) {
                    const size_t cap = std::min(static_cast<size_t>(stop), n + kBackRecords);
                    if (cap > backed_) {
                        pages.back(base + backed_ * kern::evt::kRecordSize, (cap - backed_) * kern::evt::kRecordSize);
                        backed_ = cap;
                    }
                    n += p.fill(base + n * kern::evt::kRecordSize, cap - n);
                }
            }
        }
        busy_ = false;
        return n;
    }

    // A survey's pass: (rows as bytes of int64 rows of five, events, earliest time inside the
    // sensor or None, whether times never fall, the last piece's first time).
    nb::tuple survey() {
        a4::Packets& p = open();
        if (busy_) raise(PyExc_RuntimeError, "the packets are being read on another thread");
        busy_ = true;
        const a4::Survey* v;
        {
            nb::gil_scoped_release release;
            v = &p.survey();
        }
        busy_ = false;
        nb::bytes rows(reinterpret_cast<const char*>(v->rows.data()), v->rows.size() * sizeof(a4::Listed));
        return nb::make_tuple(rows, v->events, v->any_inside ? nb::object(nb::int_(v->earliest)) : nb::object(nb::none()), v->rising,
                              v->piece_first);
    }

    size_t estimate() { return open().estimate(); }
    size_t position() { return open().position(); }

    // None while the stream goes on; else (why, packet offset, value, LZ4 fault).
    nb::object outcome() {
        const a4::Packets& p = open();
        if (!p.done()) return nb::none();
        const a4::Outcome& o = p.outcome();
        const bool words = o.stop == a4::Stop::kUnpack && o.lz4 == kern::lz4::Error::kDecompressionFailed;
        return nb::make_tuple(stop_name(o.stop), o.offset, o.value, words ? o.why.c_str() : lz4_name(o.lz4));
    }

    // (events left out as outside the sensor, and the first one's x, y, t).
    nb::tuple outside() {
        const a4::Packets& p = open();
        const uint8_t* e = p.first_outside();
        int64_t t;
        int16_t x, y;
        std::memcpy(&t, e, 8);
        std::memcpy(&x, e + 8, 2);
        std::memcpy(&y, e + 10, 2);
        return nb::make_tuple(p.outside(), x, y, t);
    }

    // Ends the helper thread and lets go of the mapping.
    void close() {
        if (busy_) raise(PyExc_RuntimeError, "the packets are being read on another thread");
        if (packets_) {
            nb::gil_scoped_release release;
            packets_.reset();
        }
        share_.reset();
        file_.reset();
    }

private:
    static constexpr int64_t kHelped = int64_t{4} << 20;  // bytes of packets worth a helper

    // A packet through the Python decoder fn(data, limit) -> bytes, which raises ValueError
    // 'ends early' or 'too large', MemoryError, or ValueError in its own words for damage.
    static kern::lz4::Result call_unpack(PyObject* fn, const uint8_t* src, size_t n, kern::lz4::Bytes& out,
                                         size_t limit, std::string& why) {
        using kern::lz4::Error;
        nb::gil_scoped_acquire gil;
        try {
            nb::object view = nb::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<uint8_t*>(src)),
                                                                static_cast<Py_ssize_t>(n), PyBUF_READ));
            if (!view.is_valid()) throw nb::python_error();
            nb::object got = nb::borrow(fn)(view, limit);
            view.attr("release")();  // the packet's bytes are not the decoder's to keep
            BufferView content;
            content.require(got);
            const auto size = static_cast<size_t>((*content).len);
            if (size > limit) return {Error::kTooLarge, 0};
            if (!PyBuffer_IsContiguous(&*content, 'C') || !out.reserve(std::max<size_t>(size, 1), 0))
                return {Error::kNoMemory, 0};
            if (size) std::memcpy(out.data(), (*content).buf, size);
            return {Error::kNone, size};
        } catch (nb::python_error& e) {
            if (e.matches(PyExc_MemoryError)) return {Error::kNoMemory, 0};
            why = nb::str(e.value()).c_str();
            if (why == "ends early") return {Error::kEndsEarly, 0};
            if (why == "too large") return {Error::kTooLarge, 0};
            return {Error::kDecompressionFailed, 0};
        }
    }
    // Records whose pages are backed at a time, just ahead of the packets' writes (4 MB):
    // the lines the kernel zeroes are still in the caches when the records land.
    static constexpr size_t kBackRecords = (size_t{4} << 20) / kern::evt::kRecordSize;

    // The page policy of the array at base (items records), written from record `from`
    // on: kept while the array stays where it is, new for a grown (moved) one.
    kern::CheapPages& pages_for(uint8_t* base, size_t items, size_t from) {
        if (!pages_ || pages_base_ != base || pages_items_ != items) {
            pages_.emplace(base, items * kern::evt::kRecordSize);
            pages_base_ = base;
            pages_items_ = items;
            backed_ = from;
        }
        backed_ = std::max(backed_, from);
        return *pages_;
    }

    a4::Packets& open() {
        if (!packets_) raise(PyExc_ValueError, "the packets are closed");
        return *packets_;
    }

    std::unique_ptr<py::Buffer> file_;
    std::unique_ptr<kern::ThreadShare> share_;  // before packets_: given back after the helper ends
    std::unique_ptr<a4::Packets> packets_;
    nb::object record_;
    nb::object unpack_;  // held while the reader may call it
    bool busy_ = false;
    std::optional<kern::CheapPages> pages_;
    uint8_t* pages_base_ = nullptr;
    size_t pages_items_ = 0, backed_ = 0;  // records of that array backed so far
};

// One frame's content (at most limit bytes) by decode(src, n, out, limit, why), or ValueError
// naming the fault: the decoder's own words for damage it names in why, else the fault's name.
template <typename Decode>
nb::object one_frame(const Args& a, Decode&& decode) {
    BufferView src;
    src.require(a[0]);
    if (!PyBuffer_IsContiguous(&*src, 'C')) raise(PyExc_ValueError, "data must be contiguous");
    const long long limit = a.integer(1);
    if (limit < 0) raise(PyExc_ValueError, "limit must be at least 0");
    kern::lz4::Bytes out;
    kern::lz4::Result r;
    std::string why;
    {
        nb::gil_scoped_release release;
        r = decode(static_cast<const uint8_t*>((*src).buf), static_cast<size_t>((*src).len), out,
                   static_cast<size_t>(limit), why);
    }
    if (r.error != kern::lz4::Error::kNone) raise(PyExc_ValueError, "%s", why.empty() ? lz4_name(r.error) : why.c_str());
    return nb::bytes(reinterpret_cast<const char*>(out.data()), r.size);
}

inline nb::object lz4_frame(const Args& a) {
    return one_frame(a, [](const uint8_t* src, size_t n, kern::lz4::Bytes& out, size_t limit, std::string&) {
        return kern::lz4::decode_frame(src, n, out, limit);
    });
}

inline nb::object zstd_frame(const Args& a) {
    if (!kern::zstd::available()) raise(PyExc_ValueError, "libzstd is not on this system");
    return one_frame(a, kern::zstd::unpack);
}

inline void bind(nb::module_& m, nb::handle record) {
    using namespace nb::literals;
    m.attr("_ZSTD_LIBRARY") = kern::zstd::available();
    def(m, "_zstd_frame", {arg("data"), arg("limit", Kind::Int)}, zstd_frame,
        "The content of the ZSTD frame at the start of data (bytes after it ignored), at most limit\n"
        "bytes, by libzstd (where _ZSTD_LIBRARY says it was found).\n\n"
        "Raises ValueError naming the fault ('ends early', 'too large', 'no memory' or the library's words),\n"
        "for a negative limit or without libzstd; a non-buffer data raises TypeError.");
    def(m, "_lz4_frame", {arg("data"), arg("limit", Kind::Int)}, lz4_frame,
        "The content of the LZ4 frame at the start of data, at most limit bytes.\n\n"
        "Raises ValueError naming the fault ('ends early', 'too large', 'no memory' or the reference\n"
        "library's ERROR_ name) or for a negative limit; a non-buffer data raises TypeError.");
    nb::class_<Packets>(m, "_Aedat4Packets",
                        "The event packets of an AEDAT 4 file mapping, read into records in file order: from byte\n"
                        "start while before end (the data table, or the file's size); table_beyond when the data\n"
                        "table lies past the end of the file. compression is the header's (0 stored, 1 LZ4, 3 ZSTD,\n"
                        "which is refused at its first packet); events outside a width x height sensor (width 0:\n"
                        "none) are left out and counted. drop: whole pages of the mapping already read leave the\n"
                        "resident set. threads: a second thread decompresses ahead. listed: only these event packets\n"
                        "(int64 rows: header offset, size, events, first and last time, in file order; the first\n"
                        "that differs stops the read as 'listed'). window (lo, hi): only the events with\n"
                        "lo <= t < hi, and only those outside the sensor counted. unpack(data, limit) -> bytes\n"
                        "decompresses a ZSTD packet (ValueError 'ends early', 'too large' or its own words),\n"
                        "on the calling thread, or unpack='libzstd' by the library (see _zstd_frame), on any;\n"
                        "without it ZSTD is refused. survey: see survey(). close() before the\n"
                        "mapping.")
        .def("__init__",
             [record](Packets* self, nb::handle mapping, int64_t start, int64_t end, bool table_beyond, int32_t stream,
                      int compression, int64_t width, int64_t height, bool drop, bool threads, nb::handle listed,
                      nb::handle window, nb::handle unpack, int64_t survey) {
                 new (self) Packets(mapping, start, end, table_beyond, stream, compression, width, height, drop, threads,
                                    listed, window, unpack, survey, record);
             },
             "mapping"_a, "start"_a, "end"_a, "table_beyond"_a, "stream"_a, "compression"_a, "width"_a = 0,
             "height"_a = 0, "drop"_a = false, "threads"_a = true, "listed"_a = nb::none(), "window"_a = nb::none(),
             "unpack"_a = nb::none(), "survey"_a = 0)
        .def("fill", &Packets::fill, "out"_a, "at"_a = 0, "stop"_a = -1, "back"_a = false,
             "Records into out[at:stop] (stop -1: to the end) until it is full or the stream stops; returns\n"
             "the index after them. back: out is a whole read's array, its pages backed just ahead of the\n"
             "records (huge pages while the kernel gives them cheaply).")
        .def("survey", &Packets::survey,
             "A survey's pass over the rest of the stream (a reader made with survey, the events of a piece):\n"
             "(rows: bytes of int64 rows of five as listed takes them, one per event packet; events; the\n"
             "earliest time inside the sensor, or None; whether times never fall; the first time of the\n"
             "last piece). outcome() then says where it stopped.")
        .def("estimate", &Packets::estimate,
             "The most events the packets can hold where their frames store their size, else an estimate.")
        .def("position", &Packets::position, "The end of the last packet read whole.")
        .def("outcome", &Packets::outcome,
             "None while the stream goes on; else (why, packet offset, value, LZ4 fault): why is 'end',\n"
             "'cut', 'size' (value: the negative size), 'unsupported', 'lz4', 'pointer', 'claims' (value:\n"
             "the events claimed), 'listed' or 'zstd' (fault: 'ends early', 'too large', 'no memory' or\n"
             "the decoder's words).")
        .def("outside", &Packets::outside, "(events left out as outside the sensor, the first one's x, y, t).")
        .def("close", &Packets::close, "End the helper thread and let go of the mapping.");
}

}  // namespace zv::aedat4_binding
