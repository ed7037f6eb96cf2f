// Methods called through the runtime's vectorcall protocol, for operations whose own
// work is small enough that pybind11's generic dispatch (a bound method, an argument
// tuple and a keyword dict per call) would dominate. Positional calls bind directly;
// keyword calls and wrong arities go through `Signature`, so the errors read exactly
// as they do for every other method.
#pragma once

#include "common/args.hpp"
#include "common/pyutil.hpp"

#include <pybind11/pybind11.h>

#include <exception>
#include <stdexcept>
#include <vector>

namespace kestrum {
namespace py = pybind11;

constexpr size_t kFastMaxParams = 8;

// Bound arguments, in declaration order (borrowed: the caller keeps them alive).
using FastArgs = const py::handle *;

struct FastSpec {
    Signature sig;
    std::vector<Signature::Param> params;
    size_t required;
};

template <auto Impl> inline FastSpec *fast_spec = nullptr;

template <typename Self, py::object (*Impl)(Self &, FastArgs)>
PyObject *fast_trampoline(PyObject *self, PyObject *const *args, Py_ssize_t nargs_given, PyObject *kwnames) {
    const FastSpec &desc = *fast_spec<Impl>;
    const size_t nargs = static_cast<size_t>(nargs_given);
    const size_t n = desc.params.size();
    return c_entry([&]() -> PyObject * {
        py::handle bound[kFastMaxParams];
        std::vector<py::object> slow;
        if (!kwnames && nargs >= desc.required && nargs <= n) {
            for (size_t i = 0; i < n; ++i)
                bound[i] = i < nargs ? py::handle(args[i]) : py::handle(desc.params[i].default_value);
        } else {
            slow = desc.sig.bind_vector(args, nargs, kwnames);
            for (size_t i = 0; i < n; ++i)
                bound[i] = slow[i];
        }
        Self &obj = py::cast<Self &>(py::handle(self));
        return Impl(obj, bound).release().ptr();
    });
}

// Adds `name` to `cls` as a method descriptor running `Impl(self, args)`.
// `qualname` ("Class.method") is what argument errors name.
template <typename Self, py::object (*Impl)(Self &, FastArgs), typename Class>
void def_fast_method(Class &cls, const char *name, const char *qualname, std::vector<Signature::Param> params,
                     const char *doc) {
    if (params.size() > kFastMaxParams)
        throw std::logic_error("too many parameters for a fast method");
    size_t required = 0;
    while (required < params.size() && !params[required].default_value)
        ++required;
    fast_spec<Impl> = new FastSpec{Signature(qualname, params, true), params, required};
    static PyMethodDef def{name,
                           reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_trampoline<Self, Impl>)),
                           METH_FASTCALL | METH_KEYWORDS, doc};
    PyObject *descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(cls.ptr()), &def);
    if (!descr)
        throw py::error_already_set();
    py::setattr(cls, name, py::reinterpret_steal<py::object>(descr));
}

} // namespace kestrum
