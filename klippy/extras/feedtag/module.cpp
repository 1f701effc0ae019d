#include "klippy/extras/feedtag/module.h"

#include <memory>

#include "klippy/extras/feedtag/feedtag.h"

namespace feedtag {

klippy::ExtraModule feedtag_module() {
  klippy::ExtraModule module;
  module.name = "feedtag";
  module.load_config_prefix =
      [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
    return std::make_shared<FeedTag>(config);
  };
  return module;
}

}  // namespace feedtag
