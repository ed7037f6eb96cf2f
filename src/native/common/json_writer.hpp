// A JSON writer whose output is byte-identical to
// `json.dumps(obj, ensure_ascii=False)` for the values it accepts: exact str, int,
// float, bool, None, and exact list, tuple and dict with str keys. Anything else
// (subclasses, other key types, other objects, very deep nesting) is declined and
// left to the standard library's encoder, so identity never depends on
// re-implementing its corner cases.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace kestrum {
namespace py = pybind11;

class JsonWriter {
  public:
    JsonWriter() { narrow_.reserve(512); }

    // Appends the JSON text of `obj`. Returns false, leaving the buffer as it was,
    // when `obj` holds something outside the fast path.
    bool value(PyObject *obj);
    // Appends a str's contents as a JSON string literal (any str, subclasses too).
    void string(PyObject *str);
    // Appends ASCII text as is.
    void raw(const char *text);
    void raw(char c) { put(static_cast<unsigned char>(c)); }
    // Appends the characters of a str as is (an already encoded JSON fragment).
    void fragment(PyObject *str);
    // Appends Latin-1 text as is.
    void latin1(const std::string &text);

    py::str finish() const;

  private:
    // Text stays in a one-byte (Latin-1) buffer until a wider character arrives.
    void put(Py_UCS4 c) {
        if (!wide_mode_) {
            if (c <= 0xFF) {
                narrow_.push_back(static_cast<char>(c));
                return;
            }
            widen();
        }
        wide_.push_back(c);
    }
    void widen();
    size_t size() const { return wide_mode_ ? wide_.size() : narrow_.size(); }
    void truncate(size_t n);
    template <typename CharT> void escaped(const CharT *s, Py_ssize_t n);
    bool value_at(PyObject *obj, int depth);

    std::string narrow_;
    std::vector<Py_UCS4> wide_;
    bool wide_mode_ = false;
};

// json.dumps(obj, ensure_ascii=False), through the fast writer where it can.
py::str json_dumps(py::handle obj);
// The standard library's encoder alone (one cached JSONEncoder(ensure_ascii=False)).
py::str json_dumps_stdlib(py::handle obj);

} // namespace kestrum
