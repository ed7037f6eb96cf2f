// The one way to define a service class and its native functions.
//
// A service is a plain Python-level class deriving from `object` (made as a class
// statement would make it), whose methods are C++ builtins called through the
// runtime's vectorcall protocol. Its state lives in ordinary instance attributes, so
// subclasses, copy, assignment and a second __init__ behave as for a Python class, and
// an instance whose __init__ has not run raises AttributeError. Every method carries a
// text signature for inspect and help(), and binds its arguments exactly as a `def`
// would, with CPython's own error messages.
//
//     py::object verify(const Bound &a) { ... a.self ... a[0] ... }
//
//     ServiceClass cls(globals.name(), "ServiceJwt", "Issues and verifies ...");
//     cls.method<init>("__init__", {required("info")}, "Keep the configuration.")
//        .method<verify>("verify_access_token", {required("token")}, "The token's user name.");
//     m.attr("ServiceJwt") = cls.type();
#pragma once

#include "common/args.hpp"

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <vector>

namespace kestrum {
namespace py = pybind11;

constexpr size_t kMaxParams = 8;

// One call's arguments, bound to the declared parameters in declaration order.
// Borrowed: the caller keeps them alive for the call.
class Bound {
  public:
    Bound(py::handle self, const py::handle *args, size_t size) : self(self), args_(args), size_(size) {}
    // The instance for a method; the module (or a null handle) for a function.
    py::handle self;
    py::handle operator[](size_t i) const { return args_[i]; }
    size_t size() const { return size_; }

  private:
    const py::handle *args_;
    size_t size_;
};

// The body of a native method or function.
using NativeBody = py::object (*)(const Bound &);

namespace detail {

struct NativeDef {
    Signature sig;
    size_t required;
    std::string name;
    std::string doc;
    PyMethodDef def;
};

// Filled when the function is defined; one per body.
template <NativeBody Body> inline NativeDef *native_def = nullptr;

NativeDef *make_def(std::string qualname, const char *name, std::vector<Signature::Param> params, const char *doc,
                    const char *first, PyCFunction entry);

// A builtin function object over `native` (`self` may be a null handle).
py::object make_function(NativeDef &native, py::handle self, const std::string &module);

PyObject *run_native(const NativeDef &native, NativeBody body, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames);

template <NativeBody Body>
PyObject *native_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return run_native(*native_def<Body>, Body, self, args, nargs, kwnames);
}

// The same for a plain function whose first positional argument is the instance (see
// ServiceClass::method on __init__).
template <NativeBody Body>
PyObject *native_init_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'self'",
                     native_def<Body>->sig.qualname().c_str());
        return nullptr;
    }
    return run_native(*native_def<Body>, Body, args[0], args + 1, nargs - 1, kwnames);
}

template <NativeBody Body>
NativeDef &def_for(std::string qualname, const char *name, std::vector<Signature::Param> params, const char *doc,
                   const char *first, bool unbound = false) {
    if (!native_def<Body>) {
        auto entry = unbound ? &native_init_entry<Body> : &native_entry<Body>;
        native_def<Body> = make_def(std::move(qualname), name, std::move(params), doc, first,
                                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)));
    }
    return *native_def<Body>;
}

} // namespace detail

// A service class: `class <name>(object)` in `module`.
class ServiceClass {
  public:
    ServiceClass(const std::string &module, const char *name, const char *doc);
    // The same with other bases and metatype, and the qualified name a nested class
    // statement would give (for classes made inside a function).
    ServiceClass(const std::string &module, const char *name, const char *qualname, const char *doc,
                 const py::tuple &bases, py::handle metatype);

    // Adds the method `name(self, <params>)` running `Body`. From 3.13 on, `__init__` is a
    // function bound as a method (an instancemethod), as a def would be: inspect there
    // binds `__init__` to the class itself to read a class's signature, which a method
    // descriptor refuses. Earlier runtimes read the descriptor and skip builtin functions.
    template <NativeBody Body>
    ServiceClass &method(const char *name, std::vector<Signature::Param> params, const char *doc) {
        const bool init = PY_VERSION_HEX >= 0x030D0000 && std::string_view(name) == "__init__";
        add_method(detail::def_for<Body>(qualname_ + "." + name, name, std::move(params), doc, "$self", init), init);
        return *this;
    }

    // Any other class attribute (a context manager, a wrapped function, a constant).
    ServiceClass &attr(const char *name, py::handle value);

    const py::object &type() const { return type_; }
    // "<qualname>.<member>", as errors and tools name a member.
    std::string qualname(const char *member) const { return qualname_ + "." + member; }
    const std::string &module() const { return module_; }

  private:
    void add_method(detail::NativeDef &native, bool unbound);

    std::string module_;
    std::string qualname_;
    py::object type_;
};

// A builtin function `qualname` of `module` running `Body`, with every parameter
// explicit (also `self`, for a function that a decorator turns into a method).
template <NativeBody Body>
py::object native_function(const std::string &module, const std::string &qualname, std::vector<Signature::Param> params,
                           const char *doc) {
    const std::string name = qualname.substr(qualname.rfind('.') + 1);
    detail::NativeDef &native = detail::def_for<Body>(qualname, name.c_str(), std::move(params), doc, nullptr);
    return detail::make_function(native, py::handle(), module);
}

// Defines the module-level function `name` of `m` running `Body` (`a.self` is the module).
template <NativeBody Body>
void def_function(py::module_ &m, const char *name, std::vector<Signature::Param> params, const char *doc) {
    detail::NativeDef &native = detail::def_for<Body>(name, name, std::move(params), doc, "$module");
    m.attr(name) = detail::make_function(native, m, m.attr("__name__").cast<std::string>());
}

} // namespace kestrum
