// Small helpers for talking to the Python libraries from C++.
#pragma once

#include <pybind11/pybind11.h>

#include <cxxabi.h>
#include <exception>
#include <string>

namespace kestrum {
namespace py = pybind11;

// A module (or one attribute of it) imported on first use and kept for the life of
// the process. The reference is leaked on purpose: a static py::object would be
// released after the interpreter is gone. Declare instances `static`.
class Imported {
  public:
    constexpr explicit Imported(const char *module, const char *attr = nullptr) : module_(module), attr_(attr) {}
    // Borrowed reference; the GIL must be held.
    py::handle get();
    py::handle operator*() { return get(); }
    template <typename... Args> py::object operator()(Args &&...args) { return get()(std::forward<Args>(args)...); }

  private:
    const char *module_;
    const char *attr_;
    PyObject *value_ = nullptr;
};

// A builtin function placed in a class namespace binds `self` like a `def`.
py::object instancemethod(py::handle f);
// builtins.classmethod(f)
py::object classmethod(py::handle f);

// Creates a class by calling `metatype(name, bases, namespace)`, with the
// `__module__` and `__qualname__` a class statement in `module` would have given it.
py::object make_class(py::handle metatype, const char *name, const py::tuple &bases, py::dict ns,
                      const std::string &module, const std::string &qualname);

// Gives a builtin function a proper `__qualname__`/`__module__` where tools show it.
void set_function_names(py::handle f, const std::string &module, const std::string &qualname);

// str(x), falling back to repr(x) and then to "<unprintable T object>", so that
// text for a log line or a message can always be had.
py::str safe_str(py::handle x);

// Runs `body` (which returns a new reference, or null with an error set) at a raw C
// entry point of the runtime, turning C++ exceptions into the pending Python error.
// Not noexcept, and the thread-exit unwind is let through: at interpreter exit the
// runtime ends daemon threads that wait for the GIL with pthread_exit, which unwinds
// through this frame.
template <typename F> PyObject *c_entry(F &&body) {
    try {
        return body();
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (const std::exception &e) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

} // namespace kestrum
