#include "klippy/extras/feedhub/filament_table.h"

#include <cctype>
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

constexpr std::string_view kSectionPrefix = "fila";

// The code of a section "fila<code>"; nullopt for other sections.
std::optional<long long> section_code(const std::string& name) {
  if (name.size() <= kSectionPrefix.size() || name.rfind(kSectionPrefix, 0) != 0)
    return std::nullopt;
  long long code = 0;
  const char* begin = name.data() + kSectionPrefix.size();
  const char* end = name.data() + name.size();
  auto [stop, ec] = std::from_chars(begin, end, code);
  if (ec != std::errc() || stop != end || *begin == '-' || *begin == '+') return std::nullopt;
  return code;
}

bool same_name(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
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

std::map<long long, std::string> filament_names(const klippy::IniDocument& table) {
  std::map<long long, std::string> names;
  for (const klippy::IniSection& section : table.sections) {
    if (auto code = section_code(section.name)) {
      const klippy::IniOption* name = section.find("name");
      names.emplace(*code, name ? name->value : "");
    }
  }
  return names;
}

std::optional<long long> find_filament_code(const klippy::IniDocument& table,
                                            const std::string& text) {
  const std::map<long long, std::string> names = filament_names(table);
  for (const auto& [code, name] : names) {
    if (std::to_string(code) == text) return code;
  }
  for (const auto& [code, name] : names) {
    if (!name.empty() && same_name(name, text)) return code;
  }
  return std::nullopt;
}

std::optional<long long> kin_filament_code(const klippy::IniDocument& table,
                                           const std::string& text) {
  std::optional<long long> kin;
  size_t kin_length = 0;
  for (const auto& [code, name] : filament_names(table)) {
    if (name.empty() || name.size() <= kin_length || name.size() > text.size()) continue;
    if (same_name(name, text.substr(0, name.size()))) {
      kin = code;
      kin_length = name.size();
    }
  }
  return kin;
}

}  // namespace feedhub
