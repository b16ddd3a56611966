// Opening a recording and reading its data whole, for the native readers
// (recordings/_sniffing.py opens, recordings/_native_decode.py decodes): the first bytes
// of a regular file in one call (kernels/file_head.hpp), and a whole read of EVT 3.0,
// EVT 2.0 or DAT data words into one new record array (kernels/evt_segments.hpp), from
// a buffer or from a file mapped here. Anything unusual (a name that cannot be opened,
// a file that is not regular, a read that fails, data that does not decode whole) gives
// None, and the Python side then takes its own path, which says what is wrong.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "binding/args.hpp"
#include "binding/numpy.hpp"
#include "binding/py.hpp"
#include "kernels/evt.hpp"
#include "kernels/evt_index.hpp"
#include "kernels/evt_segments.hpp"
#include "kernels/file_head.hpp"
#include "kernels/threads.hpp"

namespace zv::whole_reads {

namespace nb = nanobind;
namespace evt = kern::evt;
namespace fh = kern::file_head;

// For a buffer that views a file mapping (Python's mmap): drops the whole pages of
// a finished byte range from the resident set; the page cache keeps them, and a
// later read faults them back. Any other buffer is left alone (nothing to drop,
// and dropping anonymous memory would zero it).
inline kern::evt_index::Done drop_mapped_pages(nb::handle buffer, const uint8_t* base) {
    if (!PyMemoryView_Check(buffer.ptr())) return {};
    PyObject* owner = PyMemoryView_GET_BUFFER(buffer.ptr())->obj;
    if (owner == nullptr || std::string_view(Py_TYPE(owner)->tp_name) != "mmap.mmap") return {};
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return [base, page](size_t from, size_t to) {
        const uintptr_t lo = (reinterpret_cast<uintptr_t>(base + from) + page - 1) / page * page;
        const uintptr_t hi = reinterpret_cast<uintptr_t>(base + to) / page * page;
        if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED);
    };
}

struct Modules {
    nb::handle record;  // the event record dtype
    nb::handle empty;   // numpy.empty
};

inline Modules& modules() {
    static Modules m;
    return m;
}

inline long long format_of(const Args& a) {
    const long long format = a.integer(0);
    if (format < 0 || format >= evt::kFormatCount) raise(PyExc_ValueError, "unknown event format %lld", format);
    return format;
}

// The decoder's state array of argument `i`: exactly its slots, as little-endian int64.
inline void check_state(nb::handle array, OutBuffer& buf) {
    if (nb::cast<std::string>(array.attr("dtype").attr("str")) != "<i8" || buf.items() != evt::kStateSlots)
        raise(PyExc_ValueError, "state must be %zd int64 values", evt::kStateSlots);
}

// buf[0, n) decoded whole into a new record array: by segments on the machine's cores
// when `split` (and the buffer cuts), else in order on this thread. (array, records),
// `state` left as one in-order decode would leave it; None, `state` untouched, where the
// caller is to decode in order instead.
inline nb::object records_of(evt::Format f, const uint8_t* buf, size_t n, evt::State& state, long long segment,
                             bool split, const kern::evt_index::Done& done) {
    namespace seg = kern::evt_segments;
    evt::State work = state;
    std::optional<kern::ThreadShare> share;
    size_t threads = 1;
    seg::Plan plan;
    bool ok = false;
    {
        nb::gil_scoped_release release;
        if (split) {
            share.emplace(kern::cores());
            threads = share->threads();
            // Four segments a thread, so that one held up by the machine's other work is not waited for long.
            const size_t bytes = segment ? static_cast<size_t>(segment)
                                         : std::clamp<size_t>(n / (4 * threads), size_t{4} << 20, size_t{64} << 20);
            ok = seg::plan(f, buf, n, work, bytes, threads, plan, done);
        }
        if (!ok) {
            plan = seg::Plan{};
            threads = 1;
            ok = seg::single(f, buf, n, work, plan);
        }
    }
    if (!ok || plan.total == 0) return nb::none();
    nb::object out = modules().empty(plan.total, modules().record);
    OutBuffer records(out);
    uint64_t count = 0;
    {
        nb::gil_scoped_release release;
        ok = seg::decode(plan, buf, static_cast<uint8_t*>(records.data()), threads, work, count, done);
    }
    if (!ok) return nb::none();
    state = work;
    return nb::make_tuple(out, count);
}

// _decode_whole(fmt, buffer, state, segment_bytes, split)
inline nb::object decode_whole(const Args& a) {
    const long long format = format_of(a);
    BufferView data;
    data.require(a[1]);
    OutBuffer state_buf(a[2]);
    check_state(a[2], state_buf);
    const long long segment = a.integer(3);
    if (segment < 0) raise(PyExc_ValueError, "segment_bytes must be at least 0");
    evt::State state;
    std::memcpy(&state, state_buf.data(), sizeof state);
    const auto* buf = static_cast<const uint8_t*>((*data).buf);
    nb::object got = records_of(static_cast<evt::Format>(format), buf, static_cast<size_t>((*data).len), state, segment,
                                a.truth(4), drop_mapped_pages(a[1], buf));
    if (!got.is_none()) std::memcpy(state_buf.data(), &state, sizeof state);
    return got;
}

// The path argument `i` as the C string it names: bytes without a NUL inside (None: no such name).
inline const char* path_of(const Args& a, size_t i) {
    if (!PyBytes_Check(a[i].ptr())) raise(PyExc_TypeError, "path must be bytes (os.fsencode)");
    const char* path = PyBytes_AS_STRING(a[i].ptr());
    return std::strlen(path) == static_cast<size_t>(PyBytes_GET_SIZE(a[i].ptr())) ? path : nullptr;
}

// _decode_whole_file(fmt, path, offset, end, state, segment_bytes, split): the file mapped here,
// its whole words from offset up to end (fewer where the file is shorter now) read whole;
// (array, records, where its whole words end) or None.
inline nb::object decode_whole_file(const Args& a) {
    const long long format = format_of(a);
    const char* path = path_of(a, 1);
    const long long offset = a.integer(2), end = a.integer(3);
    OutBuffer state_buf(a[4]);
    check_state(a[4], state_buf);
    const long long segment = a.integer(5);
    if (offset < 0 || end < offset || segment < 0) raise(PyExc_ValueError, "offset, end or segment_bytes out of range");
    if (path == nullptr) return nb::none();
    std::optional<fh::Mapping> mapped;
    {
        nb::gil_scoped_release release;
        mapped.emplace(path);
    }
    const fh::Mapping& map = *mapped;
    const size_t word = evt::kFormats[format].word;
    const size_t from = static_cast<size_t>(offset);
    if (map.data() == nullptr || map.size() <= from) return nb::none();
    const size_t to = std::min(static_cast<size_t>(end), from + (map.size() - from) / word * word);
    if (to <= from) return nb::none();
    evt::State state;
    std::memcpy(&state, state_buf.data(), sizeof state);
    const uint8_t* data = map.data() + from;
    const kern::evt_index::Done drop = [&map, from](size_t lo, size_t hi) { map.drop(from + lo, from + hi); };
    nb::object got = records_of(static_cast<evt::Format>(format), data, to - from, state, segment, a.truth(6), drop);
    if (got.is_none()) return got;
    std::memcpy(state_buf.data(), &state, sizeof state);
    return nb::make_tuple(got[0], got[1], to);
}

// A new bytes object being filled, resized as it is read.
class Bytes {
public:
    explicit Bytes(uint64_t n) : p_(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n))) {
        if (p_ == nullptr) rethrow();
    }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes() { Py_XDECREF(p_); }
    uint8_t* data() { return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(p_)); }
    void resize(uint64_t n) {
        if (static_cast<Py_ssize_t>(n) != PyBytes_GET_SIZE(p_) && _PyBytes_Resize(&p_, static_cast<Py_ssize_t>(n)) != 0)
            rethrow();  // p_ is freed and null
    }
    nb::object take() { return nb::steal(std::exchange(p_, nullptr)); }

private:
    PyObject* p_;
};

// _open_head(path, head, whole, limit): (first bytes, size, '%' header length) of a regular file,
// read as opening reads them: `head` bytes, the whole file when it holds at most `whole`, and
// more up to `limit` where a '%' header reaches the end of what was read; None where the
// name cannot be opened as a regular file or the read fails.
inline nb::object open_head(const Args& a) {
    const char* path = path_of(a, 0);
    const long long head = a.integer(1), whole = a.integer(2), limit = a.integer(3);
    if (head < 0 || whole < 0 || limit < 0) raise(PyExc_ValueError, "head, whole and limit must not be negative");
    if (path == nullptr) return nb::none();
    fh::Opened opened;
    {
        nb::gil_scoped_release release;
        opened = fh::open_regular(path);
    }
    if (opened.error) return nb::none();
    fh::Descriptor fd(opened.fd);
    const uint64_t size = opened.size;
    const uint64_t asked = size <= static_cast<uint64_t>(whole) ? std::max<uint64_t>(head, size + 1) : head;
    const uint64_t first = std::min<uint64_t>(asked, size + 1);
    const uint64_t most = std::max<uint64_t>(first, std::min<uint64_t>(limit, size + 1));
    Bytes bytes(first);
    long long got;
    size_t header;
    {
        nb::gil_scoped_release release;
        got = fh::read_up_to(fd.fd, bytes.data(), first);
        header = got < 0 ? 0 : fh::percent_header(bytes.data(), static_cast<size_t>(got));
    }
    if (got < 0) return nb::none();
    // A header and the two bytes after it (a DAT file's event type and size) are read whole.
    const bool cut = static_cast<uint64_t>(got) == asked && asked < static_cast<uint64_t>(limit);
    if (cut && got > 0 && bytes.data()[0] == '%' && header + 2 >= static_cast<size_t>(got) && most > first) {
        bytes.resize(most);
        long long more;
        {
            nb::gil_scoped_release release;
            more = fh::read_up_to(fd.fd, bytes.data() + got, most - static_cast<uint64_t>(got));
            if (more >= 0) header = fh::percent_header(bytes.data(), static_cast<size_t>(got + more));
        }
        if (more < 0) return nb::none();
        got += more;
    }
    bytes.resize(static_cast<uint64_t>(got));
    return nb::make_tuple(bytes.take(), size, header);
}

inline void bind(nb::module_& m, nb::handle record, nb::handle empty) {
    modules() = Modules{record, empty};
    def(m, "_decode_whole",
        {arg("fmt", Kind::Int), arg("buffer"), arg("state"), arg("segment_bytes", Kind::Int, 0),
         arg("split", Kind::Truth, true)},
        decode_whole,
        "Decode the whole words of buffer (fmt 0 EVT 2.0, 2 EVT 3.0, 3 DAT; a fresh whole-read state)\n"
        "into a new record array, by segments of about segment_bytes (0: chosen from the size) on the\n"
        "machine's cores when split and the buffer cuts, else in order: (array, records in it), the\n"
        "state updated as _decode_events would leave it; None, with the state untouched, where the\n"
        "buffer is to be decoded in order by the caller.\n\n"
        "Raises ValueError for an unknown fmt, a state that is not its int64 array or a negative\n"
        "segment_bytes; a non-buffer buffer raises TypeError.");
    def(m, "_decode_whole_file",
        {arg("fmt", Kind::Int), arg("path"), arg("offset", Kind::Int), arg("end", Kind::Int), arg("state"),
         arg("segment_bytes", Kind::Int, 0), arg("split", Kind::Truth, true)},
        decode_whole_file,
        "As _decode_whole, over the file at path (bytes) mapped here: its whole words from offset up to\n"
        "end, fewer where the file is shorter now. (array, records in it, where the words decoded end),\n"
        "or None (the state untouched) where the file cannot be mapped or is to be decoded in order.\n\n"
        "Raises ValueError for an unknown fmt, a state that is not its int64 array, or offsets out of\n"
        "range; TypeError for a path that is not bytes.");
    def(m, "_open_head",
        {arg("path"), arg("head", Kind::Int), arg("whole", Kind::Int), arg("limit", Kind::Int)}, open_head,
        "(first bytes, size, length of the leading '%' lines) of the regular file at path (bytes):\n"
        "head bytes, the whole file when its size is at most whole, and more up to limit where a '%'\n"
        "header reaches the end of what was read. The path is checked to be a regular file before it is\n"
        "opened and again once open. None where it cannot be opened or read as one.\n\n"
        "Raises ValueError for a negative head, whole or limit; TypeError for a path that is not bytes.");
}

}  // namespace zv::whole_reads
