// The strict INI reading and normalised rewriting of the box configuration files and of the
// saved-variables file as box detection edits them: parse, change one value, write it all.
#pragma once

#include <string>
#include <string_view>

#include "klippy/host/ini.h"

namespace feedscan {

enum class ConfigFileKind {
  box_config,       // "key: value", written "key : value"
  saved_variables,  // "key = value" or "key: value", written "key = value"
};

// Sections in file order; keys lower-cased and trimmed; indented lines continue the option
// above (joined with '\n'); "#"/";" lines and blank lines skipped. A repeated section or
// option, an option before any section or any other line throws klippy::IniError.
klippy::IniDocument parse_config_text(std::string_view text, const std::string& source_name,
                                      ConfigFileKind kind);
// Every section as "[name]", its options, then an empty line; each line break inside a
// value is followed by a tab. Comments are not kept.
std::string format_config_text(const klippy::IniDocument& document, ConfigFileKind kind);

// A missing file reads as empty; an unreadable one throws std::runtime_error.
klippy::IniDocument read_config_file(const std::string& path, ConfigFileKind kind);
// Replaced atomically; std::runtime_error on failure.
void write_config_file(const std::string& path, const klippy::IniDocument& document,
                       ConfigFileKind kind);

// Sets `key` of an existing section; std::runtime_error naming the file when the section
// is missing.
void set_existing_option(klippy::IniDocument& document, const std::string& section,
                         const std::string& key, const std::string& value,
                         const std::string& source_name);

// Reads `path`, sets one option of an existing section and writes the file back.
void rewrite_option(const std::string& path, ConfigFileKind kind, const std::string& section,
                    const std::string& key, const std::string& value);

}  // namespace feedscan
