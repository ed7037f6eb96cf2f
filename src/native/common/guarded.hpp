// The guarded call layer: every call from this package into Python goes through here.
//
// At interpreter exit CPython ends a daemon thread that tries to take the GIL with
// pthread_exit(), which C++ sees as a forced unwind (abi::__forced_unwind). Were it to
// unwind through our frames, their destructors would decref Python objects without the
// GIL while the main thread runs the final collection. So each raw C-API call that may
// run Python code is wrapped: the forced unwind is caught right there and the thread is
// parked for good, without touching Python. exit() still ends the process; no frame of
// ours ever unwinds without the GIL.
//
// Rules for code in this package (docs/architecture.md explains them):
// - call Python through call()/call_attr()/fast_call()/fast_call_method() or
//   guarded(), never through pybind11's obj(...) / obj.attr("x")(...);
// - re-take the GIL only through GilReleased / restore_thread() / GilAcquired;
// - destructors that touch Python run through from_destructor(), which leaks what they
//   hold where Python may not be used and lets no exception escape;
// - inside guarded(), make only the raw call: no py::object may be constructed there.
#pragma once

#include <pybind11/pybind11.h>

#include <cxxabi.h>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <utility>

namespace kestrum {
namespace py = pybind11;

// Blocks the calling thread forever without touching Python (no GIL, no objects).
[[noreturn]] void park_thread() noexcept;

// Runs `raw`, which makes one raw C-API call that may run Python code, and parks the
// thread if the runtime ends it there. Ordinary C++ exceptions pass through.
template <typename F> inline auto guarded(F &&raw) -> decltype(raw()) {
    try {
        return raw();
    } catch (abi::__forced_unwind &) {
        park_thread();
    }
}

// True while the interpreter shuts down (daemon threads that want the GIL then end).
bool interpreter_finalizing() noexcept;

// True where this thread may use Python objects: the interpreter is running and not
// finalising, or this thread holds the GIL. RAII holders check it before they decref
// or call Python, and leak their references otherwise.
bool may_use_python() noexcept;

// The pending Python error as a C++ exception.
[[noreturn]] void throw_pending();

// A new reference as an object, or the pending error thrown when it is null.
inline py::object steal(PyObject *result) {
    if (!result)
        throw_pending();
    return py::reinterpret_steal<py::object>(result);
}

// f(args...) with pybind11-style arguments: values, py::arg("k") = v, *args, **kwargs.
template <typename... Args> py::object call(py::handle f, Args &&...args) {
    auto collected =
        py::detail::collect_arguments<py::return_value_policy::automatic_reference>(std::forward<Args>(args)...);
    return guarded([&] { return collected.call(f.ptr()); });
}

// getattr(obj, name), guarded: a property or __getattr__ may run Python code.
py::object get_attr(py::handle obj, const char *name);
py::object get_attr(py::handle obj, PyObject *name);

// obj.name(args...), the attribute read at the call.
template <typename... Args> py::object call_attr(py::handle obj, const char *name, Args &&...args) {
    py::object f = get_attr(obj, name);
    return call(f, std::forward<Args>(args)...);
}
template <typename... Args> py::object call_attr(py::handle obj, PyObject *name, Args &&...args) {
    py::object f = get_attr(obj, name);
    return call(f, std::forward<Args>(args)...);
}

// Keyword names of a call, made once: `static const Keywords kw{"json", "headers"};`.
class Keywords {
  public:
    Keywords(std::initializer_list<const char *> names);
    PyObject *names() const { return names_; }
    size_t size() const;

  private:
    PyObject *names_; // tuple of interned names; kept for the life of the process
};

// The runtime's vectorcall, without an argument tuple or keyword dict: positional
// values, then (optionally) the values of the keywords named by `kw`.
py::object fast_call(py::handle f, std::initializer_list<py::handle> args);
py::object fast_call(py::handle f, std::initializer_list<py::handle> args, const Keywords &kw,
                     std::initializer_list<py::handle> values);
// obj.name(args...) through the runtime's method call (no bound-method object).
py::object fast_call_method(py::handle obj, PyObject *name, std::initializer_list<py::handle> args = {});

// The everyday protocol operations, guarded where they may run Python code.
py::object item(py::handle container, py::handle key);             // container[key]
bool contains(py::handle container, py::handle key);               // key in container
bool is_true(py::handle value);                                    // bool(value)
bool compare(py::handle a, py::handle b, int op);                  // a <op> b (Py_EQ, Py_GT, ...)
bool equal(py::handle a, py::handle b);                            // a == b
bool is_instance(py::handle value, py::handle cls);                // isinstance(value, cls)
py::str text_of(py::handle value);                                 // str(value); exact str as is
void drop(py::object &ref) noexcept;                               // ref = None, guarded decref
void set_attr(py::handle obj, const char *name, py::handle value); // setattr(obj, name, value)
void set_attr(py::handle obj, py::handle name, py::handle value);

// Runs `f`; false when it raised an ordinary error (an Exception), which is dropped.
// Other errors (KeyboardInterrupt, SystemExit) pass through.
template <typename F> bool succeeds(F &&f) {
    try {
        f();
        return true;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return false;
    }
}

// For destructors: runs `body` (which may call Python) only where Python may be used,
// keeping any pending error, and reports an error of its own as unraisable instead of
// letting it escape. Where Python may not be used, the references `held` are leaked
// (released without a decref) and `body` does not run.
template <typename F, typename... Held> void from_destructor(F &&body, Held &...held) noexcept {
    if (!may_use_python()) {
        (held.release(), ...);
        return;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    try {
        body();
    } catch (py::error_already_set &e) {
        e.restore();
        PyErr_WriteUnraisable(nullptr);
    } catch (...) {
    }
    PyErr_Restore(type, value, tb);
}

// for item in iterable: body(item), with the iteration guarded (a generator's
// __next__ is Python code).
void for_each(py::handle iterable, const std::function<void(py::handle)> &body);

// The with statement: enters `context_manager`, runs `body` on what it gave, and exits
// with the error the body raised, if any. When __exit__ suppresses that error the
// result is None.
py::object with_block(py::handle context_manager, const std::function<py::object(py::handle)> &body);

// Re-takes the GIL released by PyEval_SaveThread(), parking the thread if the runtime
// ends it on the way in.
void restore_thread(PyThreadState *state) noexcept;

// Releases the GIL for a wait in C++; the destructor takes it back through
// restore_thread(). Use instead of py::gil_scoped_release and Py_BEGIN_ALLOW_THREADS.
class GilReleased {
  public:
    GilReleased() : state_(PyEval_SaveThread()) {}
    ~GilReleased() { restore_thread(state_); }
    GilReleased(const GilReleased &) = delete;
    GilReleased &operator=(const GilReleased &) = delete;

  private:
    PyThreadState *state_;
};

// Takes the GIL in a thread the package started itself (PyGILState_Ensure), guarded.
class GilAcquired {
  public:
    GilAcquired();
    ~GilAcquired();
    GilAcquired(const GilAcquired &) = delete;
    GilAcquired &operator=(const GilAcquired &) = delete;

  private:
    PyGILState_STATE state_;
};

} // namespace kestrum
