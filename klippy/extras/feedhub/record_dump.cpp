#include "klippy/extras/feedhub/record_dump.h"

#include <array>
#include <cmath>
#include <nlohmann/json.hpp>

#include "klippy/extras/feedhub/error_report.h"
#include "klippy/extras/feedhub/slots.h"

namespace feedhub {
namespace {

// Keys in the order written, so that a record reads as it always has.
using Json = nlohmann::ordered_json;

// Rounded to what the recorded quantity can mean (a microsecond, a tenth of a micrometre),
// which keeps a full dump small. Not a finite number: null.
Json number(double value, int decimals = 6) {
  static constexpr std::array<double, 7> kScale{1., 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
  if (!std::isfinite(value)) return nullptr;
  const double scale = kScale[static_cast<std::size_t>(decimals)];
  // Beyond 2^53 / scale a double has no such decimals left to round.
  if (std::fabs(value) >= 9e15 / scale) return value;
  return std::round(value * scale) / scale;
}

std::string sensor_name(int index) {
  if (index == 0) return "outlet";
  if (index == 1) return "entry";
  return "runout";
}

// Splits a variable entry's text at the separators: name, value, previous value.
std::vector<std::string_view> fields(std::string_view text) {
  std::vector<std::string_view> parts;
  for (std::size_t from = 0;;) {
    const std::size_t at = text.find(kVariableSeparator, from);
    parts.push_back(text.substr(from, at == std::string_view::npos ? at : at - from));
    if (at == std::string_view::npos) return parts;
    from = at + 1;
  }
}

Json text(std::string_view value) {
  return std::string(value);
}

// One record per line. Recorded texts are cut to the ring's size, which can split a
// multi-byte character, and G-code lines carry whatever bytes a file held: a byte that is
// not UTF-8 is written as U+FFFD, so that one bad byte never makes the record unreadable.
std::string line_of(const Json& line) {
  return line.dump(-1, ' ', false, Json::error_handler_t::replace) + '\n';
}

Json event_json(const RecordEntry& e) {
  Json line;
  line["seq"] = e.seq;
  line["time"] = number(e.time);
  switch (e.kind) {
    case RecordKind::Sensor:
      line["record"] = "sensor";
      line["print_time"] = number(e.print_time);
      line["sensor"] = sensor_name(e.detail);
      if (e.slot >= 0) line["slot"] = static_cast<int>(e.slot);
      line["filament"] = e.flag != 0;
      break;
    case RecordKind::Move:
      line["record"] = "move";
      line["slot"] = static_cast<int>(e.slot);
      line["distance"] = number(e.values[0], 4);
      line["speed"] = number(e.values[1], 3);
      line["accel"] = number(e.values[2], 3);
      line["start"] = number(e.print_time);
      line["end"] = number(e.values[3]);
      line["stopped"] = e.flag != 0;
      break;
    case RecordKind::CommandStart:
      line["record"] = "command";
      line["line"] = text(e.text_view());
      line["depth"] = static_cast<int>(e.detail);
      line["by_box"] = e.flag != 0;
      line["extruder"] = number(e.values[1], 4);
      break;
    case RecordKind::CommandEnd:
      line["record"] = "command_end";
      line["start_seq"] = static_cast<std::uint64_t>(e.values[0]);
      line["ok"] = e.flag != 0;
      line["extruder"] = number(e.values[1], 4);
      if (!e.flag) line["error"] = text(e.text_view());
      break;
    case RecordKind::Error: {
      const int code = static_cast<int>(e.values[0]);
      line["record"] = "error";
      line["code"] = code;
      line["step"] = step_name_for(code);
      if (e.slot >= 0) line["slot"] = static_cast<int>(e.slot);
      line["text"] = text(e.text_view());
      break;
    }
    case RecordKind::Ready:
      line["record"] = "ready";
      line["print_time"] = number(e.print_time);
      line["extruder"] = number(e.values[1], 4);
      break;
    case RecordKind::Variable: {
      const std::vector<std::string_view> parts = fields(e.text_view());
      line["record"] = "variable";
      line["name"] = text(parts.at(0));
      line["value"] = parts.size() > 1 && e.flag ? text(parts[1]) : Json();
      line["old"] = parts.size() > 2 ? text(parts[2]) : Json();
      break;
    }
  }
  if (e.truncated) line["truncated"] = true;
  return line;
}

}  // namespace

std::string format_record_dump(const RecordSnapshot& snapshot, const DumpContext& context) {
  Json header;
  header["record"] = "header";
  header["format"] = kRecordDumpFormat;
  header["reason"] = context.reason;
  header["time"] = number(context.time);
  header["print_time"] = number(context.print_time);
  header["events"] = snapshot.entries.size();
  header["dropped"] = snapshot.dropped;
  header["capacity"] = context.capacity;
  std::string out = line_of(header);

  Json wiring = Json::object();
  for (const auto& [option, value] : context.wiring) wiring[option] = value;
  out += line_of(Json{{"record", "config"}, {"feedhub", wiring}, {"slots", context.slots}});

  // Values in their saved-variables form, so that every type reads back exactly.
  Json values = Json::object();
  for (const auto& [name, value] : context.variables) values[name] = value.repr();
  out += line_of(Json{{"record", "variables"}, {"values", values}});

  Json sensors = Json::object();
  for (int index = 0; index < kRecordedSensorCount; ++index) {
    const std::int8_t level = snapshot.start_levels[static_cast<std::size_t>(index)];
    if (level >= 0) sensors[index < 2 ? sensor_name(index) : slot_name(index - 2)] = level != 0;
  }
  out += line_of(Json{{"record", "start"}, {"sensors", sensors}});

  for (const RecordEntry& entry : snapshot.entries) out += line_of(event_json(entry));
  return out;
}

}  // namespace feedhub
