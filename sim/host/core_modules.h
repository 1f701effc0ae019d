// The host components every simulated printer has, offered to the printer as modules.
#pragma once

#include <vector>

#include "klippy/host/module.h"

namespace sim {

std::vector<klippy::ExtraModule> core_modules();

}  // namespace sim
