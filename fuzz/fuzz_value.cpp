// Literal values: any text either parses or is refused with LiteralError; a parsed value
// that holds only finite numbers prints as text that reads back to the same value.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "klippy/host/value.h"
#include "klippy/host/variables_file.h"

namespace {

bool all_finite(const klippy::Value& v) {
  if (v.is_float()) return std::isfinite(v.as_float());
  if (v.is_list()) {
    for (const auto& item : v.as_list())
      if (!all_finite(item)) return false;
  }
  if (v.is_tuple()) {
    for (const auto& item : v.as_tuple())
      if (!all_finite(item)) return false;
  }
  if (v.is_dict()) {
    for (const auto& [key, value] : v.as_dict())
      if (!all_finite(key) || !all_finite(value)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  klippy::Value value;
  try {
    value = klippy::Value::parse(text);
  } catch (const klippy::LiteralError&) {
    return 0;
  }
  const std::string printed = value.repr();
  if (all_finite(value)) {
    const klippy::Value back = klippy::Value::parse(printed);
    if (back.repr() != printed || !(back == value)) std::abort();
    if (!klippy::reads_back(value)) std::abort();
  } else if (klippy::reads_back(value)) {
    std::abort();
  }
  (void)value.str();
  (void)value.truthy();
  return 0;
}
