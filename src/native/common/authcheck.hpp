// Expiry test and authentication failure shared by the token and signing services.
#pragma once

#include <pybind11/pybind11.h>

namespace kestrum {
namespace py = pybind11;

// `datetime.datetime.utcnow() > datetime.datetime.utcfromtimestamp(expire)`, with both
// names looked up at the time of the call, so a frozen or patched clock is honoured.
// Raises whatever utcfromtimestamp raises for a value it cannot convert.
bool utc_expired(py::handle expire);

// time.time(), looked up at the time of the call.
py::object wall_time();

// Raises kestrum.util.ExceptionAuthFailed() with no arguments. A non-null `context`
// becomes its __context__, as a raise inside an except block would make it.
[[noreturn]] void raise_auth_failed(py::handle context = py::handle());

} // namespace kestrum
