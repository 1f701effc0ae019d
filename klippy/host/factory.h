// Host components that a module constructs from its own configuration section.
#pragma once

#include <memory>
#include <string>

#include "klippy/host/devices.h"
#include "klippy/host/mcu.h"
#include "klippy/host/motion.h"

namespace klippy {

class ConfigSection;

class HostFactory {
 public:
  virtual ~HostFactory() = default;
  virtual std::shared_ptr<ExtruderStepper> create_extruder_stepper(ConfigSection& config) = 0;
  virtual std::shared_ptr<PwmLed> create_pwm_led(ConfigSection& config) = 0;
  // Sections of the same non-empty `share_type` may name the same chip-select pin.
  virtual std::unique_ptr<SpiDevice> create_spi(ConfigSection& config, int mode,
                                                const std::string& pin_option = "cs_pin",
                                                int default_speed = 100000,
                                                const std::string& share_type = "") = 0;
  virtual TrapqPtr create_trapq() = 0;
};

}  // namespace klippy
