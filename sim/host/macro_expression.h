// One placeholder of a G-code macro in the host's template syntax, the subset our
// configurations use: names, string and number literals, attribute and subscript access
// (`printer.save_variables.variables['value_t' ~ params.T]`), `~` joining texts and
// parentheses, the filters `default(x)` and `int`, and conditions of `{% if %}` blocks. As in
// the host's templates, something undefined prints as nothing, but reading from it is an
// error; a filter the host does not know fails when the template is compiled.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "klippy/host/value.h"

namespace sim {

class MacroExpression {
 public:
  // A name's value, nullopt when it is undefined.
  using Lookup = std::function<std::optional<klippy::Value>(const std::string& name)>;

  // `names` resolves the bare names (params, the macro's variables); `printer` resolves
  // `printer.<object>` to the object's status.
  MacroExpression(std::string text, Lookup names, Lookup printer);

  // The placeholder's text; CommandError when it cannot be parsed or evaluated.
  std::string render();
  // The text as the condition of an `if` block: `[not] a [== b | != b]`.
  bool truth();
  // Parses without looking anything up; the error text of the first syntax fault, if any.
  static std::optional<std::string> syntax_error(const std::string& text, bool condition = false);

 private:
  struct Operand {
    bool is_printer = false;
    std::optional<klippy::Value> value;
    std::string source;  // the text it came from, for errors
  };

  bool parse_condition();
  bool parse_word(const std::string& word);
  Operand parse_concat();
  Operand parse_postfix();
  Operand parse_primary();
  Operand member(const Operand& base, const klippy::Value& key, const std::string& source);
  Operand parse_filter(const Operand& operand);
  std::string parse_name();
  void skip_blanks();
  bool take(char c);
  [[noreturn]] void syntax_fault(const std::string& expected) const;
  static std::string text_of(const Operand& operand);

  std::string text_;
  size_t at_ = 0;
  Lookup names_;
  Lookup printer_;
  bool dry_run_ = false;
};

}  // namespace sim
