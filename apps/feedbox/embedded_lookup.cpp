#include <sstream>
#include <stdexcept>

#include "apps/feedbox/embedded_files.h"

namespace feedbox {

const std::string& embedded_file(const std::string& name) {
  for (const auto& file : embedded_files()) {
    if (file.name == name) return file.content;
  }
  throw std::out_of_range("no embedded file '" + name + "'");
}

namespace {

// The file an [include NAME] line names, empty for any other line.
std::string included_name(const std::string& line) {
  const std::string open = "[include ";
  if (line.rfind(open, 0) != 0) return {};
  const auto close = line.find(']', open.size());
  if (close == std::string::npos) return {};
  return line.substr(open.size(), close - open.size());
}

const std::string* find_embedded(const std::string& name) {
  for (const auto& file : embedded_files())
    if (file.name == name) return &file.content;
  return nullptr;
}

}  // namespace

std::string embedded_printer_config() {
  std::istringstream printer(embedded_file("printer.cfg"));
  std::string text, line;
  while (std::getline(printer, line)) {
    const std::string* included = find_embedded(included_name(line));
    if (included == nullptr) {
      text += line + "\n";
      continue;
    }
    std::istringstream inner(*included);
    while (std::getline(inner, line))
      if (included_name(line).empty()) text += line + "\n";
  }
  return text;
}

}  // namespace feedbox
