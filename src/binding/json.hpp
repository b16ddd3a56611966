// JSON text of a document, written straight into the page's final str.
//
// The text is what json.dumps writes (ensure_ascii=False, or True for the
// ASCII form) with "<", ">" and "&" escaped as \u003c, \u003e and \u0026. The
// document is walked once, to measure the exact length and widest character
// (and to raise what json.dumps raises); the text is then written into a str
// allocated at its final size and kind. Nothing is converted to UTF-8. The
// walk keeps the text it met between long or unusual strings (the tape:
// numbers, punctuation, keys, short names) and holds those strings, so the
// writing pass copies the tape and the strings without walking the document
// (whose objects, spread over memory, cost a cache miss each) again.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <algorithm>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "kernels/json_text.hpp"

namespace zv::json {

// "{{WIDTH}}"-style placeholders replaced, in order, inside each written
// string (and nowhere else: see Page).
using Replacements = std::vector<std::pair<std::u32string, std::u32string>>;

inline std::u32string replace_all(const std::u32string& text, const std::u32string& from, const std::u32string& to) {
    std::u32string out;
    size_t pos = 0;
    for (size_t hit; (hit = text.find(from, pos)) != std::u32string::npos; pos = hit + from.size()) {
        out.append(text, pos, hit - pos);
        out += to;
    }
    out.append(text, pos, std::u32string::npos);
    return out;
}

inline uint32_t max_char_of(PyObject* s) {
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return PyUnicode_IS_ASCII(s) ? 0x7f : 0xff;
        case PyUnicode_2BYTE_KIND: return 0xffff;
        default: return 0x10ffff;
    }
}

// Text of code points up to 0xff, appended a few characters at a time: the
// common case is inline, without a call. Grown with realloc, which moves
// large blocks by remapping and leaves the unwritten room untouched (so not
// resident).
class Tape {
public:
    Tape() = default;
    Tape(const Tape&) = delete;
    Tape& operator=(const Tape&) = delete;
    ~Tape() { std::free(buf_); }

    void append(const void* s, size_t n) {
        if (n > cap_ - size_) grow(n);
        auto* to = buf_ + size_;
        const auto* from = static_cast<const uint8_t*>(s);
        if (n <= 32) {
            for (size_t k = 0; k < n; ++k) to[k] = from[k];
        } else {
            std::memcpy(to, from, n);
        }
        size_ += n;
    }
    const uint8_t* data() const { return buf_; }
    size_t size() const { return size_; }
    void clear() {
        std::free(std::exchange(buf_, nullptr));
        size_ = cap_ = 0;
    }

private:
    [[gnu::noinline]] void grow(size_t n) {
        const size_t cap = std::max(2 * cap_, size_ + n + 4096);
        auto* bigger = static_cast<uint8_t*>(std::realloc(buf_, cap));
        if (!bigger) throw std::bad_alloc();
        buf_ = bigger;
        cap_ = cap;
    }

    uint8_t* buf_ = nullptr;
    size_t size_ = 0, cap_ = 0;
};

// Counts the characters that a walk writes.
struct Counter {
    size_t length = 0;
    uint32_t max_char = 0x7f;
    Tape* tape = nullptr;  // where the text goes, when kept

    void text(const char* s, size_t n) {
        length += n;
        if (tape) tape->append(s, n);
    }
    void plain(const uint8_t* s, size_t n, uint32_t top) {
        length += n;
        widest(top);
        if (tape) tape->append(s, n);
    }
    template <typename S>
    void check(const S*, size_t, bool, uint32_t) {}
    void widest(uint32_t c) { max_char = c > max_char ? c : max_char; }
    template <typename S>
    void escaped(const S* s, size_t n, bool ascii, uint32_t src_max) {
        length += kern::json::escaped_length(s, n, ascii);
        if (!ascii) widest(src_max);
    }
    void units(const std::u32string& s) {
        length += s.size();
        for (char32_t c : s) widest(static_cast<uint32_t>(c));
    }
};

// Writes into code units of type D, between `out` and `end`.
template <typename D>
struct Emitter {
    D* out;
    D* end;

    void room(size_t n) {
        if (static_cast<size_t>(end - out) < n)
            raise(PyExc_RuntimeError, "the document changed while its page was being written");
    }
    void text(const char* s, size_t n) {
        room(n);
        out = kern::json::put_ascii(out, s, n);
    }
    // A 1-byte string known to need no escape.
    void plain(const uint8_t* s, size_t n, uint32_t) {
        room(n);
        out = kern::json::widen(out, s, n);
    }
    // Before `escaped`: the string fits the kind (its measured length is its own).
    template <typename S>
    void check(const S*, size_t, bool ascii, uint32_t src_max) {
        if (!ascii && src_max > kWidest) room(SIZE_MAX);
    }
    template <typename S>
    void escaped(const S* s, size_t n, bool ascii, uint32_t) {
        out = kern::json::write_escaped(s, n, ascii, out);
    }
    void units(const std::u32string& s) {
        room(s.size());
        for (char32_t c : s) {
            if (static_cast<uint32_t>(c) > kWidest) room(SIZE_MAX);
            *out++ = static_cast<D>(c);
        }
    }
    static constexpr uint32_t kWidest = sizeof(D) == 1 ? 0xff : sizeof(D) == 2 ? 0xffff : 0x10ffff;
};

// Measures a document (the type dispatch and the refusals) and keeps what the
// writing pass needs: the tape, and the strings written from their objects.
// The document is walked once, so user code (items() of dict subclasses, the
// iteration of sequence subclasses) runs once, as in json.dumps.
class Walker {
public:
    Walker(bool ascii, const Replacements* repl) : ascii_(ascii), repl_(repl) {}

    // Dicts (by identity) written as another object.
    std::unordered_map<PyObject*, PyObject*> substitutes;

    // Encoded-array records met while measuring: identity, and the length of
    // the record's own text, once per occurrence.
    struct Record {
        PyObject* dict;
        size_t length;
    };
    std::vector<Record> records;
    bool collect = false;

    void measure(PyObject* o, Counter& sink) {
        tape_.clear();
        strings_.clear();
        sink.tape = &tape_;
        value(o, sink);
        sink.tape = nullptr;
    }

    // The measured text: the tape, with the strings kept out of it written
    // in their places. Once per measure: the strings are let go as written.
    template <typename D>
    void write(Emitter<D>& sink) {
        size_t from = 0;
        for (TapedString& t : strings_) {
            sink.plain(tape_.data() + from, t.at - from, 0xff);
            from = t.at;
            written_string(t.s.ptr(), t.plain, sink);
            t.s.reset();  // while it is at hand
        }
        sink.plain(tape_.data() + from, tape_.size() - from, 0xff);
    }

private:
    struct Depth {
        explicit Depth(const char* where) {
            if (Py_EnterRecursiveCall(where)) rethrow();
        }
        ~Depth() { Py_LeaveRecursiveCall(); }
    };

    template <typename Sink>
    void value(PyObject* o, Sink& sink) {
        if (o == Py_None) return sink.text("null", 4);
        if (o == Py_True) return sink.text("true", 4);
        if (o == Py_False) return sink.text("false", 5);
        if (PyUnicode_Check(o)) return string(o, sink);
        if (PyLong_Check(o)) return integer(o, sink);
        if (PyFloat_Check(o)) return real(PyFloat_AS_DOUBLE(o), sink);
        if (PyList_Check(o) || PyTuple_Check(o)) {
            Depth depth(" while encoding a JSON object");
            return sequence(o, sink);
        }
        if (PyDict_Check(o)) {
            Depth depth(" while encoding a JSON object");
            return mapping(o, sink);
        }
        nb::object cls = checked(PyObject_GetAttrString(o, "__class__"));
        nb::object name = checked(PyObject_GetAttrString(cls.ptr(), "__name__"));
        raise(PyExc_TypeError, "Object of type %S is not JSON serializable", name.ptr());
    }

    template <typename Sink>
    void string(PyObject* s, Sink& sink) {
        // Most strings need no escape and hold no placeholder: one scan finds both.
        bool plain = false;
        if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND) {
            const uint8_t brace = repl_ && !repl_->empty() ? '{' : 0;
            const auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
            plain = kern::json::plain_prefix(PyUnicode_1BYTE_DATA(s), n, ascii_, brace) == n;
        }
        if constexpr (std::is_same_v<Sink, Counter>) {
            // Long strings (payloads, mostly) and the unusual ones stay out
            // of the tape: the writing pass reads them from the object.
            if (!plain || static_cast<size_t>(PyUnicode_GET_LENGTH(s)) >= kLongString) {
                strings_.push_back({tape_.size(), nb::borrow(s), plain});
                Tape* tape = std::exchange(sink.tape, nullptr);
                written_string(s, plain, sink);
                sink.tape = tape;
                return;
            }
        }
        written_string(s, plain, sink);
    }

    template <typename Sink>
    void written_string(PyObject* s, bool plain, Sink& sink) {
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
        const int kind = PyUnicode_KIND(s);
        const void* data = PyUnicode_DATA(s);
        if (plain) {
            sink.text("\"", 1);
            sink.plain(static_cast<const uint8_t*>(data), n, max_char_of(s));
            return sink.text("\"", 1);
        }
        if (repl_ && !repl_->empty() && PyUnicode_FindChar(s, '{', 0, static_cast<Py_ssize_t>(n), 1) >= 0)
            return replaced_string(s, sink);
        sink.text("\"", 1);
        const uint32_t top = max_char_of(s);
        if (kind == PyUnicode_1BYTE_KIND) {
            sink.check(static_cast<const uint8_t*>(data), n, ascii_, top);
            sink.escaped(static_cast<const uint8_t*>(data), n, ascii_, top);
        } else if (kind == PyUnicode_2BYTE_KIND) {
            sink.check(static_cast<const uint16_t*>(data), n, ascii_, top);
            sink.escaped(static_cast<const uint16_t*>(data), n, ascii_, top);
        } else {
            sink.check(static_cast<const uint32_t*>(data), n, ascii_, top);
            sink.escaped(static_cast<const uint32_t*>(data), n, ascii_, top);
        }
        sink.text("\"", 1);
    }

    // A string holding a placeholder: escaped, then the placeholders replaced
    // in order. No escape sequence holds "{" or "}", so a placeholder is
    // matched in the escaped text exactly where the whole-page pass matched it.
    template <typename Sink>
    void replaced_string(PyObject* s, Sink& sink) {
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
        std::u32string text(kern::json::escaped_length(PyUnicode_4BYTE_DATA(ucs4_of(s).ptr()), n, ascii_), U'\0');
        kern::json::write_escaped(PyUnicode_4BYTE_DATA(ucs4_.ptr()), n, ascii_, text.data());
        for (const auto& [from, to] : *repl_) text = replace_all(text, from, to);
        sink.text("\"", 1);
        sink.units(text);
        sink.text("\"", 1);
    }

    nb::object& ucs4_of(PyObject* s) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        ucs4_ = checked(PyUnicode_New(n, 0x10ffff));
        if (n && PyUnicode_CopyCharacters(ucs4_.ptr(), 0, s, 0, n) < 0) rethrow();
        return ucs4_;
    }

    template <typename Sink>
    void integer(PyObject* o, Sink& sink) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred()) rethrow();
        if (!overflow) {
            char buf[24];
            const auto r = std::to_chars(buf, buf + sizeof buf, v);
            return sink.text(buf, static_cast<size_t>(r.ptr - buf));
        }
        nb::object text = checked(PyLong_Type.tp_repr(o));
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
        if (!p) rethrow();
        sink.text(p, static_cast<size_t>(n));
    }

    template <typename Sink>
    void real(double x, Sink& sink) {
        if (x != x) return sink.text("NaN", 3);
        if (x == HUGE_VAL) return sink.text("Infinity", 8);
        if (x == -HUGE_VAL) return sink.text("-Infinity", 9);
        // The shortest repr is costly, and documents repeat values (0.0, 1.0,
        // the constant parameters' statistics): the last texts are kept by value.
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        FloatText& slot = float_texts_[(bits * 0x9e3779b97f4a7c15ull) >> (64 - kFloatSlotsLog2)];
        if (slot.bits != bits) {
            char* p = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!p) rethrow();
            const size_t n = std::strlen(p);  // at most 24: "-2.2250738585072014e-308"
            std::memcpy(slot.text, p, std::min(n, sizeof slot.text));
            PyMem_Free(p);
            if (n > sizeof slot.text) raise(PyExc_SystemError, "float repr longer than expected");
            slot.bits = bits;
            slot.length = static_cast<uint8_t>(n);
        }
        sink.text(slot.text, slot.length);
    }

    // A key as json converts it; false for a refused key.
    template <typename Sink>
    void key(PyObject* k, Sink& sink) {
        if (PyUnicode_Check(k)) return string(k, sink);
        sink.text("\"", 1);
        if (PyFloat_Check(k)) real(PyFloat_AS_DOUBLE(k), sink);
        else if (k == Py_True) sink.text("true", 4);
        else if (k == Py_False) sink.text("false", 5);
        else if (k == Py_None) sink.text("null", 4);
        else if (PyLong_Check(k)) integer(k, sink);
        else raise(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s", Py_TYPE(k)->tp_name);
        sink.text("\"", 1);
    }

    // The containers being written, innermost last: nesting is shallow, so a
    // linear search beats a hash set.
    struct Marker {
        Marker(std::vector<PyObject*>& stack, PyObject* o) : stack_(stack) {
            if (std::find(stack_.begin(), stack_.end(), o) != stack_.end())
                raise(PyExc_ValueError, "Circular reference detected");
            stack_.push_back(o);
        }
        ~Marker() { stack_.pop_back(); }
        std::vector<PyObject*>& stack_;
    };

    template <typename Sink>
    void sequence(PyObject* seq, Sink& sink) {
        // Subclasses are read through their own iteration, as json reads them.
        nb::object fast = PyList_CheckExact(seq) || PyTuple_CheckExact(seq)
            ? nb::borrow(seq) : checked(PySequence_Fast(seq, "needs a sequence"));
        PyObject* o = fast.ptr();
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        if (n == 0) return sink.text("[]", 2);
        Marker mark(active_, seq);
        sink.text("[", 1);
        for (Py_ssize_t i = 0; i < n; ++i) {
            // Items are read afresh each step: the list may not change under us
            // (no user code runs here), but its size is re-read as json does.
            if (i >= PySequence_Fast_GET_SIZE(o)) break;
            if (i) sink.text(", ", 2);
            PyObject* item = PySequence_Fast_GET_ITEM(o, i);
            Py_INCREF(item);
            nb::object hold = nb::steal(item);
            value(item, sink);
        }
        sink.text("]", 1);
    }

    static bool is_record(PyObject* d) {
        static const char* const kKeys[] = {"shape", "dtype", "data", "stats", "size"};
        if (!PyDict_CheckExact(d) || PyDict_GET_SIZE(d) != 5) return false;
        Py_ssize_t pos = 0, i = 0;
        PyObject *k, *v;
        while (PyDict_Next(d, &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k) || PyUnicode_CompareWithASCIIString(k, kKeys[i]) != 0) return false;
            if (i == 2 && !PyUnicode_Check(v)) return false;
            ++i;
        }
        return true;
    }

    template <typename Sink>
    void mapping(PyObject* d, Sink& sink) {
        if (!substitutes.empty()) {
            auto it = substitutes.find(d);
            if (it != substitutes.end()) return mapping(it->second, sink);
        }
        if (PyDict_GET_SIZE(d) == 0) return sink.text("{}", 2);
        if constexpr (std::is_same_v<Sink, Counter>) {
            if (collect && is_record(d)) {
                const size_t before = sink.length;
                entries(d, sink);
                records.push_back({d, sink.length - before});
                return;
            }
        }
        entries(d, sink);
    }

    template <typename Sink>
    void entries(PyObject* d, Sink& sink) {
        Marker mark(active_, d);
        sink.text("{", 1);
        bool first = true;
        auto entry = [&](PyObject* k, PyObject* v) {
            if (!first) sink.text(", ", 2);
            first = false;
            key(k, sink);
            sink.text(": ", 2);
            value(v, sink);
        };
        if (PyDict_CheckExact(d)) {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(d, &pos, &k, &v)) {
                nb::object hold_k = nb::borrow(k), hold_v = nb::borrow(v);  // user code may drop them
                entry(k, v);
            }
        } else {
            nb::object items = checked(PyMapping_Items(d));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
                PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
                if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
                    raise(PyExc_ValueError, "items must return 2-tuples");
                entry(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
            }
        }
        sink.text("}", 1);
    }

    static constexpr size_t kLongString = 64;

    // Float texts by bit pattern; no NaN is looked up, so NaN bits mark a free slot.
    struct FloatText {
        uint64_t bits = 0x7ff8000000000001ull;
        uint8_t length = 0;
        char text[31];
    };
    static constexpr unsigned kFloatSlotsLog2 = 8;
    std::vector<FloatText> float_texts_ = std::vector<FloatText>(size_t{1} << kFloatSlotsLog2);

    // A string written from its object, and where it goes in the tape. Held,
    // so that whatever runs between the passes, the page is the measured text.
    struct TapedString {
        size_t at;
        nb::object s;
        bool plain;
    };

    bool ascii_;
    const Replacements* repl_;
    Tape tape_;
    std::vector<TapedString> strings_;
    std::vector<PyObject*> active_;
    nb::object ucs4_;
};

// The document's text as one str (no placeholders inside).
inline nb::object to_str(PyObject* data, bool ascii) {
    Walker walker(ascii, nullptr);
    Counter measured;
    walker.measure(data, measured);
    nb::object text = checked(PyUnicode_New(static_cast<Py_ssize_t>(measured.length), measured.max_char));
    auto write = [&](auto* at) {
        Emitter<std::remove_pointer_t<decltype(at)>> e{at, at + measured.length};
        walker.write(e);
        if (e.out != at + measured.length) raise(PyExc_RuntimeError, "the document changed while its page was being written");
    };
    switch (PyUnicode_KIND(text.ptr())) {
        case PyUnicode_1BYTE_KIND: write(PyUnicode_1BYTE_DATA(text.ptr())); break;
        case PyUnicode_2BYTE_KIND: write(PyUnicode_2BYTE_DATA(text.ptr())); break;
        default: write(PyUnicode_4BYTE_DATA(text.ptr())); break;
    }
    return text;
}

}  // namespace zv::json
