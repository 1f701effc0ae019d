// Host components a module builds from its own section: extruder steppers, PWM LEDs, SPI
// devices and motion queues, made by the host's own classes.
#pragma once

#include <memory>

#include "klippy/host/factory.h"

namespace bridge {

class BridgePrinter;

std::unique_ptr<klippy::HostFactory> make_bridge_factory(BridgePrinter& printer);

}  // namespace bridge
