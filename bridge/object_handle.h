// The host's view of an object a module created: a plain Python object with the
// get_status(eventtime) the host's status reporting calls, and a capsule that leads back to
// the C++ object when a module looks it up by name.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "klippy/host/object.h"

namespace bridge {

namespace py = pybind11;

class BridgePrinter;

py::object make_object_handle(BridgePrinter& printer,
                              const std::shared_ptr<klippy::PrinterObject>& object);
// The C++ object behind a handle; nullptr for any other host object.
klippy::PrinterObject* handled_object(py::handle object);

}  // namespace bridge
