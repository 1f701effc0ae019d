// Conversion between the host interface's typed values and the host's Python objects.
#pragma once

#include <pybind11/pybind11.h>

#include "klippy/host/value.h"

namespace bridge {

namespace py = pybind11;

py::object to_python(const klippy::Value& value);
// Python literals map to their Value; anything else (host objects, cffi handles) becomes
// its text, which is all a module can do with it.
klippy::Value from_python(py::handle object);

}  // namespace bridge
