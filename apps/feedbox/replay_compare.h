// Compares what one box command did in the record with what the model does when the same
// command runs in the simulator: the sensor changes, paired in order per sensor and placed
// by how far the moving slot had fed; the error codes; the outcome. The model is the
// reference for what should have happened.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "apps/feedbox/record_file.h"

namespace feedbox {

// Sensor changes closer than this to the model's count as the same.
inline constexpr double kReplayToleranceMm = 3.0;

struct CommandSegment {
  std::string line;
  std::vector<RecordEvent> events;  // from its start to its end, other tasks' included
  double start_time = 0.0;
  double end_time = 0.0;
  bool finished = false;  // false: the record was written while it still ran
  bool ok = false;
  std::string error;
  // The toolhead's extruder position at its start and end, where the record tells.
  std::optional<double> extruder_start_mm, extruder_end_mm;
};

// The commands the replay runs again: those started from the console, a file or a macro,
// not those a box command or the box itself started, nor BOX_RECORD_DUMP.
std::vector<CommandSegment> recorded_commands(const RecordDump& dump);
// The first command that starts after `after_seq` in a recorder's events, up to its end.
CommandSegment model_command(const std::vector<RecordEvent>& events, std::uint64_t after_seq);
// One line per difference, in the order they happened; none when the record agrees.
std::vector<std::string> compare_command(const CommandSegment& recorded,
                                         const CommandSegment& model);

}  // namespace feedbox
