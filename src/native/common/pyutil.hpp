// Small helpers for talking to the Python libraries from C++.
#pragma once

#include "common/guarded.hpp"

#include <pybind11/pybind11.h>

#include <cxxabi.h>
#include <exception>
#include <initializer_list>
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
    template <typename... Args> py::object operator()(Args &&...args) {
        return call(get(), std::forward<Args>(args)...);
    }

  private:
    const char *module_;
    const char *attr_;
    PyObject *value_ = nullptr;
};

// The referent of a weak reference (a new reference), or a null handle once it is gone.
py::object weak_target(PyObject *ref);

// An interned str for `text`, made once and kept for the life of the process. Hold it
// in a static: `static PyObject *const name = interned("name");`.
PyObject *interned(const char *text);

// The module-level names of one extension module, read at the time of each use as
// Python code reads its globals, so that a patched name (or a patched library behind
// it) is obeyed. Bind it once in the module's init function.
class ModuleGlobals {
  public:
    void bind(py::handle module);
    // The same, giving the module its docstring.
    void bind(py::module_ &module, const char *doc);
    py::handle module() const { return module_; }
    // The module's __name__ ("kestrum.service.tablery").
    const std::string &name() const { return name_; }
    // The global `name`; NameError "name '...' is not defined" when it is unbound.
    py::object get(const char *name) const;
    py::object get(PyObject *name) const;
    // `name.attr`, both read now.
    py::object attr(const char *name, const char *attr) const;

  private:
    PyObject *module_ = nullptr; // kept for the life of the process
    PyObject *dict_ = nullptr;
    std::string name_;
};

// A builtin function placed in a class namespace binds `self` like a `def`.
py::object instancemethod(py::handle f);
// builtins.classmethod(f)
py::object classmethod(py::handle f);

// Creates a class by calling `metatype(name, bases, namespace)`, with the
// `__module__` and `__qualname__` a class statement in `module` would have given it.
py::object make_class(py::handle metatype, const char *name, const py::tuple &bases, py::dict ns,
                      const std::string &module, const std::string &qualname);

// Binds each named module on `m` under its own name, as `import x` at the top of a
// Python module would (a missing one then fails the import of `m`).
void bind_modules(py::module_ &m, std::initializer_list<const char *> modules);
// Binds `from <module> import <name>, ...` on `m` (a name may be a submodule).
void bind_names(py::module_ &m, const char *module, std::initializer_list<const char *> names);

// Gives a builtin function a proper `__qualname__`/`__module__` where tools show it.
void set_function_names(py::handle f, const std::string &module, const std::string &qualname);

// str(x), falling back to repr(x) and then to "<unprintable T object>", so that
// text for a log line or a message can always be had.
py::str safe_str(py::handle x);

// Runs `body` (which returns a new reference, or null with an error set) at a raw C
// entry point of the runtime, turning C++ exceptions into the pending Python error.
// A thread-exit unwind that got this far (a call that bypassed the guarded layer)
// parks the thread here, so at least the frames outside this one stay intact.
template <typename F> PyObject *c_entry(F &&body) {
    try {
        return guarded(body);
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
