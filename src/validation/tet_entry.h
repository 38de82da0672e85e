// The validation library's entry points that the front end calls at start-up and shut-down: the
// error handler and the data manager singletons, and the vertex-type registration.
#pragma once

#include "validation/data_manager.h"   // IWYU pragma: export
#include "validation/error_handler.h"  // IWYU pragma: export
