#include "klippy/extras/feedhub/record_dump.h"

#include <cmath>
#include <cstdio>

#include "klippy/extras/feedhub/error_report.h"
#include "klippy/extras/feedhub/slots.h"

namespace feedhub {
namespace {

std::string number(double value, int decimals = 6) {
  if (!std::isfinite(value)) return "null";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
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

std::string event_line(const RecordEntry& e) {
  std::string line = "{\"seq\":" + std::to_string(e.seq) + ",\"time\":" + number(e.time) + ",";
  switch (e.kind) {
    case RecordKind::Sensor:
      line += "\"record\":\"sensor\",\"print_time\":" + number(e.print_time) + ",\"sensor\":\"" +
              sensor_name(e.detail) + "\"";
      if (e.slot >= 0) line += ",\"slot\":" + std::to_string(e.slot);
      line += std::string(",\"filament\":") + (e.flag ? "true" : "false");
      break;
    case RecordKind::Move:
      line += "\"record\":\"move\",\"slot\":" + std::to_string(e.slot) +
              ",\"distance\":" + number(e.values[0], 4) + ",\"speed\":" + number(e.values[1], 3) +
              ",\"accel\":" + number(e.values[2], 3) + ",\"start\":" + number(e.print_time) +
              ",\"end\":" + number(e.values[3]) + ",\"stopped\":" + (e.flag ? "true" : "false");
      break;
    case RecordKind::CommandStart:
      line += "\"record\":\"command\",\"line\":" + json_string(e.text_view()) +
              ",\"depth\":" + std::to_string(e.detail) +
              ",\"by_box\":" + (e.flag ? "true" : "false") +
              ",\"extruder\":" + number(e.values[1], 4);
      break;
    case RecordKind::CommandEnd:
      line += "\"record\":\"command_end\",\"start_seq\":" +
              std::to_string(static_cast<std::uint64_t>(e.values[0])) +
              ",\"ok\":" + (e.flag ? "true" : "false") + ",\"extruder\":" + number(e.values[1], 4);
      if (!e.flag) line += ",\"error\":" + json_string(e.text_view());
      break;
    case RecordKind::Error: {
      const int code = static_cast<int>(e.values[0]);
      line += "\"record\":\"error\",\"code\":" + std::to_string(code) +
              ",\"step\":" + json_string(step_name_for(code));
      if (e.slot >= 0) line += ",\"slot\":" + std::to_string(e.slot);
      line += ",\"text\":" + json_string(e.text_view());
      break;
    }
    case RecordKind::Ready:
      line += "\"record\":\"ready\",\"print_time\":" + number(e.print_time) +
              ",\"extruder\":" + number(e.values[1], 4);
      break;
    case RecordKind::Variable: {
      const std::vector<std::string_view> parts = fields(e.text_view());
      line += "\"record\":\"variable\",\"name\":" + json_string(parts.at(0));
      line += ",\"value\":" + (parts.size() > 1 && e.flag ? json_string(parts[1]) : "null");
      line += ",\"old\":" + (parts.size() > 2 ? json_string(parts[2]) : "null");
      break;
    }
  }
  if (e.truncated) line += ",\"truncated\":true";
  return line + "}\n";
}

}  // namespace

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string format_record_dump(const RecordSnapshot& snapshot, const DumpContext& context) {
  std::string text = "{\"record\":\"header\",\"format\":" + std::to_string(kRecordDumpFormat) +
                     ",\"reason\":" + json_string(context.reason) +
                     ",\"time\":" + number(context.time) +
                     ",\"print_time\":" + number(context.print_time) +
                     ",\"events\":" + std::to_string(snapshot.entries.size()) +
                     ",\"dropped\":" + std::to_string(snapshot.dropped) +
                     ",\"capacity\":" + std::to_string(context.capacity) + "}\n";
  text += "{\"record\":\"config\",\"feedhub\":{";
  for (std::size_t i = 0; i < context.wiring.size(); ++i)
    text += (i ? "," : "") + json_string(context.wiring[i].first) + ":" +
            json_string(context.wiring[i].second);
  text += "},\"slots\":[";
  for (std::size_t i = 0; i < context.slots.size(); ++i)
    text += (i ? "," : "") + json_string(context.slots[i]);
  text += "]}\n";
  // Values in their saved-variables form, so that every type reads back exactly.
  text += "{\"record\":\"variables\",\"values\":{";
  bool first = true;
  for (const auto& [name, value] : context.variables) {
    text += (first ? "" : ",") + json_string(name) + ":" + json_string(value.repr());
    first = false;
  }
  text += "}}\n";
  text += "{\"record\":\"start\",\"sensors\":{";
  first = true;
  for (int index = 0; index < kRecordedSensorCount; ++index) {
    const std::int8_t level = snapshot.start_levels[static_cast<std::size_t>(index)];
    if (level < 0) continue;
    const std::string name = index < 2 ? sensor_name(index) : slot_name(index - 2);
    text += (first ? "" : ",") + json_string(name) + ":" + (level ? "true" : "false");
    first = false;
  }
  text += "}}\n";
  for (const RecordEntry& entry : snapshot.entries) text += event_line(entry);
  return text;
}

}  // namespace feedhub
