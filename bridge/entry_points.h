// The functions the host imports from a module's package: load_config,
// load_config_prefix and add_printer_objects, each running the module's C++ entry point
// with the bridge of the calling printer.
#pragma once

#include <Python.h>

#include "klippy/host/module.h"

#define FEEDBOX_BRIDGE_EXPORT __attribute__((visibility("default")))

namespace bridge {

// A new extension module object made from `definition` (which CPython keeps for the
// life of the process, so it has static storage) offering `module`'s entry points.
// Returns nullptr with a Python error set on failure, as module initialisation must.
//
// A module with only add_printer_objects also gets a load_config: the host calls an
// extra's add_printer_objects only when it was told to, and otherwise loads the extra
// from its own section (for example an empty [feedscan]).
FEEDBOX_BRIDGE_EXPORT PyObject* create_extension(PyModuleDef& definition,
                                                 klippy::ExtraModule module);
// The same for one of the product's modules: "feedhub", "feedlane", "feedtag", "feedscan".
FEEDBOX_BRIDGE_EXPORT PyObject* create_product_extension(PyModuleDef& definition,
                                                         const char* product_module);

}  // namespace bridge
