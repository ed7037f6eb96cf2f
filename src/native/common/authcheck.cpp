#include "common/authcheck.hpp"

#include "common/pyutil.hpp"

#include <datetime.h>

namespace kestrum {

namespace {

// Timestamps that utcfromtimestamp converts on every platform (1970 to year 9000).
constexpr double kSafeLow = 0.0;
constexpr double kSafeHigh = 221845392000.0;
// Far from the present the answer does not depend on how either side rounds to
// microseconds, so it is decided without building the two datetimes.
constexpr double kMargin = 1.0;

// The modules are kept; their attributes are read at every call, as `time.time()` in a
// Python module would be, so that tests freezing the clock (or patching it) are obeyed.
Imported time_module("time");
Imported datetime_module("datetime");

PyObject *interned(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        throw py::error_already_set();
    return s;
}

py::object attribute(py::handle owner, PyObject *name) {
    PyObject *r = PyObject_GetAttr(owner.ptr(), name);
    if (!r)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object time_function() {
    static PyObject *name = interned("time");
    return attribute(time_module.get(), name);
}

py::object datetime_class() {
    static PyObject *name = interned("datetime");
    return attribute(datetime_module.get(), name);
}

// The runtime's own time.time, or null when it was already replaced the first time
// this is asked (then the shortcut below is never taken).
PyObject *original_time_function() {
    static PyObject *original = [] {
        py::object f = time_function();
        const bool builtin = PyCFunction_Check(f.ptr()) && PyCFunction_GET_SELF(f.ptr()) == time_module.get().ptr();
        return builtin ? f.release().ptr() : nullptr;
    }();
    return original;
}

// The C datetime class itself, whatever `datetime.datetime` names at the moment.
PyObject *original_datetime_class() {
    static PyObject *original = [] {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI)
            throw py::error_already_set();
        return reinterpret_cast<PyObject *>(PyDateTimeAPI->DateTimeType);
    }();
    return original;
}

} // namespace

py::object wall_time() {
    PyObject *r = PyObject_CallNoArgs(time_function().ptr());
    if (!r)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

void raise_auth_failed(py::handle context) {
    static Imported auth_failed("kestrum.util", "ExceptionAuthFailed");
    if (!context) {
        PyErr_SetNone(auth_failed.get().ptr());
        throw py::error_already_set();
    }
    py::object exc = auth_failed();
    // PyErr_Restore does not chain, so the context set here is the one that stays.
    PyException_SetContext(exc.ptr(), py::reinterpret_borrow<py::object>(context).release().ptr());
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr()));
    Py_INCREF(type);
    PyErr_Restore(type, exc.release().ptr(), nullptr);
    throw py::error_already_set();
}

bool utc_expired(py::handle expire) {
    PyObject *e = expire.ptr();
    double value = 0.0;
    bool fast = false;
    if (PyFloat_CheckExact(e)) {
        value = PyFloat_AS_DOUBLE(e);
        fast = true;
    } else if (PyLong_CheckExact(e)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(e, &overflow);
        if (v == -1 && PyErr_Occurred())
            throw py::error_already_set();
        if (!overflow) {
            value = static_cast<double>(v);
            fast = true;
        }
    }
    py::object cls = datetime_class();
    // utcnow() of the real class reads the clock time.time() reads, so while neither is
    // replaced a comparison with time.time() gives its answer away from the boundary.
    if (fast && value >= kSafeLow && value <= kSafeHigh && cls.ptr() == original_datetime_class()) {
        py::object clock = time_function();
        if (clock.ptr() == original_time_function()) {
            PyObject *r = PyObject_CallNoArgs(clock.ptr());
            if (!r)
                throw py::error_already_set();
            const double now = PyFloat_AsDouble(r);
            Py_DECREF(r);
            if (now == -1.0 && PyErr_Occurred())
                throw py::error_already_set();
            if (value > now + kMargin)
                return false;
            if (value < now - kMargin)
                return true;
        }
    }
    static PyObject *utcnow = interned("utcnow");
    static PyObject *utcfromtimestamp = interned("utcfromtimestamp");
    py::object now = attribute(cls, utcnow)();
    py::object then = attribute(datetime_class(), utcfromtimestamp)(expire);
    const int later = PyObject_RichCompareBool(now.ptr(), then.ptr(), Py_GT);
    if (later < 0)
        throw py::error_already_set();
    return later == 1;
}

} // namespace kestrum
