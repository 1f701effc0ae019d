// An endstop of a simulated MCU. Instead of sampling, it asks the pin's level source for the
// exact print time the level reaches the wanted state, and looks again whenever planned
// motion or scheduled levels change. The trip time is that crossing: the real MCU's
// confirmation samples (sample_time x sample_count) add no delay here, so homing results are
// exact and reproducible.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "klippy/host/mcu.h"
#include "klippy/host/reactor.h"

namespace sim {

class SimMcu;

class SimEndstop final : public klippy::McuEndstop {
 public:
  // How far past the start of a homing an armed endstop looks for its trip.
  static constexpr double kSearchHorizon_s = 1e7;

  SimEndstop(SimMcu& mcu, klippy::PinParams pin);
  ~SimEndstop() override;
  SimEndstop(const SimEndstop&) = delete;
  SimEndstop& operator=(const SimEndstop&) = delete;

  klippy::Mcu& get_mcu() override;
  void add_stepper(klippy::Stepper& stepper) override;
  std::vector<klippy::Stepper*> get_steppers() const override { return steppers_; }
  // The completion is completed with the trip print time when reactor time reaches it; at
  // that moment every attached stepper stops at the trip time.
  klippy::CompletionPtr home_start(double print_time, double sample_time, int sample_count,
                                   double rest_time, bool triggered = true) override;
  // CommandError "Communication timeout during homing" when the MCU is unplugged.
  double home_wait(double home_end_time) override;
  bool query_endstop(double print_time) override;

 private:
  std::optional<double> find_trip() const;
  void recompute();
  void trip(double print_time);
  void disarm();

  SimMcu& mcu_;
  klippy::Reactor& reactor_;
  klippy::PinParams pin_;
  std::vector<klippy::Stepper*> steppers_;
  bool armed_ = false;
  bool tripped_ = false;
  bool triggered_ = true;
  double start_time_ = 0.;
  double trip_time_ = 0.;
  std::optional<double> pending_trip_;
  klippy::CompletionPtr completion_;
  klippy::TimerHandle timer_;
  std::shared_ptr<void> watch_;
};

}  // namespace sim
