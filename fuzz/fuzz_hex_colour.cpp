// Colours as slicers and users write them: a hex colour that reads prints as "#RRGGBB"
// and reads back the same; a colour name or code finds an entry of the table or none.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "klippy/extras/feedhub/colour_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (const auto rgb = feedhub::parse_hex_colour(text)) {
    const std::string printed = feedhub::hex_colour(*rgb);
    const auto back = feedhub::parse_hex_colour(printed);
    if (printed.size() != 7 || !back || back->red != rgb->red || back->green != rgb->green ||
        back->blue != rgb->blue)
      std::abort();
  }
  if (const auto entry = feedhub::find_colour(text)) {
    const auto by_code = feedhub::colour_by_code(entry->code);
    if (!by_code || std::string(by_code->name) != entry->name) std::abort();
  }
  return 0;
}
