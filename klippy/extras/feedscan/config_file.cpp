#include "klippy/extras/feedscan/config_file.h"

#include <filesystem>
#include <stdexcept>

#include "klippy/host/atomic_file.h"
#include "klippy/host/ini.h"

namespace feedscan {

klippy::IniSyntax config_syntax(ConfigFileKind kind) {
  const bool box = kind == ConfigFileKind::box_config;
  return klippy::IniSyntax{.inline_comments = false,
                           .blank_lines_in_values = false,
                           .key_ends = box ? ":" : ":=",
                           .written_separator = box ? " : " : " = ",
                           .lower_case_keys = true,
                           .refuse_repeats = true};
}

klippy::IniDocument read_config_file(const std::string& path, ConfigFileKind kind) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return {};
  return klippy::parse_ini(klippy::read_text_file(path), path, config_syntax(kind));
}

void write_config_file(const std::string& path, const klippy::IniDocument& document,
                       ConfigFileKind kind) {
  klippy::write_file_atomically(path, klippy::format_ini(document, config_syntax(kind)));
}

void set_existing_option(klippy::IniDocument& document, const std::string& section,
                         const std::string& key, const std::string& value,
                         const std::string& source_name) {
  for (auto& candidate : document.sections) {
    if (candidate.name == section) {
      candidate.set(key, value);
      return;
    }
  }
  throw std::runtime_error("No section [" + section + "] in '" + source_name +
                           "'; restore the file from its template");
}

void rewrite_option(const std::string& path, ConfigFileKind kind, const std::string& section,
                    const std::string& key, const std::string& value) {
  klippy::IniDocument document = read_config_file(path, kind);
  set_existing_option(document, section, key, value, path);
  write_config_file(path, document, kind);
}

}  // namespace feedscan
