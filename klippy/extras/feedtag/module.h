// Entry point of the card reader plug-in: the host builds one reader per "feedtag NAME"
// section, registered under the full section name.
#pragma once

#include "klippy/host/module.h"

namespace feedtag {

klippy::ExtraModule feedtag_module();

}  // namespace feedtag
