// Entry point of the box controller plug-in: the host builds "feedhub" from [feedhub].
#pragma once

#include "klippy/host/module.h"

namespace feedhub {

klippy::ExtraModule feedhub_module();

}  // namespace feedhub
