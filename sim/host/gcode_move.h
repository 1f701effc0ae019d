// The G-code move state ("gcode_move"): absolute/relative coordinates and extrusion, the
// G92 offsets, speed and extrusion factors, and the move transform every G0/G1 goes through
// (the toolhead unless a module stacked one on it).
#pragma once

#include <memory>
#include <optional>

#include "klippy/host/gcode.h"
#include "klippy/host/printer.h"
#include "klippy/host/toolhead.h"

namespace sim {

class SimToolhead;

class SimGCodeMove final : public klippy::GCodeMove {
 public:
  // Registers G0, G1, G28, G90, G91, G92, M82, M83, M114, M220 and M221.
  SimGCodeMove(klippy::Printer& printer, SimToolhead& toolhead);

  // ConfigError "G-Code move transform already specified" for a second transform without
  // `force`. The previous transform is returned; the first time that is the toolhead.
  std::shared_ptr<klippy::MoveTransform> set_move_transform(
      std::shared_ptr<klippy::MoveTransform> transform, bool force) override;
  // Takes the position from the current transform (once the printer is ready).
  void reset_last_position() override;
  klippy::Position last_position() const override { return last_position_; }
  std::optional<klippy::Value> get_status(double eventtime) override;

 private:
  klippy::MoveTransform& transform();
  // Position in G-code coordinates: the G92 offsets and the extrusion factor removed.
  klippy::Position gcode_position() const;

  void cmd_G1(klippy::GCodeCommand& gcmd);
  void cmd_G28(klippy::GCodeCommand& gcmd);
  void cmd_G92(klippy::GCodeCommand& gcmd);
  void cmd_M114(klippy::GCodeCommand& gcmd);
  void cmd_M220(klippy::GCodeCommand& gcmd);
  void cmd_M221(klippy::GCodeCommand& gcmd);

  SimToolhead& toolhead_;
  std::shared_ptr<klippy::MoveTransform> toolhead_transform_;
  std::shared_ptr<klippy::MoveTransform> move_transform_;  // null: straight to the toolhead
  bool is_printer_ready_ = false;
  bool absolute_coord_ = true;
  bool absolute_extrude_ = true;
  klippy::Position base_position_{};
  klippy::Position last_position_{};
  klippy::Position homing_position_{};
  double speed_mm_s_ = 25.;
  double speed_factor_ = 1. / 60.;  // F is in mm/min
  double extrude_factor_ = 1.;
};

}  // namespace sim
