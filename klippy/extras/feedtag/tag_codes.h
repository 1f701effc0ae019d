// What a spool's tag carries: byte 0 the filament code, byte 1 the colour code. The vendor
// is not on the tag; every tag read counts as the box maker's own filament (vendor 1).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "klippy/host/value.h"

namespace feedtag {

inline constexpr int kMinFilamentCode = 1;
inline constexpr int kMaxFilamentCode = 99;
inline constexpr int kMinColorCode = 1;
inline constexpr int kMaxColorCode = 24;
inline constexpr int kTagVendor = 1;

struct TagCodes {
  int filament = 0;
  int color = 0;
};

// The bytes of an answer's `data` field, which the host hands over as a byte string; a
// list of small integers is accepted as well. Anything else holds no bytes.
std::vector<std::uint8_t> data_bytes(const klippy::Value& data);

// The codes of a tag, or nullopt when its data is shorter than two bytes or a code lies
// outside the known ranges.
std::optional<TagCodes> decode_tag(const std::vector<std::uint8_t>& data);

}  // namespace feedtag
