#include "sim/host/gcode_move.h"

#include <cstdio>

#include "sim/host/toolhead.h"

namespace sim {
namespace {

constexpr const char* kAxisNames[] = {"X", "Y", "Z", "E"};

// Lets the toolhead stand at the bottom of a stack of move transforms.
class ToolheadTransform final : public klippy::MoveTransform {
 public:
  explicit ToolheadTransform(klippy::Toolhead& toolhead) : toolhead_(toolhead) {}
  void move(const klippy::Position& newpos, double speed) override {
    toolhead_.move(newpos, speed);
  }
  klippy::Position get_position() override { return toolhead_.get_position(); }

 private:
  klippy::Toolhead& toolhead_;
};

klippy::Value list_value(const klippy::Position& pos) {
  return klippy::Value(klippy::Value::List(pos.begin(), pos.end()));
}

}  // namespace

SimGCodeMove::SimGCodeMove(klippy::Printer& printer, SimToolhead& toolhead)
    : toolhead_(toolhead), toolhead_transform_(std::make_shared<ToolheadTransform>(toolhead)) {
  printer.register_event_handler("klippy:ready", [this] {
    is_printer_ready_ = true;
    reset_last_position();
  });
  printer.register_event_handler("toolhead:set_position", [this] { reset_last_position(); });
  auto& gcode = printer.lookup_object<klippy::GCodeDispatch>("gcode");
  auto on = [this](void (SimGCodeMove::*handler)(klippy::GCodeCommand&)) {
    return [this, handler](klippy::GCodeCommand& gcmd) { (this->*handler)(gcmd); };
  };
  gcode.register_command("G1", on(&SimGCodeMove::cmd_G1));
  gcode.register_command("G0", on(&SimGCodeMove::cmd_G1));
  gcode.register_command("G28", on(&SimGCodeMove::cmd_G28));
  gcode.register_command("G92", on(&SimGCodeMove::cmd_G92));
  gcode.register_command("M114", on(&SimGCodeMove::cmd_M114));
  gcode.register_command("M220", on(&SimGCodeMove::cmd_M220));
  gcode.register_command("M221", on(&SimGCodeMove::cmd_M221));
  gcode.register_command("G90", [this](klippy::GCodeCommand&) { absolute_coord_ = true; });
  gcode.register_command("G91", [this](klippy::GCodeCommand&) { absolute_coord_ = false; });
  gcode.register_command("M82", [this](klippy::GCodeCommand&) { absolute_extrude_ = true; });
  gcode.register_command("M83", [this](klippy::GCodeCommand&) { absolute_extrude_ = false; });
}

klippy::MoveTransform& SimGCodeMove::transform() {
  return move_transform_ ? *move_transform_ : *toolhead_transform_;
}

std::shared_ptr<klippy::MoveTransform> SimGCodeMove::set_move_transform(
    std::shared_ptr<klippy::MoveTransform> transform, bool force) {
  if (move_transform_ && !force)
    throw klippy::ConfigError("G-Code move transform already specified");
  auto previous = move_transform_ ? move_transform_ : toolhead_transform_;
  move_transform_ = std::move(transform);
  return previous;
}

void SimGCodeMove::reset_last_position() {
  if (is_printer_ready_) last_position_ = transform().get_position();
}

klippy::Position SimGCodeMove::gcode_position() const {
  klippy::Position pos;
  for (int i = 0; i < 3; ++i) pos[i] = last_position_[i] - base_position_[i];
  pos[3] = (last_position_[3] - base_position_[3]) / extrude_factor_;
  return pos;
}

void SimGCodeMove::cmd_G1(klippy::GCodeCommand& gcmd) {
  // Everything is parsed before anything changes, so a bad parameter leaves no trace.
  klippy::Position target = last_position_;
  for (int i = 0; i < 3; ++i) {
    if (!gcmd.has(kAxisNames[i])) continue;
    const double value = gcmd.get_float(kAxisNames[i]);
    target[i] = absolute_coord_ ? value + base_position_[i] : target[i] + value;
  }
  if (gcmd.has("E")) {
    const double value = gcmd.get_float("E") * extrude_factor_;
    target[3] =
        absolute_coord_ && absolute_extrude_ ? value + base_position_[3] : target[3] + value;
  }
  double speed = speed_mm_s_;
  if (gcmd.has("F")) speed = gcmd.get_float("F", {}, {.above = 0.}) * speed_factor_;
  transform().move(target, speed);
  last_position_ = target;
  speed_mm_s_ = speed;
}

void SimGCodeMove::cmd_G28(klippy::GCodeCommand& gcmd) {
  // Homing is instantaneous here: the homed axes simply are at their endstops.
  std::string axes;
  for (int i = 0; i < 3; ++i) {
    if (gcmd.has(kAxisNames[i])) axes += static_cast<char>('x' + i);
  }
  if (axes.empty()) axes = "xyz";
  toolhead_.home_axes(axes);
  for (char axis : axes) base_position_[axis - 'x'] = homing_position_[axis - 'x'];
  reset_last_position();
}

void SimGCodeMove::cmd_G92(klippy::GCodeCommand& gcmd) {
  klippy::Position offsets{};
  bool any = false;
  std::array<bool, 4> given{};
  for (int i = 0; i < 4; ++i) {
    if (!gcmd.has(kAxisNames[i])) continue;
    offsets[i] = gcmd.get_float(kAxisNames[i]);
    given[i] = any = true;
  }
  if (!any) {
    base_position_ = last_position_;
    return;
  }
  for (int i = 0; i < 4; ++i) {
    if (!given[i]) continue;
    const double offset = i == 3 ? offsets[i] * extrude_factor_ : offsets[i];
    base_position_[i] = last_position_[i] - offset;
  }
}

void SimGCodeMove::cmd_M114(klippy::GCodeCommand& gcmd) {
  const klippy::Position p = gcode_position();
  char text[160];
  std::snprintf(text, sizeof text, "X:%.3f Y:%.3f Z:%.3f E:%.3f", p[0], p[1], p[2], p[3]);
  gcmd.respond_raw(text);
}

void SimGCodeMove::cmd_M220(klippy::GCodeCommand& gcmd) {
  const double factor = gcmd.get_float("S", 100., {.above = 0.}) / (60. * 100.);
  speed_mm_s_ = speed_mm_s_ / speed_factor_ * factor;
  speed_factor_ = factor;
}

void SimGCodeMove::cmd_M221(klippy::GCodeCommand& gcmd) {
  const double factor = gcmd.get_float("S", 100., {.above = 0.}) / 100.;
  const double e_value = (last_position_[3] - base_position_[3]) / extrude_factor_;
  base_position_[3] = last_position_[3] - e_value * factor;
  extrude_factor_ = factor;
}

std::optional<klippy::Value> SimGCodeMove::get_status(double /*eventtime*/) {
  return klippy::Value(klippy::Value::Dict{
      {"speed_factor", speed_factor_ * 60.},
      {"speed", speed_mm_s_ / speed_factor_},
      {"extrude_factor", extrude_factor_},
      {"absolute_coordinates", absolute_coord_},
      {"absolute_extrude", absolute_extrude_},
      {"homing_origin", list_value(homing_position_)},
      {"position", list_value(last_position_)},
      {"gcode_position", list_value(gcode_position())},
  });
}

}  // namespace sim
