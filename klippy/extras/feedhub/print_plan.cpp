#include "klippy/extras/feedhub/print_plan.h"

#include <cctype>
#include <charconv>
#include <cstring>
#include <optional>
#include <sstream>

#include "klippy/extras/feedhub/colour_table.h"

namespace feedhub {
namespace {

constexpr size_t kProgressEveryBytes = 1 << 20;

std::string trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::vector<std::string> split_list(const std::string& value) {
  std::vector<std::string> items;
  std::string item;
  std::istringstream in(value);
  while (std::getline(in, item, ';')) items.push_back(trim(item));
  return items;
}

std::optional<int> tool_number(const std::string& text) {
  int tool = -1;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), tool);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  if (tool < 0 || tool > kMaxPlanTool) return std::nullopt;
  return tool;
}

struct Metadata {
  std::vector<std::string> filament_types, extruder_colours, filament_colours;
};

void read_comment(const std::string& comment, Metadata& metadata) {
  size_t equals = comment.find('=');
  if (equals == std::string::npos) return;
  const std::string key = trim(comment.substr(0, equals));
  const std::string value = comment.substr(equals + 1);
  if (key == "filament_type")
    metadata.filament_types = split_list(value);
  else if (key == "extruder_colour")
    metadata.extruder_colours = split_list(value);
  else if (key == "filament_colour")
    metadata.filament_colours = split_list(value);
}

void read_command(const std::string& command, std::set<int>& tools) {
  std::istringstream words(command);
  std::string word;
  if (!(words >> word)) return;
  word = upper(word);
  if (word != "TOOL_CHANGE_START" && word != "LOAD_TOOL") {
    if (word.size() > 1 && word[0] == 'T')
      if (auto tool = tool_number(word.substr(1))) tools.insert(*tool);
    return;
  }
  // Both ends of a change: the outgoing tool printed too (F=-1 marks none).
  while (words >> word) {
    std::string name = upper(word.substr(0, word.find('=')));
    if (word.find('=') == std::string::npos || (name != "T" && name != "F")) continue;
    if (auto tool = tool_number(word.substr(word.find('=') + 1))) tools.insert(*tool);
  }
}

// The extruder colour is the one the user set for the loaded spool; slicers leave it empty
// to mean "the filament's own colour".
std::vector<std::string> planned_colours(const Metadata& metadata) {
  const size_t count = std::max(metadata.extruder_colours.size(), metadata.filament_colours.size());
  std::vector<std::string> colours(count);
  for (size_t i = 0; i < count; ++i) {
    for (const auto* list : {&metadata.extruder_colours, &metadata.filament_colours}) {
      if (i < list->size() && parse_hex_colour((*list)[i])) {
        colours[i] = hex_colour(*parse_hex_colour((*list)[i]));
        break;
      }
    }
  }
  return colours;
}

}  // namespace

std::string PrintPlan::material_of(int tool) const {
  return tool >= 0 && static_cast<size_t>(tool) < materials.size()
             ? materials[static_cast<size_t>(tool)]
             : "";
}

std::string PrintPlan::colour_of(int tool) const {
  return tool >= 0 && static_cast<size_t>(tool) < colours.size()
             ? colours[static_cast<size_t>(tool)]
             : "";
}

std::string PrintPlan::overlong_lines_note() const {
  if (overlong_lines == 0) return "";
  return "Skipped " + std::to_string(overlong_lines) + " line" + (overlong_lines == 1 ? "" : "s") +
         " longer than " + std::to_string(kMaxPlanLineBytes / 1024) + " KiB (the first is line " +
         std::to_string(first_overlong_line) +
         "): no slicer writes such G-code; check that the file is the print you meant";
}

PrintPlan read_print_plan(std::istream& in, const std::function<void()>& progress) {
  PrintPlan plan;
  Metadata metadata;
  std::string line;
  bool overlong = false;
  long line_number = 1;
  auto end_line = [&] {
    if (overlong) {
      if (plan.overlong_lines++ == 0) plan.first_overlong_line = line_number;
    } else {
      const size_t semicolon = line.find(';');
      // Slicers write their settings as whole-line comments; a remark after a command is
      // not one.
      if (semicolon != std::string::npos && line.find_first_not_of(" \t") == semicolon)
        read_comment(line.substr(semicolon + 1), metadata);
      read_command(line.substr(0, semicolon), plan.tools);
    }
    line.clear();
    overlong = false;
    ++line_number;
  };
  std::vector<char> chunk(kMaxPlanLineBytes);
  size_t bytes_since_progress = 0;
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    const auto count = static_cast<size_t>(in.gcount());
    for (size_t at = 0; at < count;) {
      const char* begin = chunk.data() + at;
      const auto* newline = static_cast<const char*>(std::memchr(begin, '\n', count - at));
      const size_t piece = newline ? static_cast<size_t>(newline - begin) : count - at;
      if (!overlong && line.size() + piece > kMaxPlanLineBytes) {
        overlong = true;
        line.clear();
      }
      if (!overlong) line.append(begin, piece);
      at += piece;
      if (newline) {
        end_line();
        ++at;
      }
    }
    bytes_since_progress += count;
    if (progress && bytes_since_progress >= kProgressEveryBytes) {
      bytes_since_progress = 0;
      progress();
    }
  }
  if (!line.empty() || overlong) end_line();
  plan.materials = metadata.filament_types;
  plan.colours = planned_colours(metadata);
  return plan;
}

}  // namespace feedhub
