#include "apps/feedbox/record_file.h"

#include <cmath>
#include <istream>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "klippy/extras/feedhub/record_dump.h"
#include "klippy/extras/feedhub/slots.h"
#include "klippy/host/value.h"

namespace feedbox {
namespace {

using nlohmann::json;

// Bounds of what a box writes. A damaged or made-up record beyond them is refused: a replay
// would wait for ever on its times, and its numbers would not fit what reads them.
constexpr double kMaxTimeS = 1e9;  // about thirty years of host uptime
constexpr double kMaxDistanceMm = 1e6;
constexpr double kMaxSpeed = 1e6;  // mm/s and mm/s^2
constexpr long long kMaxCode = 999;
constexpr long long kMaxDepth = 1000;
// What one extruder can push in thirty years of printing.
constexpr double kMaxExtruderMm = 1e9;

// A field that no box writes; the reader adds the line number.
class BadField : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

const json* field(const json& line, const char* key, bool required) {
  const auto it = line.find(key);
  if (it != line.end()) return &*it;
  if (required) throw BadField(std::string("it has no ") + key);
  return nullptr;
}

std::string text_of(const json& value) {
  const std::string text = value.dump();
  return text.size() <= 40 ? text : text.substr(0, 40) + "...";
}

long long whole(const json& line, const char* key, long long low, long long high,
                std::optional<long long> absent = std::nullopt) {
  const json* value = field(line, key, !absent);
  if (!value) return *absent;
  const bool fits = value->is_number_unsigned()
                        ? value->get<std::uint64_t>() <= static_cast<std::uint64_t>(high)
                        : value->is_number_integer();
  const long long number = fits ? value->get<long long>() : 0;
  if (!fits || number < low || number > high)
    throw BadField(std::string(key) + " " + text_of(*value) + " is not a whole number from " +
                   std::to_string(low) + " to " + std::to_string(high));
  return number;
}

std::uint64_t count(const json& line, const char* key, bool required) {
  const json* value = field(line, key, required);
  if (!value) return 0;
  if (!value->is_number_unsigned())
    throw BadField(std::string(key) + " " + text_of(*value) + " is not a count");
  return value->get<std::uint64_t>();
}

// Null stands for a time the box could not tell (written for a NaN).
double bounded(const json& line, const char* key, double low, double high, bool required) {
  const json* value = field(line, key, required);
  if (!value || value->is_null()) return 0.0;
  const double number = value->is_number() ? value->get<double>() : NAN;
  if (!std::isfinite(number) || number < low || number > high)
    throw BadField(std::string(key) + " " + text_of(*value) + " is not a number from " +
                   text_of(json(low)) + " to " + text_of(json(high)));
  return number;
}

// Absent or null: the box could not tell.
std::optional<double> extruder_of(const json& line) {
  const json* value = field(line, "extruder", false);
  if (!value || value->is_null()) return std::nullopt;
  return bounded(line, "extruder", -kMaxExtruderMm, kMaxExtruderMm, true);
}

double seconds(const json& line, const char* key, bool required = true) {
  return bounded(line, key, -kMaxTimeS, kMaxTimeS, required);
}

int slot(const json& line, bool required) {
  return static_cast<int>(whole(line, "slot", required ? 0 : -1, feedhub::kMaxSlots - 1,
                                required ? std::nullopt : std::optional<long long>(-1)));
}

RecordEvent event_of(const json& line) {
  RecordEvent e;
  const std::string record = line.at("record").get<std::string>();
  e.seq = count(line, "seq", false);
  e.time = seconds(line, "time", false);
  e.truncated = line.value("truncated", false);
  if (record == "sensor") {
    e.kind = RecordEvent::Kind::Sensor;
    e.print_time = seconds(line, "print_time");
    e.sensor = line.at("sensor").get<std::string>();
    e.slot = slot(line, e.sensor == "runout");
    if (e.sensor != "outlet" && e.sensor != "entry" && e.sensor != "runout")
      throw BadField("sensor \"" + e.sensor + "\" is none of outlet, entry and runout");
    e.filament = line.at("filament").get<bool>();
  } else if (record == "move") {
    e.kind = RecordEvent::Kind::Move;
    e.slot = slot(line, true);
    e.distance_mm = bounded(line, "distance", -kMaxDistanceMm, kMaxDistanceMm, true);
    e.speed_mm_s = bounded(line, "speed", 0.0, kMaxSpeed, true);
    e.accel_mm_s2 = bounded(line, "accel", 0.0, kMaxSpeed, true);
    e.print_time = seconds(line, "start");
    e.end_time = seconds(line, "end");
    if (e.end_time < e.print_time) throw BadField("the move ends before it starts");
  } else if (record == "command") {
    e.kind = RecordEvent::Kind::Command;
    e.text = line.at("line").get<std::string>();
    e.depth = static_cast<int>(whole(line, "depth", 0, kMaxDepth, 0));
    e.by_box = line.value("by_box", false);
    e.extruder_mm = extruder_of(line);
    if (e.text.find_first_of("\r\n") != std::string::npos)
      throw BadField("the command line holds a line break, which no G-code line has");
  } else if (record == "command_end") {
    e.kind = RecordEvent::Kind::CommandEnd;
    e.start_seq = count(line, "start_seq", true);
    e.ok = line.at("ok").get<bool>();
    e.text = line.value("error", std::string());
    e.extruder_mm = extruder_of(line);
  } else if (record == "error") {
    e.kind = RecordEvent::Kind::Error;
    e.code = static_cast<int>(whole(line, "code", 0, kMaxCode));
    e.slot = slot(line, false);
    e.text = line.value("text", std::string());
  } else if (record == "variable") {
    e.kind = RecordEvent::Kind::Variable;
    e.text = line.at("name").get<std::string>();
    if (!line.at("value").is_null()) e.value = line.at("value").get<std::string>();
    if (!line.at("old").is_null()) e.old = line.at("old").get<std::string>();
  } else if (record == "ready") {
    e.kind = RecordEvent::Kind::Ready;
    e.print_time = seconds(line, "print_time");
    e.extruder_mm = extruder_of(line);
  }
  return e;
}

std::vector<std::string> slot_names(const json& line) {
  std::vector<std::string> slots = line.at("slots").get<std::vector<std::string>>();
  for (const std::string& name : slots) {
    if (!feedhub::slot_of_name(klippy::Value(name)))
      throw BadField("\"" + name + "\" is no slot name (slot0 to slot" +
                     std::to_string(feedhub::kMaxSlots - 1) + ")");
  }
  return slots;
}

}  // namespace

RecordDump read_record_dump(std::istream& in, const std::string& source_name) {
  RecordDump dump;
  bool header = false;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    if (text.empty()) continue;
    try {
      const json line = json::parse(text);
      const std::string record = line.at("record").get<std::string>();
      if (record == "header") {
        const long long format = whole(line, "format", 0, std::numeric_limits<int>::max());
        if (format != feedhub::kRecordDumpFormat)
          throw std::runtime_error(source_name + " is a box record of format " +
                                   std::to_string(format) +
                                   ", which this feedbox cannot read (it "
                                   "reads format " +
                                   std::to_string(feedhub::kRecordDumpFormat) +
                                   "); replay it with the feedbox of the box's version");
        header = true;
        dump.reason = line.value("reason", std::string());
        dump.time = seconds(line, "time", false);
        dump.dropped = count(line, "dropped", false);
      } else if (record == "config") {
        dump.slots = slot_names(line);
      } else if (record == "variables") {
        dump.variables = line.at("values").get<std::map<std::string, std::string>>();
      } else if (record == "start") {
        dump.start_sensors = line.at("sensors").get<std::map<std::string, bool>>();
      } else {
        dump.events.push_back(event_of(line));
      }
    } catch (const json::exception& e) {
      throw std::runtime_error(source_name + " line " + std::to_string(number) +
                               " is not a record of the box (" + e.what() + ")");
    } catch (const BadField& e) {
      throw std::runtime_error(source_name + " line " + std::to_string(number) +
                               " is not a record of the box (" + e.what() + ")");
    }
  }
  if (!header)
    throw std::runtime_error(source_name +
                             " is not a box record: it has no header line; give a "
                             "box_record_NNNNNN.jsonl file written by the box");
  return dump;
}

std::vector<RecordEvent> events_of(const feedhub::RecordSnapshot& snapshot) {
  std::vector<RecordEvent> events;
  for (const feedhub::RecordEntry& entry : snapshot.entries) {
    RecordEvent e;
    e.seq = entry.seq;
    e.time = entry.time;
    e.print_time = entry.print_time;
    e.slot = entry.slot;
    e.truncated = entry.truncated;
    const bool notes_extruder = entry.kind == feedhub::RecordKind::CommandStart ||
                                entry.kind == feedhub::RecordKind::CommandEnd ||
                                entry.kind == feedhub::RecordKind::Ready;
    if (notes_extruder && std::isfinite(entry.values[1])) e.extruder_mm = entry.values[1];
    switch (entry.kind) {
      case feedhub::RecordKind::Sensor:
        e.kind = RecordEvent::Kind::Sensor;
        e.sensor = entry.detail == 0 ? "outlet" : entry.detail == 1 ? "entry" : "runout";
        e.filament = entry.flag != 0;
        break;
      case feedhub::RecordKind::Move:
        e.kind = RecordEvent::Kind::Move;
        e.distance_mm = entry.values[0];
        e.speed_mm_s = entry.values[1];
        e.accel_mm_s2 = entry.values[2];
        e.end_time = entry.values[3];
        break;
      case feedhub::RecordKind::CommandStart:
        e.kind = RecordEvent::Kind::Command;
        e.text = entry.text_view();
        e.depth = entry.detail;
        e.by_box = entry.flag != 0;
        break;
      case feedhub::RecordKind::CommandEnd:
        e.kind = RecordEvent::Kind::CommandEnd;
        e.start_seq = static_cast<std::uint64_t>(entry.values[0]);
        e.ok = entry.flag != 0;
        e.text = entry.text_view();
        break;
      case feedhub::RecordKind::Error:
        e.kind = RecordEvent::Kind::Error;
        e.code = static_cast<int>(entry.values[0]);
        e.text = entry.text_view();
        break;
      case feedhub::RecordKind::Variable:
        e.kind = RecordEvent::Kind::Variable;
        break;
      case feedhub::RecordKind::Ready:
        e.kind = RecordEvent::Kind::Ready;
        break;
    }
    events.push_back(std::move(e));
  }
  return events;
}

}  // namespace feedbox
