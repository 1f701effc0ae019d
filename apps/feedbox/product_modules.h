// The product's plug-in modules, as the simulated host loads them.
#pragma once

#include <vector>

#include "klippy/host/module.h"

namespace feedbox {

std::vector<klippy::ExtraModule> product_modules();

}  // namespace feedbox
