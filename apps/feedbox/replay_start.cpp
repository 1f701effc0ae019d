#include "apps/feedbox/replay_start.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "apps/feedbox/box_templates.h"
#include "klippy/extras/feedhub/slots.h"
#include "klippy/extras/feedlane/tuning.h"
#include "klippy/host/errors.h"
#include "sim/world/world_geometry.h"

namespace feedbox {
namespace {

// The host reports a sensor's level once right after its start; reports this soon after
// the ready event are the levels the box started with.
constexpr double kStartReportsS = 1.0;
// A load stops its strand just past the extruder-entry sensor, a failed step close behind
// the sensor that last saw it.
constexpr double kPastEntryMm = 2.0;
constexpr double kPastOutletMm = 5.0;

const RecordEvent* ready_event(const RecordDump& dump) {
  for (const RecordEvent& e : dump.events)
    if (e.kind == RecordEvent::Kind::Ready) return &e;
  return nullptr;
}

std::string sensor_key(const RecordEvent& e) {
  return e.sensor == "runout" ? feedhub::slot_name(e.slot) : e.sensor;
}

// What each sensor read when the history began; absent when the record does not tell.
std::map<std::string, bool> start_levels(const RecordDump& dump, bool from_host_start,
                                         double ready_time) {
  std::map<std::string, bool> levels;
  if (!from_host_start) return dump.start_sensors;
  for (const RecordEvent& e : dump.events) {
    if (e.kind != RecordEvent::Kind::Sensor || e.time > ready_time + kStartReportsS) continue;
    levels.emplace(sensor_key(e), e.filament);
  }
  return levels;
}

double saved_number(const klippy::VariableMap& variables, const std::string& key,
                    double default_value) {
  const auto it = variables.find(key);
  if (it == variables.end()) return default_value;
  if (it->second.is_int()) return static_cast<double>(it->second.as_int());
  if (it->second.is_float()) return it->second.as_float();
  return default_value;
}

// A slot's state is a small number; a huge one is no state the box saved.
long long saved_state(const klippy::VariableMap& variables, const std::string& slot) {
  constexpr double kLargestState = 1000.0;
  const double state = saved_number(variables, slot, 0);
  return std::isfinite(state) && std::abs(state) <= kLargestState ? static_cast<long long>(state)
                                                                  : 0;
}

std::string mm_text(double mm) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", mm);
  return text;
}

}  // namespace

ReplayStart replay_start(const RecordDump& dump) {
  ReplayStart start;
  int last_slot = 0;
  for (const std::string& slot : dump.slots) {
    int number = 0;
    if (std::sscanf(slot.c_str(), "slot%d", &number) == 1) last_slot = std::max(last_slot, number);
  }
  start.boxes = dump.slots.empty() ? 0 : last_slot / feedhub::kSlotsPerBox + 1;

  const RecordEvent* ready = ready_event(dump);
  start.from_host_start = dump.dropped == 0 && ready;
  if (start.from_host_start) {
    for (const RecordEvent& e : dump.events) {
      if (e.kind == RecordEvent::Kind::Command && e.depth == 0 && !e.by_box) {
        start.settle_s = std::max(0.0, e.time - ready->time);
        break;
      }
    }
  }

  // Each recorded write undone, newest first, leaves the variables of the history's start.
  std::map<std::string, std::string> literals = dump.variables;
  for (auto it = dump.events.rbegin(); it != dump.events.rend(); ++it) {
    if (it->kind != RecordEvent::Kind::Variable) continue;
    if (it->truncated) {
      start.notes.push_back("the earlier value of " + it->text +
                            " was too long for the record; the replay starts from its later one");
      continue;
    }
    if (it->old)
      literals[it->text] = *it->old;
    else
      literals.erase(it->text);
  }
  for (const auto& [name, literal] : literals) {
    try {
      start.variables[name] = klippy::Value::parse(literal);
    } catch (const std::exception&) {
      start.notes.push_back("the saved " + name + " = " + literal +
                            " does not read back; the replay starts without it");
    }
  }

  const std::map<std::string, bool> levels =
      start_levels(dump, start.from_host_start, ready ? ready->time : 0.0);
  auto level = [&](const std::string& key) -> std::optional<bool> {
    const auto it = levels.find(key);
    return it == levels.end() ? std::nullopt : std::optional<bool>(it->second);
  };
  const sim::WorldGeometry geometry;
  // The box refuses to park by a length beyond what its feed moves can take, so no strand
  // was parked by such a saved one.
  const std::string park_key(feedlane::kSlotLoad3.key);
  double park_mm = saved_number(start.variables, park_key, feedlane::kSlotLoad3.length_mm);
  if (!std::isfinite(park_mm) || std::abs(park_mm) > feedlane::kMaxFeedLengthMm) {
    start.notes.push_back("the saved " + park_key + " is no length the box moves by; the replay " +
                          "parks strands by the default " +
                          mm_text(feedlane::kSlotLoad3.length_mm) + " mm");
    park_mm = feedlane::kSlotLoad3.length_mm;
  }
  const double parked_mm = geometry.outlet_mm + park_mm;
  for (int slot = 0; slot < feedhub::slot_count_of_boxes(start.boxes); ++slot) {
    const std::string name = feedhub::slot_name(slot);
    SlotStart& s = start.slots[slot];
    const long long state = saved_state(start.variables, name);
    // A sensor that never reported reads filament, as the host's buttons start.
    s.spool = level(name).value_or(true) || state != 0;
    s.tip_mm = geometry.inserted_tip_mm;
    s.where = "just past its runout sensor";
    if (!s.spool) continue;
    const bool outlet = level("outlet").value_or(false), entry = level("entry").value_or(false);
    if (state == 1) {
      s.tip_mm = parked_mm;
      s.where = "parked behind the box outlet";
    } else if (state == 2 || (state == -2 && entry)) {
      s.tip_mm = geometry.entry_mm() + kPastEntryMm;
      s.where = "just past the extruder-entry sensor";
    } else if (state < 0 && outlet) {
      s.tip_mm = geometry.outlet_mm + kPastOutletMm;
      s.where = "just past the box outlet";
    }
  }
  return start;
}

std::string replay_world_file(int box, const ReplayStart& start) {
  std::istringstream in(per_box_world_file(box));
  std::string text, line;
  while (std::getline(in, line)) {
    int slot = -1;
    char rest[8];
    if (std::sscanf(line.c_str(), "slot%d_spool%7s", &slot, rest) == 2) {
      const auto it = start.slots.find(slot);
      if (it == start.slots.end() || !it->second.spool) continue;
      text += line + "\n";
      if (it->second.tip_mm != sim::WorldGeometry{}.inserted_tip_mm)
        text += "slot" + std::to_string(slot) + "_tip_mm: " + mm_text(it->second.tip_mm) + "\n";
      continue;
    }
    text += line + "\n";
  }
  return text;
}

}  // namespace feedbox
