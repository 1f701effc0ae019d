// Box configuration and variables files as box detection edits them: any text reads or is
// refused with IniError; what is written reads back with the same sections, keys and values.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "klippy/extras/feedscan/config_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto kind = (data[0] & 1) ? feedscan::ConfigFileKind::box_config
                                  : feedscan::ConfigFileKind::saved_variables;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const klippy::IniSyntax syntax = feedscan::config_syntax(kind);
  klippy::IniDocument doc;
  try {
    doc = klippy::parse_ini(text, "box.cfg", syntax);
  } catch (const klippy::IniError&) {
    return 0;
  }
  const std::string written = klippy::format_ini(doc, syntax);
  const klippy::IniDocument back = klippy::parse_ini(written, "written.cfg", syntax);
  if (back.sections.size() != doc.sections.size()) std::abort();
  for (std::size_t i = 0; i < doc.sections.size(); ++i) {
    const auto& a = doc.sections[i];
    const auto& b = back.sections[i];
    if (a.name != b.name || a.options.size() != b.options.size()) std::abort();
    for (std::size_t j = 0; j < a.options.size(); ++j)
      if (a.options[j].key != b.options[j].key || a.options[j].value != b.options[j].value)
        std::abort();
  }
  return 0;
}
