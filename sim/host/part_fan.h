// The part cooling fan ("fan"): M106/M107 set its speed, which only shows in its status.
#pragma once

#include <optional>

#include "klippy/host/config.h"
#include "klippy/host/object.h"

namespace sim {

class SimPartFan final : public klippy::PrinterObject {
 public:
  // Reads the fan's pin and tuning options (only accepted); registers M106 and M107.
  explicit SimPartFan(klippy::ConfigSection& config);
  double speed() const { return speed_; }
  std::optional<klippy::Value> get_status(double eventtime) override;

 private:
  double max_power_;
  double off_below_;
  double speed_ = 0.;
};

}  // namespace sim
