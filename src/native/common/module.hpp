// Everything a service module of the package includes: argument binding and checks,
// the guarded call layer, module globals and the service class builder.
#pragma once

#include "common/args.hpp"
#include "common/guarded.hpp"
#include "common/pyutil.hpp"
#include "common/service.hpp"
