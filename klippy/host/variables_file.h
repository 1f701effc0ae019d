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

// A name the file holds as it is: lower-case ASCII letters, digits and '_'. Anything else
// ('[x]', 'a:b', 'a=b', blanks, an empty name) reads back as another key, another section
// or not at all.
bool is_valid_variable_name(std::string_view name);

// The written form of `value` reads back as the very same value. Not so for infinities and
// NaN (written "inf", "nan"), nor for values nested deeper than the reader accepts.
bool reads_back(const Value& value);

// The first key whose value does not read back (see reads_back), or nullptr. A file the
// host read itself may hold 1e999, which reads as infinity but is written as "inf": saving
// the map again would leave a file that no longer starts.
const std::string* find_unwritable(const VariableMap& variables);

// Reads the [Variables] section of an INI text (no section: empty map). Keys are lower-cased.
// A malformed file or value, or a value that does not read back (1e999), throws IniError,
// whose message starts with "Unable to parse existing variable file <source_name>" and
// names the line.
VariableMap parse_variables(std::string_view text, const std::string& source_name);

}  // namespace klippy
