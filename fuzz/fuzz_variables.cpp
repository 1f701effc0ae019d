// Saved-variables files: any text reads or is refused with IniError; a file that reads
// holds only values that can be written, and written again reads back to the same
// variables.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "klippy/host/ini.h"
#include "klippy/host/variables_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  klippy::VariableMap variables;
  try {
    variables = klippy::parse_variables(text, "variables.cfg");
  } catch (const klippy::IniError&) {
    return 0;
  }
  for (const auto& [key, value] : variables)
    if (key.empty()) std::abort();
  if (klippy::find_unwritable(variables)) std::abort();
  const klippy::VariableMap back =
      klippy::parse_variables(klippy::format_variables(variables), "written.cfg");
  if (back.size() != variables.size()) std::abort();
  for (const auto& [key, value] : variables) {
    auto it = back.find(key);
    if (it == back.end() || it->second.repr() != value.repr()) std::abort();
  }
  return 0;
}
