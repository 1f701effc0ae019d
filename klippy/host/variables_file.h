// Text form of the saved-variables file: a "[Variables]" section of "key = literal" lines.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "klippy/host/value.h"

namespace klippy {

using VariableMap = std::map<std::string, Value>;

// "[Variables]\n", then "key = repr(value)\n" per key in ascending order with the key in
// lower case, then a blank line.
std::string format_variables(const VariableMap& variables);

// Reads the [Variables] section of an INI text (no section: empty map). Keys are lower-cased.
// A malformed file or value throws IniError, whose message starts with
// "Unable to parse existing variable file <source_name>".
VariableMap parse_variables(std::string_view text, const std::string& source_name);

}  // namespace klippy
