#include "common/authcheck.hpp"

#include "common/pyutil.hpp"

#include <time.h>

namespace kestrum {

namespace {

// Timestamps that utcfromtimestamp converts on every platform (1970 to year 9000).
constexpr double kSafeLow = 0.0;
constexpr double kSafeHigh = 221845392000.0;
// Far from the present the answer does not depend on how either side rounds to
// microseconds, so it is decided without building the two datetimes.
constexpr double kMargin = 1.0;

} // namespace

double wall_time() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    // Same arithmetic as time.time(), so the two give the same float.
    const long long ns = static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
    return static_cast<double>(ns) / 1e9;
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
    if (fast && value >= kSafeLow && value <= kSafeHigh) {
        const double now = wall_time();
        if (value > now + kMargin)
            return false;
        if (value < now - kMargin)
            return true;
    }
    static Imported datetime_class("datetime", "datetime");
    py::object now = datetime_class.get().attr("utcnow")();
    py::object then = datetime_class.get().attr("utcfromtimestamp")(expire);
    const int later = PyObject_RichCompareBool(now.ptr(), then.ptr(), Py_GT);
    if (later < 0)
        throw py::error_already_set();
    return later == 1;
}

} // namespace kestrum
