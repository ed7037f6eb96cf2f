#include "common/json_writer.hpp"

#include "common/guarded.hpp"
#include "common/pyutil.hpp"

#include <cmath>
#include <cstdio>

namespace kestrum {

namespace {

// The standard encoder recurses in Python's own stack; past this depth we let it
// decide (it may raise RecursionError or report a circular reference).
constexpr int kMaxDepth = 64;

const char kHex[] = "0123456789abcdef";

// Characters that stand for themselves inside a JSON string (ensure_ascii=False).
struct PlainTable {
    bool plain[256];
    constexpr PlainTable() : plain() {
        for (int c = 0; c < 256; ++c)
            plain[c] = c >= 0x20 && c != '"' && c != '\\';
    }
};
constexpr PlainTable kPlain;

inline bool plain_char(Py_UCS4 c) { return c > 0xFF ? true : kPlain.plain[c]; }

} // namespace

void JsonWriter::widen() {
    wide_.clear();
    wide_.reserve(narrow_.size() * 2);
    for (unsigned char c : narrow_)
        wide_.push_back(c);
    wide_mode_ = true;
}

void JsonWriter::truncate(size_t n) {
    if (wide_mode_)
        wide_.resize(n);
    else
        narrow_.resize(n);
}

template <typename CharT> void JsonWriter::escaped(const CharT *s, Py_ssize_t n) {
    Py_ssize_t i = 0;
    while (i < n) {
        if (sizeof(CharT) == 1 && !wide_mode_) { // copy runs of plain characters at once
            Py_ssize_t j = i;
            while (j < n && plain_char(s[j]))
                ++j;
            narrow_.append(reinterpret_cast<const char *>(s + i), static_cast<size_t>(j - i));
            i = j;
            if (i == n)
                break;
        }
        const Py_UCS4 c = s[i++];
        if (plain_char(c)) {
            put(c);
            continue;
        }
        put('\\');
        switch (c) {
        case '"': put('"'); break;
        case '\\': put('\\'); break;
        case '\b': put('b'); break;
        case '\f': put('f'); break;
        case '\n': put('n'); break;
        case '\r': put('r'); break;
        case '\t': put('t'); break;
        default:
            put('u');
            put('0');
            put('0');
            put(kHex[(c >> 4) & 0xf]);
            put(kHex[c & 0xf]);
        }
    }
}

void JsonWriter::raw(const char *text) {
    if (!wide_mode_) {
        narrow_.append(text);
        return;
    }
    for (; *text; ++text)
        wide_.push_back(static_cast<unsigned char>(*text));
}

void JsonWriter::latin1(const std::string &text) {
    if (!wide_mode_) {
        narrow_.append(text);
        return;
    }
    for (unsigned char c : text)
        wide_.push_back(c);
}

void JsonWriter::fragment(PyObject *str) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    const int kind = PyUnicode_KIND(str);
    const void *data = PyUnicode_DATA(str);
    for (Py_ssize_t i = 0; i < n; ++i)
        put(PyUnicode_READ(kind, data, i));
}

void JsonWriter::string(PyObject *str) {
    put('"');
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: escaped(PyUnicode_1BYTE_DATA(str), n); break;
    case PyUnicode_2BYTE_KIND: escaped(PyUnicode_2BYTE_DATA(str), n); break;
    default: escaped(PyUnicode_4BYTE_DATA(str), n); break;
    }
    put('"');
}

bool JsonWriter::value(PyObject *obj) {
    const size_t mark = size();
    if (value_at(obj, 0))
        return true;
    truncate(mark);
    return false;
}

bool JsonWriter::value_at(PyObject *obj, int depth) {
    PyTypeObject *tp = Py_TYPE(obj);
    if (tp == &PyUnicode_Type) {
        string(obj);
    } else if (obj == Py_None) {
        raw("null");
    } else if (obj == Py_True) {
        raw("true");
    } else if (obj == Py_False) {
        raw("false");
    } else if (tp == &PyLong_Type) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow)
            return false; // big ints: the encoder's own text (and its digit limit)
        char tmp[24];
        char *end = tmp + sizeof tmp, *p = end;
        unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        do {
            *--p = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u);
        if (v < 0)
            *--p = '-';
        if (!wide_mode_)
            narrow_.append(p, static_cast<size_t>(end - p));
        else
            for (; p < end; ++p)
                wide_.push_back(static_cast<unsigned char>(*p));
    } else if (tp == &PyFloat_Type) {
        const double d = PyFloat_AS_DOUBLE(obj);
        if (std::isnan(d)) {
            raw("NaN");
        } else if (std::isinf(d)) {
            raw(d > 0 ? "Infinity" : "-Infinity");
        } else {
            char *text = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!text)
                throw py::error_already_set();
            raw(text);
            PyMem_Free(text);
        }
    } else if (tp == &PyList_Type || tp == &PyTuple_Type) {
        if (depth >= kMaxDepth)
            return false;
        put('[');
        // A list may be changed by nothing here (no Python code runs), so indexing is safe.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        PyObject **items = PySequence_Fast_ITEMS(obj);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i)
                raw(", ");
            if (!value_at(items[i], depth + 1))
                return false;
        }
        put(']');
    } else if (tp == &PyDict_Type) {
        if (depth >= kMaxDepth)
            return false;
        put('{');
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool first = true;
        while (PyDict_Next(obj, &pos, &k, &v)) {
            if (Py_TYPE(k) != &PyUnicode_Type)
                return false;
            if (!first)
                raw(", ");
            first = false;
            string(k);
            raw(": ");
            if (!value_at(v, depth + 1))
                return false;
        }
        put('}');
    } else {
        return false;
    }
    return true;
}

py::str JsonWriter::finish() const {
    PyObject *s = wide_mode_ ? PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, wide_.data(),
                                                         static_cast<Py_ssize_t>(wide_.size()))
                             : PyUnicode_DecodeLatin1(narrow_.data(), static_cast<Py_ssize_t>(narrow_.size()), nullptr);
    if (!s)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

py::str json_dumps_stdlib(py::handle obj) {
    static Imported json_encoder("json", "JSONEncoder");
    static PyObject *encode = nullptr; // leaked on purpose, like Imported
    if (!encode) {
        py::object enc = json_encoder(py::arg("ensure_ascii") = false);
        encode = py::object(enc.attr("encode")).release().ptr();
    }
    return py::reinterpret_steal<py::str>(fast_call(encode, {obj}).release());
}

py::str json_dumps(py::handle obj) {
    JsonWriter w;
    if (w.value(obj.ptr()))
        return w.finish();
    return json_dumps_stdlib(obj);
}

} // namespace kestrum
