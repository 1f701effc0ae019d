// Ordered INI documents: the printer configuration, the filament table, the saved-variables
// file and the box configuration all use this one reader and writer.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace klippy {

// A malformed INI text; the message reads "<source>:<line>: <reason>".
class IniError : public std::runtime_error {
 public:
  IniError(const std::string& source, int line, const std::string& reason);
  // Same location data under a message of the caller's own wording.
  static IniError with_message(const std::string& message, std::string source, int line,
                               std::string reason);

  const std::string& source() const { return source_; }
  int line() const { return line_; }
  const std::string& reason() const { return reason_; }

 private:
  IniError(const std::string& message, std::string source, int line, std::string reason);

  std::string source_;
  int line_;
  std::string reason_;
};

struct IniOption {
  std::string key;
  std::string value;
  int line = 0;  // 1-based line of the key in the source; 0 for options built in code
};

struct IniSection {
  std::string name;
  std::vector<IniOption> options;
  int line = 0;

  const IniOption* find(std::string_view key) const;
  // Replaces the value of an existing option in place, or appends a new option.
  void set(std::string key, std::string value, int line_number = 0);
};

struct IniDocument {
  std::vector<IniSection> sections;

  const IniSection* find(std::string_view name) const;
  // The section of that name, appended empty when missing.
  IniSection& section(std::string_view name);
};

// How one kind of file is read and written. The defaults read the printer configuration
// and the saved-variables file as Python's configparser does.
struct IniSyntax {
  // Strip " #..." and " ;..." after values. The saved-variables file keeps them, since a
  // saved string may well contain " #".
  bool inline_comments = true;
  // The printer's host cuts every line at its first '#' before it parses the rest, so
  // "a#b" reads "a" and a '#' line inside a value counts as one of its blank lines.
  bool hash_ends_line = false;
  // Blank lines inside a continued value stay in it; the box files drop them.
  bool blank_lines_in_values = true;
  // What may end a key: in the box files only ':', as their values may hold '='.
  std::string_view key_ends = ":=";
  // Between key and value when written.
  std::string_view written_separator = " = ";
  // Keys as the host looks them up; else as written.
  bool lower_case_keys = false;
  // A repeated section or option is refused instead of merged or replaced: box detection
  // edits one value and would otherwise write back something else than it read.
  bool refuse_repeats = false;
};

// Reads "[section]" headers, "key: value" / "key = value" options and indented
// continuation lines (joined with '\n') as Python's configparser does: a section name
// keeps the blanks inside its brackets, and blank lines inside a continued value stay in
// it while those after its last line do not. A repeated option replaces the earlier
// value; a repeated section merges into the first one. Throws IniError.
IniDocument parse_ini(std::string_view text, const std::string& source_name, IniSyntax syntax = {});

// "[name]\nkey = value\n...\n" with a blank line after every section; continuation lines
// of multi-line values are indented with a tab, so parse_ini reads the text back with the
// same syntax.
std::string format_ini(const IniDocument& document, IniSyntax syntax = {});

// Blanks of configuration text: space, tab and the other ASCII white space but newline.
bool is_ini_blank(char c);
// `text` without leading and trailing blanks.
std::string_view trim_ini_blanks(std::string_view text);

// The whole content of a file. Throws std::runtime_error naming the path and the cause.
std::string read_text_file(const std::string& path);

}  // namespace klippy
