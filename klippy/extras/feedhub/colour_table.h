// The colour codes a spool tag carries (1 to 24), as names and RGB, so that a colour the
// box knows can be compared with the colour a slicer planned.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace feedhub {

struct Rgb {
  std::uint8_t red = 0, green = 0, blue = 0;
};

struct ColourEntry {
  int code;
  const char* name;
  Rgb rgb;
};

inline constexpr int kMinColourCode = 1;
inline constexpr int kMaxColourCode = 24;

// nullopt for a code outside 1..24.
std::optional<ColourEntry> colour_by_code(int code);
// The colour a user names: its code ("3") or its name in any case, with '_' or '-' for the
// space ("light_blue"); nullopt for anything else.
std::optional<ColourEntry> find_colour(const std::string& text);
// "white, black, ..., transparent": every name, for messages that list them.
std::string colour_names();

// The box colour closest to `rgb`: what a tag written for that colour would carry.
ColourEntry nearest_colour(Rgb rgb);
// "#RRGGBB" or "RRGGBB" (any case; a trailing alpha pair "#RRGGBBAA" is ignored).
std::optional<Rgb> parse_hex_colour(const std::string& text);
std::string hex_colour(Rgb rgb);

// Euclidean distance in RGB space: 0 for equal colours, about 441 for black and white.
double colour_distance(Rgb a, Rgb b);

}  // namespace feedhub
