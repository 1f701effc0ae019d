// How the host loads a plug-in module: the entry points a module offers.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "klippy/host/config.h"
#include "klippy/host/object.h"

namespace klippy {

using LoadConfigFn = std::function<std::shared_ptr<PrinterObject>(ConfigSection&)>;

struct ExtraModule {
  std::string name;                                         // first word of the sections it serves
  LoadConfigFn load_config;                                 // for a section named exactly `name`
  LoadConfigFn load_config_prefix;                          // for sections "<name> <suffix>"
  std::function<void(ConfigSection&)> add_printer_objects;  // called once at start
};

}  // namespace klippy
