#include "klippy/extras/feedtag/tag_codes.h"

namespace feedtag {

std::vector<std::uint8_t> data_bytes(const klippy::Value& data) {
  std::vector<std::uint8_t> bytes;
  if (data.is_string()) {
    const std::string& text = data.as_string();
    bytes.assign(text.begin(), text.end());
  } else if (data.is_list()) {
    for (const klippy::Value& item : data.as_list()) {
      if (!item.is_int()) return {};
      bytes.push_back(static_cast<std::uint8_t>(item.as_int()));
    }
  }
  return bytes;
}

std::optional<TagCodes> decode_tag(const std::vector<std::uint8_t>& data) {
  // A blank or damaged tag may answer with fewer bytes than the two codes.
  if (data.size() < 2) return std::nullopt;
  const TagCodes codes{data[0], data[1]};
  if (codes.filament < kMinFilamentCode || codes.filament > kMaxFilamentCode) return std::nullopt;
  if (codes.color < kMinColorCode || codes.color > kMaxColorCode) return std::nullopt;
  return codes;
}

}  // namespace feedtag
