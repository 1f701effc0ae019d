// [display_status]: M73, M117 and SET_DISPLAY_TEXT, and the message and progress that front
// ends show in their status panel.
#pragma once

#include <optional>
#include <string>

#include "klippy/host/config.h"
#include "klippy/host/gcode.h"
#include "klippy/host/object.h"

namespace sim {

class SimDisplayStatus final : public klippy::PrinterObject {
 public:
  explicit SimDisplayStatus(klippy::ConfigSection& config);
  std::optional<klippy::Value> get_status(double eventtime) override;

 private:
  void cmd_M73(klippy::GCodeCommand& gcmd);
  void cmd_M117(klippy::GCodeCommand& gcmd);
  void cmd_SET_DISPLAY_TEXT(klippy::GCodeCommand& gcmd);

  klippy::Printer& printer_;
  std::optional<double> progress_;
  double progress_expires_ = 0.0;
  std::optional<std::string> message_;
};

}  // namespace sim
