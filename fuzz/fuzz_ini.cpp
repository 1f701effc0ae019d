// INI documents: any text parses or is refused with IniError; a parsed document written
// and read back holds the same sections and keys in the same order.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "klippy/host/ini.h"

namespace {

void expect_same_shape(const klippy::IniDocument& a, const klippy::IniDocument& b) {
  if (a.sections.size() != b.sections.size()) std::abort();
  for (std::size_t i = 0; i < a.sections.size(); ++i) {
    const auto& sa = a.sections[i];
    const auto& sb = b.sections[i];
    if (sa.name != sb.name || sa.options.size() != sb.options.size()) std::abort();
    for (std::size_t j = 0; j < sa.options.size(); ++j)
      if (sa.options[j].key != sb.options[j].key) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the syntax: the configuration's, or the variables file's.
  const klippy::IniSyntax syntax{.inline_comments = (data[0] & 1) != 0};
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  klippy::IniDocument doc;
  try {
    doc = klippy::parse_ini(text, "fuzz.cfg", syntax);
  } catch (const klippy::IniError&) {
    return 0;
  }
  const std::string written = klippy::format_ini(doc);
  const klippy::IniDocument back = klippy::parse_ini(written, "written.cfg", syntax);
  expect_same_shape(doc, back);
  // Values survive too where no inline comment could cut them.
  if (!syntax.inline_comments) {
    for (std::size_t i = 0; i < doc.sections.size(); ++i)
      for (std::size_t j = 0; j < doc.sections[i].options.size(); ++j)
        if (doc.sections[i].options[j].value != back.sections[i].options[j].value) std::abort();
  }
  if (klippy::format_ini(back) != written) std::abort();
  return 0;
}
