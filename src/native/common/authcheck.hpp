// Expiry test and authentication failure shared by the token and signing services.
#pragma once

#include <pybind11/pybind11.h>

namespace kestrum {
namespace py = pybind11;

// Whether the UTC time now is later than the UTC time of the POSIX timestamp
// `expire` (`datetime.datetime.utcnow() > datetime.datetime.utcfromtimestamp(expire)`,
// microseconds rounded as there), without the deprecated calls. `datetime_module` is
// what the caller's module calls `datetime`; its `datetime` is looked up at the time of
// the call, and a replacement class that defines its own utcnow or utcfromtimestamp (a
// frozen clock) is asked instead. Raises what the
// conversion raises for a value it cannot convert. A warning filter that turns a
// warning of a replaced clock into an error does not change the answer.
bool utc_expired(py::handle expire, py::handle datetime_module);

// time.time() of `time_module` (what the caller's module calls `time`), looked up at
// the time of the call.
py::object wall_time(py::handle time_module);

// Raises kestrum.util.ExceptionAuthFailed() with no arguments. A non-null `context`
// becomes its __context__, as a raise inside an except block would make it.
[[noreturn]] void raise_auth_failed(py::handle context = py::handle());

// Runs `f`; an ordinary error (an Exception) it raises becomes ExceptionAuthFailed()
// with that error as its context. Other errors pass through.
template <typename F> auto or_auth_failed(F &&f) -> decltype(f()) {
    try {
        return f();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        raise_auth_failed(e.value());
    }
}

// ExceptionAuthFailed() unless `expire` (a POSIX timestamp) is still ahead, by the
// test of utc_expired(); a value that test cannot read fails too.
void check_not_expired(py::handle expire, py::handle datetime_module);

// The constructor of the token and signing services: `info` must be exactly a dict;
// `_secret_key` = info["secret_key"] (Exception(missing_message) without it), then
// `_timeout` = int(info.get("timeout", default_timeout)).
void keep_secret_and_timeout(py::handle self, py::handle info, const char *missing_message, long default_timeout);

// time.time() + (timeout when it is truthy, else self._timeout): the expiry of what is
// issued now.
py::object expiry_from_now(py::handle self, py::handle timeout, py::handle time_module);

} // namespace kestrum
