// The box configuration files and the saved-variables file as box detection edits them:
// read strictly, one value changed, the whole file written back normalised.
#pragma once

#include <string>

#include "klippy/host/ini.h"

namespace feedscan {

enum class ConfigFileKind {
  box_config,       // "key: value", written "key : value"
  saved_variables,  // "key = value" or "key: value", written "key = value"
};

// Keys lower-cased; indented lines continue the option above (joined with '\n', blank
// lines dropped); "#"/";" lines skipped and not written back, nor is anything after a
// value; a repeated section or option is refused. Every section is written as "[name]",
// its options, then an empty line; each line break inside a value is followed by a tab.
klippy::IniSyntax config_syntax(ConfigFileKind kind);

// A missing file reads as empty; an unreadable one throws std::runtime_error, a malformed
// one klippy::IniError.
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
