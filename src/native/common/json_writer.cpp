#include "common/json_writer.hpp"

#include "common/pyutil.hpp"

#include <cmath>
#include <cstdio>

namespace kestrum {

namespace {

// The standard encoder recurses in Python's own stack; past this depth we let it
// decide (it may raise RecursionError or report a circular reference).
constexpr int kMaxDepth = 64;

const char kHex[] = "0123456789abcdef";

template <typename CharT> void escape_into(std::vector<Py_UCS4> &out, const CharT *s, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = s[i];
        if (c >= 0x20 && c != '"' && c != '\\') {
            out.push_back(c);
            continue;
        }
        out.push_back('\\');
        switch (c) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '\b': out.push_back('b'); break;
        case '\f': out.push_back('f'); break;
        case '\n': out.push_back('n'); break;
        case '\r': out.push_back('r'); break;
        case '\t': out.push_back('t'); break;
        default:
            out.push_back('u');
            out.push_back('0');
            out.push_back('0');
            out.push_back(kHex[(c >> 4) & 0xf]);
            out.push_back(kHex[c & 0xf]);
        }
    }
}

} // namespace

void JsonWriter::raw(const char *text) {
    for (; *text; ++text)
        buf_.push_back(static_cast<unsigned char>(*text));
}

void JsonWriter::fragment(PyObject *str) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    const int kind = PyUnicode_KIND(str);
    const void *data = PyUnicode_DATA(str);
    for (Py_ssize_t i = 0; i < n; ++i)
        buf_.push_back(PyUnicode_READ(kind, data, i));
}

void JsonWriter::string(PyObject *str) {
    buf_.push_back('"');
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: escape_into(buf_, PyUnicode_1BYTE_DATA(str), n); break;
    case PyUnicode_2BYTE_KIND: escape_into(buf_, PyUnicode_2BYTE_DATA(str), n); break;
    default: escape_into(buf_, PyUnicode_4BYTE_DATA(str), n); break;
    }
    buf_.push_back('"');
}

bool JsonWriter::value(PyObject *obj) {
    const size_t mark = buf_.size();
    if (value_at(obj, 0))
        return true;
    buf_.resize(mark);
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
        char tmp[32];
        std::snprintf(tmp, sizeof tmp, "%lld", v);
        raw(tmp);
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
        buf_.push_back('[');
        // A list may be changed by nothing here (no Python code runs), so indexing is safe.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        PyObject **items = PySequence_Fast_ITEMS(obj);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i)
                raw(", ");
            if (!value_at(items[i], depth + 1))
                return false;
        }
        buf_.push_back(']');
    } else if (tp == &PyDict_Type) {
        if (depth >= kMaxDepth)
            return false;
        buf_.push_back('{');
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
        buf_.push_back('}');
    } else {
        return false;
    }
    return true;
}

py::str JsonWriter::finish() const {
    PyObject *s = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, buf_.data(), static_cast<Py_ssize_t>(buf_.size()));
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
    return py::reinterpret_borrow<py::function>(encode)(obj);
}

py::str json_dumps(py::handle obj) {
    JsonWriter w;
    if (w.value(obj.ptr()))
        return w.finish();
    return json_dumps_stdlib(obj);
}

} // namespace kestrum
