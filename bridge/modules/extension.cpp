// One product module as a CPython extension: FEEDBOX_MODULE names it (feedhub, ...), and
// everything else lives in the shared bridge library next to the packages.
#include "bridge/entry_points.h"

#define FEEDBOX_JOIN(a, b) a##b
#define FEEDBOX_INIT_NAME(name) FEEDBOX_JOIN(PyInit__, name)
#define FEEDBOX_TEXT(name) #name
#define FEEDBOX_NAME(name) FEEDBOX_TEXT(name)

namespace {

// CPython's own bookkeeping of the module; it must outlive every use of the module.
PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_" FEEDBOX_NAME(FEEDBOX_MODULE), nullptr, -1,
                          nullptr};

}  // namespace

PyMODINIT_FUNC FEEDBOX_INIT_NAME(FEEDBOX_MODULE)() {
  return bridge::create_product_extension(definition, FEEDBOX_NAME(FEEDBOX_MODULE));
}
