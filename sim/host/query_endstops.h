// QUERY_ENDSTOPS: the state of every registered endstop at the toolhead's print time.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "klippy/host/gcode.h"
#include "klippy/host/mcu.h"
#include "klippy/host/printer.h"

namespace sim {

class SimQueryEndstops final : public klippy::QueryEndstops {
 public:
  explicit SimQueryEndstops(klippy::Printer& printer);

  // The endstop must outlive this object (its owner is created later, so it is).
  void register_endstop(klippy::McuEndstop& endstop, const std::string& name) override;
  // Answers "name:open name:TRIGGERED ..." in registration order.
  void cmd_QUERY_ENDSTOPS(klippy::GCodeCommand& gcmd);
  std::optional<klippy::Value> get_status(double eventtime) override;

 private:
  double query_time(klippy::McuEndstop& endstop);

  klippy::Printer& printer_;
  std::vector<std::pair<std::string, klippy::McuEndstop*>> endstops_;
  std::vector<std::pair<std::string, bool>> last_state_;
};

}  // namespace sim
