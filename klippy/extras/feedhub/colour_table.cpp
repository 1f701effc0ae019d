#include "klippy/extras/feedhub/colour_table.h"

#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace feedhub {
namespace {

constexpr std::array<ColourEntry, kMaxColourCode> kColours{{
    {1, "white", {0xFF, 0xFF, 0xFF}},       {2, "black", {0x00, 0x00, 0x00}},
    {3, "red", {0xFF, 0x00, 0x00}},         {4, "green", {0x00, 0xA0, 0x3C}},
    {5, "blue", {0x00, 0x50, 0xC8}},        {6, "yellow", {0xFF, 0xE6, 0x00}},
    {7, "orange", {0xFF, 0x8C, 0x00}},      {8, "purple", {0x80, 0x30, 0xA0}},
    {9, "pink", {0xFF, 0x90, 0xC0}},        {10, "grey", {0x80, 0x80, 0x80}},
    {11, "silver", {0xC0, 0xC0, 0xC0}},     {12, "gold", {0xD4, 0xAF, 0x37}},
    {13, "brown", {0x8B, 0x4A, 0x2B}},      {14, "beige", {0xE8, 0xD8, 0xB0}},
    {15, "cyan", {0x00, 0xC8, 0xE6}},       {16, "magenta", {0xE6, 0x00, 0x8C}},
    {17, "light blue", {0x87, 0xCE, 0xEB}}, {18, "light green", {0x90, 0xEE, 0x90}},
    {19, "dark blue", {0x00, 0x20, 0x70}},  {20, "dark green", {0x00, 0x50, 0x20}},
    {21, "navy", {0x1B, 0x2A, 0x50}},       {22, "olive", {0x80, 0x80, 0x00}},
    {23, "teal", {0x00, 0x80, 0x80}},       {24, "transparent", {0xF0, 0xF0, 0xF0}},
}};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<ColourEntry> colour_by_code(int code) {
  if (code < kMinColourCode || code > kMaxColourCode) return std::nullopt;
  return kColours[static_cast<size_t>(code - kMinColourCode)];
}

ColourEntry nearest_colour(Rgb rgb) {
  const ColourEntry* nearest = &kColours[0];
  for (const ColourEntry& entry : kColours)
    if (colour_distance(rgb, entry.rgb) < colour_distance(rgb, nearest->rgb)) nearest = &entry;
  return *nearest;
}

std::optional<ColourEntry> find_colour(const std::string& text) {
  std::string wanted;
  for (char c : text)
    wanted +=
        c == '_' || c == '-' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const ColourEntry& entry : kColours) {
    if (wanted == entry.name || wanted == std::to_string(entry.code)) return entry;
  }
  return std::nullopt;
}

std::string colour_names() {
  std::string names;
  for (const ColourEntry& entry : kColours)
    names += (names.empty() ? "" : ", ") + std::string(entry.name);
  return names;
}

std::optional<Rgb> parse_hex_colour(const std::string& text) {
  std::string digits = !text.empty() && text[0] == '#' ? text.substr(1) : text;
  if (digits.size() != 6 && digits.size() != 8) return std::nullopt;
  std::array<int, 3> channels{};
  for (size_t i = 0; i < 3; ++i) {
    int high = hex_digit(digits[2 * i]), low = hex_digit(digits[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    channels[i] = high * 16 + low;
  }
  for (size_t i = 6; i < digits.size(); ++i)
    if (hex_digit(digits[i]) < 0) return std::nullopt;
  return Rgb{static_cast<std::uint8_t>(channels[0]), static_cast<std::uint8_t>(channels[1]),
             static_cast<std::uint8_t>(channels[2])};
}

std::string hex_colour(Rgb rgb) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02X%02X%02X", rgb.red, rgb.green, rgb.blue);
  return text;
}

double colour_distance(Rgb a, Rgb b) {
  const double dr = a.red - b.red, dg = a.green - b.green, db = a.blue - b.blue;
  return std::sqrt(dr * dr + dg * dg + db * db);
}

}  // namespace feedhub
