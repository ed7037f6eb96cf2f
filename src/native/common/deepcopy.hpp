// copy.deepcopy, with a fast path for the plain data services copy on every call.
#pragma once

#include <pybind11/pybind11.h>

namespace kestrum {
namespace py = pybind11;

// copy.deepcopy(value). Built-in containers (exact dict, list, tuple) of immutable
// scalars are copied here, with the library's identity rules: shared containers stay
// shared, cycles are kept, a tuple whose items all stay the same is not copied.
// Anything else goes to `copy_module.deepcopy`, read at the time of the call
// (`copy_module` is what the caller's module calls `copy`).
py::object deep_copy(py::handle value, py::handle copy_module);

} // namespace kestrum
