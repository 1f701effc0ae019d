#include "apps/feedbox/product_modules.h"

namespace feedbox {

std::vector<klippy::ExtraModule> product_modules() {
  return {};
}

}  // namespace feedbox
