#include "klippy/extras/feedhub/filament_table.h"

#include <charconv>

#include "klippy/host/errors.h"

namespace feedhub {
namespace {

int read_int_option(const klippy::IniSection& section, const char* option,
                    const std::string& path) {
  const klippy::IniOption* found = section.find(option);
  int value = 0;
  if (found) {
    const std::string& text = found->value;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc() && end == text.data() + text.size() && !text.empty()) return value;
  }
  throw klippy::CommandError("Filament table section '" + section.name +
                             "' needs a whole number of degrees for '" + option + "'; correct " +
                             path);
}

}  // namespace

klippy::IniDocument read_filament_table(klippy::Printer& printer) {
  const std::string path = printer.resolve_path(kFilamentTablePath);
  try {
    return klippy::parse_ini(klippy::read_text_file(path), path);
  } catch (const std::exception&) {
    return {};
  }
}

std::string filament_section_name(const klippy::Value& filament_id) {
  return "fila" + filament_id.str();
}

std::optional<TempRange> lookup_filament_temps(klippy::Printer& printer,
                                               const klippy::Value& filament_id,
                                               TempPurpose purpose) {
  klippy::IniDocument table = read_filament_table(printer);
  const klippy::IniSection* section = table.find(filament_section_name(filament_id));
  if (!section) return std::nullopt;
  const std::string path = printer.resolve_path(kFilamentTablePath);
  if (purpose == TempPurpose::Nozzle) {
    return TempRange{read_int_option(*section, "min_temp", path),
                     read_int_option(*section, "max_temp", path)};
  }
  return TempRange{read_int_option(*section, "box_min_temp", path),
                   read_int_option(*section, "box_max_temp", path)};
}

}  // namespace feedhub
