// The tag on a simulated spool: the data block a card reader gets from it. The box's tags
// carry the filament code in byte 0, the colour code in byte 1 and the vendor in byte 2.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

inline constexpr int kDefaultTagVendor = 1;

// A tag holding these codes; each must fit a byte (0 to 255).
std::vector<std::uint8_t> tag_block(int filament_code, int color_code,
                                    int vendor = kDefaultTagVendor);

// The codes a spool's tag carries unless a scenario says otherwise: the filament's number
// in the embedded filament table (PLA 1, PETG 2, ...; 0 for a type the table lacks, which
// no reader accepts) and the nearest of the box's 24 numbered colours (red 3, ...).
int default_filament_code(const std::string& filament_type);
int default_color_code(const std::string& rrggbb);
std::vector<std::uint8_t> default_tag(const std::string& filament_type, const std::string& rrggbb);

struct TagSetting {
  std::optional<std::vector<std::uint8_t>> tag;  // absent: the spool carries no tag
  bool unreadable = false;
};

// Parses a tag description: "default" or "1" (codes from the spool's filament and colour),
// "none" or "0" (no tag), "blank" (a tag with nothing written on it: it answers with no
// data), "unreadable" (a damaged default tag) or "<filament> <colour> [vendor]" (codes 0 to
// 255, out-of-range codes included). Throws std::invalid_argument saying what is accepted.
TagSetting parse_tag_setting(const std::string& text, const std::string& filament_type,
                             const std::string& rrggbb);

}  // namespace sim
