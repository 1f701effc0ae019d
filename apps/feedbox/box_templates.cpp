#include "apps/feedbox/box_templates.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <vector>

#include "apps/feedbox/box_config.h"
#include "sim/host/usb_boxes.h"

namespace feedbox {
namespace {

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

}  // namespace feedbox
