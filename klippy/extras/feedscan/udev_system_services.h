// The production operating-system services: tty devices enumerated through libudev, the
// system shell and the real file system.
#pragma once

#include <memory>

#include "klippy/host/system_services.h"

namespace feedscan {

// Opens a udev context; klippy::ConfigError when the system has none.
std::shared_ptr<klippy::SystemServices> make_udev_system_services();

}  // namespace feedscan
