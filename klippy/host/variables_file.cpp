#include "klippy/host/variables_file.h"

#include <algorithm>
#include <cctype>

#include "klippy/host/ini.h"

namespace klippy {

namespace {

constexpr const char* kSection = "Variables";

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

[[noreturn]] void throw_unparsable(const std::string& source_name, int line,
                                   const std::string& reason) {
  throw IniError::with_message("Unable to parse existing variable file " + source_name + ": line " +
                                   std::to_string(line) + ": " + reason +
                                   "; correct or delete that line",
                               source_name, line, reason);
}

// The keys the host and the box save are all in lower case, each on a line of its own in
// the map's order: written in one pass, as format_ini would lay them out, since a save
// writes every key of a file that may hold hundreds of thousands.
std::string format_lower_case_variables(const VariableMap& variables) {
  std::string out = std::string("[") + kSection + "]\n";
  for (const auto& [key, value] : variables) {
    out += key;
    out += " = ";
    for (char c : value.repr()) {
      out += c;
      // A continued value's lines are indented, as format_ini does.
      if (c == '\n') out += '\t';
    }
    out += '\n';
  }
  out += '\n';
  return out;
}

bool has_upper_case(const std::string& key) {
  return std::any_of(key.begin(), key.end(), [](unsigned char c) { return std::isupper(c); });
}

}  // namespace

bool is_valid_variable_name(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

bool reads_back(const Value& value) {
  const std::string text = value.repr();
  try {
    return Value::parse(text).repr() == text;
  } catch (const LiteralError&) {
    return false;
  }
}

const std::string* find_unwritable(const VariableMap& variables) {
  for (const auto& [key, value] : variables)
    if (!reads_back(value)) return &key;
  return nullptr;
}

std::string format_variables(const VariableMap& variables) {
  if (std::none_of(variables.begin(), variables.end(),
                   [](const auto& entry) { return has_upper_case(entry.first); }))
    return format_lower_case_variables(variables);
  // Two keys that differ only in case share one line; the later key's value wins. Built
  // through a sorted map so that a file of many keys costs n log n, not n squared.
  std::map<std::string, const Value*> lowered;
  for (const auto& [key, value] : variables) lowered.insert_or_assign(lower(key), &value);
  IniDocument doc;
  IniSection& section = doc.section(kSection);
  section.options.reserve(lowered.size());
  for (const auto& [key, value] : lowered) section.options.push_back({key, value->repr(), 0});
  return format_ini(doc);
}

VariableMap parse_variables(std::string_view text, const std::string& source_name) {
  IniDocument doc;
  try {
    // Values are kept whole: a saved string may contain " #".
    doc = parse_ini(text, source_name, IniSyntax{.inline_comments = false});
  } catch (const IniError& e) {
    throw_unparsable(source_name, e.line(), e.reason());
  }
  VariableMap variables;
  const IniSection* section = doc.find(kSection);
  if (section == nullptr) return variables;
  for (const auto& option : section->options) {
    Value value;
    try {
      value = Value::parse(option.value);
    } catch (const LiteralError& e) {
      throw_unparsable(source_name, option.line, e.what());
    }
    // 1e999 reads as an infinity that is written "inf", which no longer reads: refused
    // here as "inf" is, rather than at the first save, which could then never succeed.
    if (!reads_back(value))
      throw_unparsable(source_name, option.line,
                       option.key + " = " + option.value + " reads as " + value.repr() +
                           ", which cannot be saved again");
    variables.insert_or_assign(lower(option.key), std::move(value));
  }
  return variables;
}

}  // namespace klippy
