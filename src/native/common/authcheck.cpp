#include "common/authcheck.hpp"

#include "common/args.hpp"
#include "common/guarded.hpp"
#include "common/pyutil.hpp"

#include <datetime.h>

#include <cmath>
#include <ctime>

namespace kestrum {

namespace {

// Timestamps decided here without the runtime (1970 to year 9000): every platform
// converts them, so no conversion error can be missed.
constexpr double kSafeLow = 0.0;
constexpr double kSafeHigh = 221845392000.0;

Imported warnings_module("warnings");

PyTypeObject *real_datetime_class() {
    static PyTypeObject *const real = [] {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI)
            throw_pending();
        return PyDateTimeAPI->DateTimeType;
    }();
    return real;
}

py::handle utc() {
    real_datetime_class(); // the C API is loaded with it
    return PyDateTime_TimeZone_UTC;
}

// The seconds and microseconds utcfromtimestamp makes of an exact float or int (the
// fraction rounded half to even), or false for anything outside this fast path.
bool timestamp_parts(PyObject *value, long long &sec, long &usec) {
    double whole;
    if (PyFloat_CheckExact(value)) {
        const double d = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(d))
            return false;
        double frac = std::modf(d, &whole) * 1e6;
        double rounded = std::round(frac);
        if (std::fabs(frac - rounded) == 0.5)
            rounded = 2.0 * std::round(frac / 2.0);
        if (rounded >= 1e6) {
            rounded -= 1e6;
            whole += 1.0;
        } else if (rounded < 0) {
            rounded += 1e6;
            whole -= 1.0;
        }
        usec = static_cast<long>(rounded);
    } else if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (v == -1 && PyErr_Occurred())
            throw_pending();
        if (overflow)
            return false;
        whole = static_cast<double>(v);
        usec = 0;
    } else {
        return false;
    }
    if (whole < kSafeLow || whole > kSafeHigh)
        return false;
    sec = static_cast<long long>(whole);
    return true;
}

// The class's own `name` when a replacement class defines one, else null.
py::object replaced_method(py::handle cls, const char *name) {
    PyObject *key = interned(name);
    if (PyType_Check(cls.ptr())) {
        PyObject *found = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), key);
        PyObject *original = _PyType_Lookup(real_datetime_class(), key);
        if (found == original)
            return py::object();
    }
    return get_attr(cls, key);
}

// An aware UTC datetime made naive, as the utc* functions return them.
py::object naive(const py::object &aware) {
    static const Keywords kw{"tzinfo"};
    static PyObject *const replace = interned("replace");
    return fast_call(get_attr(aware, replace), {}, kw, {py::none()});
}

bool expired_once(py::handle expire, py::handle datetime_module) {
    static PyObject *const datetime_name = interned("datetime");
    py::object cls = get_attr(datetime_module, datetime_name);
    if (cls.ptr() == reinterpret_cast<PyObject *>(real_datetime_class())) {
        long long sec;
        long usec;
        if (timestamp_parts(expire.ptr(), sec, usec)) {
            // The clock utcnow() reads, floored to the microsecond as it does.
            timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            const long now_usec = now.tv_nsec / 1000;
            return now.tv_sec > sec || (now.tv_sec == sec && now_usec > usec);
        }
    }
    py::handle real = reinterpret_cast<PyObject *>(real_datetime_class());
    static PyObject *const now_name = interned("now");
    static PyObject *const from_name = interned("fromtimestamp");
    py::object utcnow = replaced_method(cls, "utcnow");
    py::object now = utcnow ? fast_call(utcnow, {}) : naive(fast_call_method(real, now_name, {utc()}));
    py::object from = replaced_method(cls, "utcfromtimestamp");
    py::object then = from ? fast_call(from, {expire}) : naive(fast_call_method(real, from_name, {expire, utc()}));
    return compare(now, then, Py_GT);
}

} // namespace

py::object wall_time(py::handle time_module) {
    static PyObject *const name = interned("time");
    return fast_call(get_attr(time_module, name), {});
}

void raise_auth_failed(py::handle context) {
    static Imported auth_failed("kestrum.util", "ExceptionAuthFailed");
    if (!context) {
        PyErr_SetNone(auth_failed.get().ptr());
        throw_pending();
    }
    py::object exc = fast_call(auth_failed.get(), {});
    // PyErr_Restore does not chain, so the context set here is the one that stays.
    PyException_SetContext(exc.ptr(), py::reinterpret_borrow<py::object>(context).release().ptr());
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr()));
    Py_INCREF(type);
    PyErr_Restore(type, exc.release().ptr(), nullptr);
    throw_pending();
}

bool utc_expired(py::handle expire, py::handle datetime_module) {
    try {
        return expired_once(expire, datetime_module);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Warning))
            throw;
    }
    // A replaced clock warned and a filter made that an error: the answer is the one
    // the clock gives with its warnings ignored.
    py::object scope = call_attr(warnings_module.get(), "catch_warnings");
    py::object exit = get_attr(scope, "__exit__");
    call_attr(scope, "__enter__");
    bool expired = false;
    try {
        call_attr(warnings_module.get(), "simplefilter", "ignore");
        expired = expired_once(expire, datetime_module);
    } catch (py::error_already_set &e) {
        call(exit, e.type(), e.value(), e.trace());
        throw;
    }
    call(exit, py::none(), py::none(), py::none());
    return expired;
}

void check_not_expired(py::handle expire, py::handle datetime_module) {
    if (or_auth_failed([&] { return utc_expired(expire, datetime_module); }))
        raise_auth_failed();
}

void keep_secret_and_timeout(py::handle self, py::handle info, const char *missing_message, long default_timeout) {
    static PyObject *const secret_key = interned("secret_key");
    static PyObject *const timeout_key = interned("timeout");
    check_exact("info", info, &PyDict_Type);
    if (!contains(info, secret_key))
        raise_exception(missing_message);
    set_attr(self, "_secret_key", item(info, secret_key));
    PyObject *given = PyDict_GetItemWithError(info.ptr(), timeout_key);
    if (!given && PyErr_Occurred())
        throw_pending();
    py::object timeout = given ? py::reinterpret_borrow<py::object>(given) : py::int_(default_timeout);
    set_attr(self, "_timeout", steal(guarded([&] { return PyNumber_Long(timeout.ptr()); })));
}

py::object expiry_from_now(py::handle self, py::handle timeout, py::handle time_module) {
    static PyObject *const timeout_attr = interned("_timeout");
    py::object lifetime = is_true(timeout) ? py::reinterpret_borrow<py::object>(timeout) : get_attr(self, timeout_attr);
    py::object now = wall_time(time_module);
    return steal(guarded([&] { return PyNumber_Add(now.ptr(), lifetime.ptr()); }));
}

} // namespace kestrum
