#include "apps/feedbox/record_file.h"

#include <istream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "klippy/extras/feedhub/slots.h"

namespace feedbox {
namespace {

using nlohmann::json;

RecordEvent event_of(const json& line) {
  RecordEvent e;
  const std::string record = line.at("record").get<std::string>();
  e.seq = line.value("seq", std::uint64_t{0});
  e.time = line.value("time", 0.0);
  e.truncated = line.value("truncated", false);
  auto number = [&](const char* key) {
    const json& v = line.at(key);
    return v.is_null() ? 0.0 : v.get<double>();
  };
  if (record == "sensor") {
    e.kind = RecordEvent::Kind::Sensor;
    e.print_time = number("print_time");
    e.sensor = line.at("sensor").get<std::string>();
    e.slot = line.value("slot", -1);
    e.filament = line.at("filament").get<bool>();
  } else if (record == "move") {
    e.kind = RecordEvent::Kind::Move;
    e.slot = line.at("slot").get<int>();
    e.distance_mm = number("distance");
    e.speed_mm_s = number("speed");
    e.accel_mm_s2 = number("accel");
    e.print_time = number("start");
    e.end_time = number("end");
  } else if (record == "command") {
    e.kind = RecordEvent::Kind::Command;
    e.text = line.at("line").get<std::string>();
    e.depth = line.value("depth", 0);
    e.by_box = line.value("by_box", false);
  } else if (record == "command_end") {
    e.kind = RecordEvent::Kind::CommandEnd;
    e.start_seq = line.at("start_seq").get<std::uint64_t>();
    e.ok = line.at("ok").get<bool>();
    e.text = line.value("error", std::string());
  } else if (record == "error") {
    e.kind = RecordEvent::Kind::Error;
    e.code = line.at("code").get<int>();
    e.slot = line.value("slot", -1);
    e.text = line.value("text", std::string());
  } else if (record == "variable") {
    e.kind = RecordEvent::Kind::Variable;
    e.text = line.at("name").get<std::string>();
    if (!line.at("value").is_null()) e.value = line.at("value").get<std::string>();
    if (!line.at("old").is_null()) e.old = line.at("old").get<std::string>();
  } else if (record == "ready") {
    e.kind = RecordEvent::Kind::Ready;
    e.print_time = number("print_time");
  }
  return e;
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
        header = true;
        dump.reason = line.value("reason", std::string());
        dump.time = line.value("time", 0.0);
        dump.dropped = line.value("dropped", std::uint64_t{0});
      } else if (record == "config") {
        dump.slots = line.at("slots").get<std::vector<std::string>>();
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
