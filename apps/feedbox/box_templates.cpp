#include "apps/feedbox/box_templates.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "apps/feedbox/box_config.h"
#include "klippy/host/atomic_file.h"
#include "klippy/host/errors.h"
#include "sim/host/usb_boxes.h"

namespace feedbox {
namespace {

constexpr const char* kUpdateScript = "/home/zur/mcu_update_BOX_to_v1.sh";
constexpr const char* kFlashScript =
    "#!/bin/sh\n"
    "# Simulated flashing of a box controller: records its arguments (image, by-id link).\n"
    "echo \"$@\" >> \"$(dirname \"$0\")/mcu_update.log\"\n";

// Whole sections ("[name]\n...") of a configuration text, in order.
std::vector<std::string> split_sections(const std::string& text) {
  std::vector<std::string> sections;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '[') sections.emplace_back();
    if (!sections.empty()) sections.back() += line + "\n";
  }
  return sections;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) lines.push_back(line);
  return lines;
}

template <class T>
bool contains(const std::vector<T>& items, const T& item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

void write_file(const std::filesystem::path& target, const std::string& content) {
  std::error_code ec;
  std::filesystem::create_directories(target.parent_path(), ec);
  try {
    klippy::write_file_atomically(target.string(), content);
  } catch (const std::exception& e) {
    throw klippy::ConfigError(std::string("Unable to write the box files: ") + e.what());
  }
}

void write_missing(const std::filesystem::path& target, const std::string& content) {
  std::error_code ec;
  if (!std::filesystem::exists(target, ec)) write_file(target, content);
}

}  // namespace

std::string box_template(int boxes) {
  std::string text;
  for (int box = 1; box <= boxes; ++box) text += "[include box" + std::to_string(box) + ".cfg]\n";
  for (int box = 1; box <= boxes; ++box) {
    text += "\n[mcu mcu_box" + std::to_string(box) +
            "]\nserial: " + sim::SimUsbBoxes::box_link(box, sim::SimUsbBoxes::kDefaultVersion) +
            "\n";
  }
  return text.empty() ? "# No filament box is connected.\n" : text;
}

// What `box` adds to the printer of `box - 1` boxes; the MCU sections stay in the live file.
std::string per_box_file(int box) {
  std::string text = "# Sections of filament box " + std::to_string(box) + ".\n";
  const auto before = split_sections(box_sections(box - 1));
  for (const auto& section : split_sections(box_sections(box))) {
    if (section.rfind("[mcu ", 0) != 0 && !contains(before, section)) text += "\n" + section;
  }
  return text;
}

std::string per_box_world_file(int box) {
  std::string text = "# The filament world of box " + std::to_string(box) +
                     " (simulator only): its sensor pins and spools.\n\n[filament_world]\n";
  const auto world_before = lines_of(box_world_options(box - 1));
  for (const auto& line : lines_of(box_world_options(box)))
    if (!contains(world_before, line)) text += line + "\n";
  return text;
}

std::string per_box_world_name(int box) {
  return "sim_world_box" + std::to_string(box) + ".cfg";
}

std::vector<int> included_boxes(const std::string& box_config) {
  std::vector<int> boxes;
  std::istringstream in(box_config);
  std::string line;
  while (std::getline(in, line)) {
    int box = 0;
    char close = 0;
    if (std::sscanf(line.c_str(), "[include box%d.cfg%c", &box, &close) == 2 && close == ']')
      boxes.push_back(box);
  }
  return boxes;
}

void install_box_files(const sim::SimPrinter& printer, int boxes) {
  for (int n = 0; n <= kMaxBoxes; ++n)
    write_missing(printer.resolve_path("/home/zur/cfg_with_" + std::to_string(n)), box_template(n));
  const std::string config_dir = printer.resolve_path(kPrinterConfigDir);
  for (int box = 1; box <= kMaxBoxes; ++box) {
    write_missing(std::filesystem::path(config_dir) / ("box" + std::to_string(box) + ".cfg"),
                  per_box_file(box));
    write_missing(std::filesystem::path(config_dir) / per_box_world_name(box),
                  per_box_world_file(box));
  }
  const std::string script = printer.resolve_path(kUpdateScript);
  write_missing(script, kFlashScript);
  ::chmod(script.c_str(), 0755);
  write_file(printer.resolve_path(kLiveBoxCfg), box_template(boxes));
}

}  // namespace feedbox
