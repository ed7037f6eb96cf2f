// A JSON writer whose output is byte-identical to
// `json.dumps(obj, ensure_ascii=False)` for the values it accepts: exact str, int,
// float, bool, None, and exact list, tuple and dict with str keys. Anything else
// (subclasses, other key types, other objects, very deep nesting) is declined and
// left to the standard library's encoder, so identity never depends on
// re-implementing its corner cases.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

namespace kestrum {
namespace py = pybind11;

class JsonWriter {
  public:
    JsonWriter() { buf_.reserve(512); }

    // Appends the JSON text of `obj`. Returns false, leaving the buffer as it was,
    // when `obj` holds something outside the fast path.
    bool value(PyObject *obj);
    // Appends a str's contents as a JSON string literal (any str, subclasses too).
    void string(PyObject *str);
    // Appends ASCII text as is.
    void raw(const char *text);
    void raw(char c) { buf_.push_back(static_cast<Py_UCS4>(static_cast<unsigned char>(c))); }
    // Appends the characters of a str as is (an already encoded JSON fragment).
    void fragment(PyObject *str);

    py::str finish() const;

  private:
    bool value_at(PyObject *obj, int depth);
    std::vector<Py_UCS4> buf_;
};

// json.dumps(obj, ensure_ascii=False), through the fast writer where it can.
py::str json_dumps(py::handle obj);
// The standard library's encoder alone (one cached JSONEncoder(ensure_ascii=False)).
py::str json_dumps_stdlib(py::handle obj);

} // namespace kestrum
