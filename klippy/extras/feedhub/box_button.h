// A box sensor read through the host's button service.
#pragma once

#include <string>

#include "klippy/host/config.h"
#include "klippy/host/mcu.h"

namespace feedhub {

// Registering is all there is: the host's button service owns the registration and calls
// `callback(eventtime, state)` with state 1 or 0 on every change of the pin.
class BoxButton {
 public:
  BoxButton(klippy::ConfigSection& config, const std::string& pin, klippy::ButtonCallback callback);
};

}  // namespace feedhub
