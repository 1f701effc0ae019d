#include "apps/feedbox/product_modules.h"

#include "klippy/extras/feedhub/module.h"

namespace feedbox {

std::vector<klippy::ExtraModule> product_modules() {
  return {feedhub::feedhub_module()};
}

}  // namespace feedbox
