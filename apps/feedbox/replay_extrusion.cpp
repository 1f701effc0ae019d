#include "apps/feedbox/replay_extrusion.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "klippy/host/gcode.h"
#include "klippy/host/toolhead.h"

namespace feedbox {
namespace {

// The replayed printer's own command; the box does not record it, so it never shows as a
// command of the model.
constexpr const char* kExtrudeCommand = "REPLAY_EXTRUDE";
// One queued move at a time stays short, as a print's moves are, so the filament world
// solves its sensor changes over a short queue.
constexpr double kChunkMm = 50.0;
// Below this the extrusion is rounding of the recorded positions.
constexpr double kSmallestMm = 0.01;
constexpr double kMinSpeedMmS = 1.0;
constexpr double kMaxSpeedMmS = 50.0;

void register_extrude(sim::SimHost& host) {
  klippy::GCodeDispatch& gcode = host.gcode();
  if (gcode.is_registered(kExtrudeCommand)) return;
  klippy::Printer& printer = host.printer();
  gcode.register_command(
      kExtrudeCommand,
      [&printer](klippy::GCodeCommand& gcmd) {
        const double distance_mm = gcmd.get_float("DISTANCE");
        const double speed_mm_s = gcmd.get_float("SPEED", {}, {.above = 0.});
        auto& toolhead = printer.lookup_object<klippy::Toolhead>("toolhead");
        for (double left = distance_mm; std::abs(left) > kSmallestMm / 2;) {
          const double step = std::clamp(left, -kChunkMm, kChunkMm);
          klippy::Position position = toolhead.get_position();
          position[3] += step;
          toolhead.move(position, speed_mm_s);
          left -= step;
        }
        // The G-code position follows, or the next G-code move would take the extruder back.
        printer.lookup_object<klippy::GCodeMove>("gcode_move").reset_last_position();
      },
      "Move the extruder as the recorded print did between two box commands: " +
          std::string(kExtrudeCommand) + " DISTANCE=<mm> SPEED=<mm/s>");
}

}  // namespace

std::string replay_printer_overrides() {
  return "\n[extruder]\nmin_extrude_temp: 0\n";
}

double replay_extrusion(Session& session, double distance_mm, double within_s) {
  const double moved_mm =
      std::clamp(distance_mm, -kMaxReplayedExtrusionMm, kMaxReplayedExtrusionMm);
  if (std::abs(moved_mm) < kSmallestMm) return 0.0;
  const double speed_mm_s =
      within_s > 0.0 ? std::clamp(std::abs(moved_mm) / within_s, kMinSpeedMmS, kMaxSpeedMmS)
                     : kMaxSpeedMmS;
  register_extrude(session.host());
  char line[96];
  std::snprintf(line, sizeof line, "%s DISTANCE=%.4f SPEED=%.4f", kExtrudeCommand, moved_mm,
                speed_mm_s);
  session.run_command(line);
  return moved_mm;
}

}  // namespace feedbox
