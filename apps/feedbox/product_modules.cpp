#include "apps/feedbox/product_modules.h"

#include "klippy/extras/feedhub/module.h"
#include "klippy/extras/feedlane/module.h"
#include "klippy/extras/feedscan/module.h"
#include "klippy/extras/feedtag/module.h"

namespace feedbox {

std::vector<klippy::ExtraModule> product_modules() {
  return {feedhub::feedhub_module(), feedlane::feedlane_module(), feedtag::feedtag_module(),
          feedscan::feedscan_module()};
}

}  // namespace feedbox
