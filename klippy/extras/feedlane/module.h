// Entry point of the slot feeder plug-in: the host builds "feedlane slotN" from each
// [feedlane slotN] section.
#pragma once

#include "klippy/host/module.h"

namespace feedlane {

klippy::ExtraModule feedlane_module();

}  // namespace feedlane
