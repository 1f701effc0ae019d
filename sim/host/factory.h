// The simulated host's components that modules build from their own sections: feed motors,
// LEDs, SPI devices and motion queues.
#pragma once

#include "klippy/host/factory.h"
#include "klippy/host/printer.h"

namespace sim {

class SimFactory final : public klippy::HostFactory {
 public:
  explicit SimFactory(klippy::Printer& printer) : printer_(printer) {}
  std::shared_ptr<klippy::ExtruderStepper> create_extruder_stepper(
      klippy::ConfigSection& config) override;
  std::shared_ptr<klippy::PwmLed> create_pwm_led(klippy::ConfigSection& config) override;
  std::unique_ptr<klippy::SpiDevice> create_spi(klippy::ConfigSection& config, int mode,
                                                const std::string& pin_option, int default_speed,
                                                const std::string& share_type) override;
  klippy::TrapqPtr create_trapq() override;

 private:
  klippy::Printer& printer_;
};

}  // namespace sim
