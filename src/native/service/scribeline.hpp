// Shared between the sources of kestrum.service.scribeline: the formatter
// (scribeline.cpp) and the handlers' native write paths (scribeline_handlers.cpp).
#pragma once

#include <pybind11/pybind11.h>

namespace kestrum::scribeline {
namespace py = pybind11;

// Gives a handler that service_init_logger created its native write path and makes it
// safe across fork(): the library's `ConcurrentRotatingFileHandler` (opening its files
// now; false when the release lacks what the path needs) and `logging.StreamHandler`.
bool adopt_file_handler(py::handle handler);
void adopt_stream_handler(py::handle handler);

// Registers the fork hooks (once, at import).
void install_fork_hooks();

} // namespace kestrum::scribeline
