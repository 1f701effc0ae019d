// A black-box record as the replay reads it: from a dump file of the box, or from the
// recorder of a running simulated box.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "klippy/extras/feedhub/record_ring.h"

namespace feedbox {

struct RecordEvent {
  enum class Kind { Sensor, Move, Command, CommandEnd, Error, Variable, Ready, Other };
  Kind kind = Kind::Other;
  std::uint64_t seq = 0;
  double time = 0.0;
  double print_time = 0.0;  // sensor change; move start
  // Sensor: "outlet", "entry" or "runout" (with slot).
  std::string sensor;
  int slot = -1;
  bool filament = false;  // sensor level; command end: ok
  // Move.
  double distance_mm = 0.0, speed_mm_s = 0.0, accel_mm_s2 = 0.0, end_time = 0.0;
  // Command: line, depth, by_box; command end: start_seq, ok, error; error: code, text;
  // variable: name, value, old.
  std::string text;
  int depth = 0;
  bool by_box = false;
  bool ok = false;
  std::uint64_t start_seq = 0;
  int code = 0;
  std::optional<std::string> value, old;
  bool truncated = false;
  // Command, command end and ready: the toolhead's extruder position, when the record tells.
  std::optional<double> extruder_mm;
};

struct RecordDump {
  std::string reason;
  double time = 0.0;
  std::uint64_t dropped = 0;
  std::vector<std::string> slots;
  std::map<std::string, std::string> variables;  // name -> saved-variables literal
  std::map<std::string, bool> start_sensors;     // "outlet", "entry", "slotN"
  std::vector<RecordEvent> events;
};

// std::runtime_error naming the line that is not a record of the box.
RecordDump read_record_dump(std::istream& in, const std::string& source_name);
// The events of a running recorder, oldest first.
std::vector<RecordEvent> events_of(const feedhub::RecordSnapshot& snapshot);

}  // namespace feedbox
