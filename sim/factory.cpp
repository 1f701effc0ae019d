#include "sim/factory.h"

#include "sim/environment.h"
#include "sim/extruder_stepper.h"
#include "sim/led.h"
#include "sim/spi.h"
#include "sim/trapq.h"

namespace sim {

std::shared_ptr<klippy::ExtruderStepper> SimFactory::create_extruder_stepper(
    klippy::ConfigSection& config) {
  auto stepper = std::make_shared<SimExtruderStepper>(config);
  printer_.lookup_object<SimEnvironment>(SimEnvironment::kName)
      .note_feed_stepper(config.get_name(), stepper->sim_stepper());
  return stepper;
}

std::shared_ptr<klippy::PwmLed> SimFactory::create_pwm_led(klippy::ConfigSection& config) {
  return make_pwm_led(config);
}

std::unique_ptr<klippy::SpiDevice> SimFactory::create_spi(klippy::ConfigSection& config, int mode,
                                                          const std::string& pin_option,
                                                          int default_speed) {
  return make_spi(config, mode, pin_option, default_speed);
}

klippy::TrapqPtr SimFactory::create_trapq() {
  return std::make_shared<SimTrapq>();
}

}  // namespace sim
