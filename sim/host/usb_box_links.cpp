// The by-id links of the simulated boxes, apart from the rest of the simulated USB so that
// the box-files tool of a printer build (no simulator) names the same links.
#include <regex>
#include <string>

#include "sim/host/usb_boxes.h"

namespace sim {

std::string SimUsbBoxes::box_link(int box, const std::string& version) {
  const std::string prefix = "/dev/serial/by-id/usb-Klipper_stm32f072xb_ZEKA_BOX_";
  const std::string suffix = "BOX" + std::to_string(box) + "-if00";
  if (version == kNoVersion) return prefix + "V1_" + suffix;
  const char* generation = std::stoi(version) >= 2 ? "V2" : "V1";
  return prefix + generation + "_" + version + "_" + suffix;
}

std::string SimUsbBoxes::bootloader_link(int box) {
  return "/dev/serial/by-id/usb-ZUR_COLOR_BOOT_BOX" + std::to_string(box) + "-if00";
}

std::optional<int> SimUsbBoxes::box_in_link(const std::string& link) {
  static const std::regex pattern(R"(BOX(\d{1,6})-if00$)");
  std::smatch match;
  if (!std::regex_search(link, match, pattern)) return std::nullopt;
  return std::stoi(match[1].str());
}

}  // namespace sim
