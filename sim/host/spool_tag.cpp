#include "sim/host/spool_tag.h"

#include <array>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace sim {
namespace {

// Same order as the sections of the embedded filament table.
constexpr std::array<const char*, 10> kFilamentNames = {"PLA", "PETG", "ABS",    "TPU",     "ASA",
                                                        "PA",  "PC",   "PLA-CF", "PETG-CF", "PVA"};

// Colour n + 1 of the box's numbering (the codes a tag carries), as the box's colour table
// has them; a test keeps the two equal.
constexpr std::array<std::uint32_t, 24> kColors = {
    0xFFFFFF, 0x000000, 0xFF0000, 0x00A03C, 0x0050C8, 0xFFE600, 0xFF8C00, 0x8030A0,
    0xFF90C0, 0x808080, 0xC0C0C0, 0xD4AF37, 0x8B4A2B, 0xE8D8B0, 0x00C8E6, 0xE6008C,
    0x87CEEB, 0x90EE90, 0x002070, 0x005020, 0x1B2A50, 0x808000, 0x008080, 0xF0F0F0};

constexpr const char* kAccepted =
    "give default, none, blank, unreadable or '<filament code> <colour code> [vendor]' with "
    "codes 0 to 255";

int channel(std::uint32_t rgb, int shift) {
  return static_cast<int>((rgb >> shift) & 0xFF);
}

int byte_code(const std::string& word, const std::string& text) {
  std::size_t used = 0;
  int code = -1;
  try {
    code = std::stoi(word, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != word.size() || code < 0 || code > 255)
    throw std::invalid_argument("tag '" + text + "' is not understood; " + kAccepted);
  return code;
}

}  // namespace

std::vector<std::uint8_t> tag_block(int filament_code, int color_code, int vendor) {
  return {static_cast<std::uint8_t>(filament_code), static_cast<std::uint8_t>(color_code),
          static_cast<std::uint8_t>(vendor)};
}

int default_filament_code(const std::string& filament_type) {
  for (std::size_t i = 0; i < kFilamentNames.size(); ++i) {
    if (filament_type == kFilamentNames[i]) return static_cast<int>(i) + 1;
  }
  return 0;
}

int default_color_code(const std::string& rrggbb) {
  std::uint32_t rgb = 0;
  try {
    rgb = static_cast<std::uint32_t>(std::stoul(rrggbb, nullptr, 16));
  } catch (const std::exception&) {
    return 1;
  }
  int best = 0;
  long best_distance = std::numeric_limits<long>::max();
  for (std::size_t i = 0; i < kColors.size(); ++i) {
    long distance = 0;
    for (int shift : {16, 8, 0}) {
      const long d = channel(rgb, shift) - channel(kColors[i], shift);
      distance += d * d;
    }
    if (distance < best_distance) {
      best_distance = distance;
      best = static_cast<int>(i);
    }
  }
  return best + 1;
}

std::vector<std::uint8_t> default_tag(const std::string& filament_type, const std::string& rrggbb) {
  return tag_block(default_filament_code(filament_type), default_color_code(rrggbb));
}

TagSetting parse_tag_setting(const std::string& text, const std::string& filament_type,
                             const std::string& rrggbb) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  if (words.size() == 1) {
    const std::string& word = words[0];
    if (word == "default" || word == "1") return {default_tag(filament_type, rrggbb), false};
    if (word == "none" || word == "0") return {std::nullopt, false};
    if (word == "blank") return {std::vector<std::uint8_t>{}, false};
    if (word == "unreadable") return {default_tag(filament_type, rrggbb), true};
  }
  if (words.size() == 2 || words.size() == 3) {
    const int vendor = words.size() == 3 ? byte_code(words[2], text) : kDefaultTagVendor;
    return {tag_block(byte_code(words[0], text), byte_code(words[1], text), vendor), false};
  }
  throw std::invalid_argument("tag '" + text + "' is not understood; " + kAccepted);
}

}  // namespace sim
