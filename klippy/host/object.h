// Base of everything the printer registry holds, so that status can be collected from any
// object and lookups can check the type they hand out.
#pragma once

#include <optional>

#include "klippy/host/value.h"

namespace klippy {

class PrinterObject {
 public:
  virtual ~PrinterObject() = default;
  // Status published under the object's name; objects without status return nothing.
  virtual std::optional<Value> get_status(double /*eventtime*/) { return std::nullopt; }
};

}  // namespace klippy
