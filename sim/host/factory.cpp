#include "sim/host/factory.h"

#include <algorithm>
#include <optional>

#include "klippy/host/toolhead.h"
#include "sim/host/environment.h"
#include "sim/host/extruder_stepper.h"
#include "sim/host/led.h"
#include "sim/host/spi.h"
#include "sim/world/trapq.h"

namespace sim {
namespace {

// A module's private motion queue. A slot feeder frees its whole queue right after a
// homing trip (the real host has generated the steps by then), but the filament world
// replays motion from its last anchor, a second or so back: the newest history stays.
class ModuleTrapq final : public SimTrapq {
 public:
  static constexpr double kKeptHistory_s = 30.0;
  explicit ModuleTrapq(klippy::Printer& printer) : printer_(printer) {}
  void append(double print_time, double accel_t, double cruise_t, double decel_t,
              klippy::Coord start_pos, klippy::Coord axes_r, double start_v, double cruise_v,
              double accel) override {
    SimTrapq::append(print_time, accel_t, cruise_t, decel_t, start_pos, axes_r, start_v, cruise_v,
                     accel);
    appended_at_flush_ = flush_count();
  }
  // Moves appended since the toolhead's last step flush have no steps yet.
  bool has_ungenerated_moves() const override {
    return appended_at_flush_ && *appended_at_flush_ == flush_count();
  }
  void finalize_moves(double print_time, double clear_history_time) override {
    SimTrapq::finalize_moves(print_time, std::min(clear_history_time, end_time() - kKeptHistory_s));
  }

 private:
  unsigned long flush_count() const {
    auto* head = printer_.lookup_object_or_null<klippy::Toolhead>("toolhead");
    return head ? head->step_flush_count() : 0;
  }

  klippy::Printer& printer_;
  std::optional<unsigned long> appended_at_flush_;
};

}  // namespace

std::shared_ptr<klippy::ExtruderStepper> SimFactory::create_extruder_stepper(
    klippy::ConfigSection& config) {
  auto stepper = std::make_shared<SimExtruderStepper>(config);
  printer_.lookup_object<SimEnvironment>(SimEnvironment::kName)
      .note_feed_stepper(config.get_name(), stepper->sim_stepper());
  return stepper;
}

std::shared_ptr<klippy::PwmLed> SimFactory::create_pwm_led(klippy::ConfigSection& config) {
  auto led = make_pwm_led(config);
  // Registered under its owner's section, so that the host's status shows every slot's
  // colour.
  printer_.add_object("led " + config.get_name(), led);
  return led;
}

std::unique_ptr<klippy::SpiDevice> SimFactory::create_spi(klippy::ConfigSection& config, int mode,
                                                          const std::string& pin_option,
                                                          int default_speed,
                                                          const std::string& share_type) {
  return make_spi(config, mode, pin_option, default_speed, share_type);
}

klippy::TrapqPtr SimFactory::create_trapq() {
  return std::make_shared<ModuleTrapq>(printer_);
}

}  // namespace sim
