// Argument handling shared by every module: exact-type checks with the runtime's
// message, plain `Exception` raising, and a binder for *args/**kwargs that
// reports arity and keyword errors in CPython's own words.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace kestrum {
namespace py = pybind11;

// Raises TypeError "Argument '<name>' has incorrect type (expected <tp>, got <type>)"
// unless `value` is exactly of type `tp` (no subclass, so no bool for int), or None
// where `none_ok`.
void check_exact(const char *name, py::handle value, PyTypeObject *tp, bool none_ok = false);

// Raises `exc_type(message)`; `raise_exception` raises the plain built-in Exception.
[[noreturn]] void raise(PyObject *exc_type, const std::string &message);
[[noreturn]] void raise_exception(const std::string &message);

// A fixed parameter list bound the way a `def` binds it: positionally or by keyword,
// defaults for the tail. Errors read exactly like CPython's for a Python function of
// the same qualified name.
class Signature {
  public:
    struct Param {
        const char *name;
        py::object default_value; // null handle: required
    };

    // `self_counted`: the callable is a method, so CPython's arity messages count `self`.
    Signature(std::string qualname, std::vector<Param> params, bool self_counted = false);

    // One object per parameter, in declaration order.
    std::vector<py::object> bind(const py::args &args, const py::kwargs &kwargs) const;
    // The same for the runtime's vectorcall convention: `nargs` positional values, then
    // the values of the keywords named in `kwnames` (which may be null).
    std::vector<py::object> bind_vector(PyObject *const *args, size_t nargs, PyObject *kwnames) const;
    // The same for an argument tuple and keyword dict (null for none), without the first
    // `skip` positional items (the instance, for a method).
    std::vector<py::object> bind_tuple(PyObject *args, PyObject *kwargs, Py_ssize_t skip = 0) const;

    const std::string &qualname() const { return qualname_; }
    const std::vector<Param> &params() const { return params_; }
    // The parameter count of the shortest positional call.
    size_t required() const;

    // `name(<first>, a, b=None)\n--\n\n`: the head of a builtin's docstring from which
    // the runtime takes its __text_signature__. `first` is "$self" for a method,
    // "$module" for a module function, or null for neither.
    std::string text_signature(const std::string &name, const char *first) const;

  private:
    std::string qualname_;
    std::vector<Param> params_;
    bool self_counted_;
};

// Shorthands for building parameter lists.
inline Signature::Param required(const char *name) { return {name, py::object()}; }
inline Signature::Param optional(const char *name, py::object default_value = py::none()) {
    return {name, std::move(default_value)};
}

} // namespace kestrum
