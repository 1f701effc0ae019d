#include "klippy/extras/feedscan/module.h"

#include <memory>

#include "klippy/extras/feedscan/feedscan.h"
#include "klippy/host/printer.h"

namespace feedscan {

void add_printer_objects(klippy::ConfigSection& config) {
  config.get_printer().add_object(FeedScan::kObjectName, std::make_shared<FeedScan>(config));
}

klippy::ExtraModule feedscan_module() {
  klippy::ExtraModule module;
  module.name = FeedScan::kObjectName;
  module.add_printer_objects = add_printer_objects;
  return module;
}

}  // namespace feedscan
