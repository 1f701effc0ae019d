#include "sim/host/macro_expression.h"

#include <cctype>
#include <cstdlib>

#include "klippy/host/errors.h"

namespace sim {

MacroExpression::MacroExpression(std::string text, Lookup names, Lookup printer)
    : text_(std::move(text)), names_(std::move(names)), printer_(std::move(printer)) {}

std::string MacroExpression::render() {
  Operand result = parse_concat();
  skip_blanks();
  if (at_ != text_.size()) syntax_fault("end of print statement");
  return text_of(result);
}

bool MacroExpression::truth() {
  const bool result = parse_condition();
  skip_blanks();
  if (at_ != text_.size()) syntax_fault("end of statement block");
  return result;
}

bool MacroExpression::parse_word(const std::string& word) {
  skip_blanks();
  if (text_.compare(at_, word.size(), word) != 0) return false;
  const size_t after = at_ + word.size();
  if (after < text_.size() &&
      (std::isalnum(static_cast<unsigned char>(text_[after])) || text_[after] == '_'))
    return false;
  at_ = after;
  return true;
}

bool MacroExpression::parse_condition() {
  if (parse_word("not")) return !parse_condition();
  const Operand left = parse_concat();
  skip_blanks();
  for (const char* op : {"==", "!="}) {
    if (text_.compare(at_, 2, op) != 0) continue;
    at_ += 2;
    const Operand right = parse_concat();
    const bool equal = left.value == right.value;
    return op[0] == '=' ? equal : !equal;
  }
  if (!left.value) return false;
  const klippy::Value& v = *left.value;
  if (v.is_bool()) return v.as_bool();
  if (v.is_number()) return v.as_float() != 0.;
  if (v.is_string()) return !v.as_string().empty();
  if (v.is_list()) return !v.as_list().empty();
  if (v.is_dict()) return !v.as_dict().empty();
  return !v.is_none();
}

std::optional<std::string> MacroExpression::syntax_error(const std::string& text, bool condition) {
  MacroExpression dry(text, {}, {});
  dry.dry_run_ = true;
  try {
    if (condition)
      dry.truth();
    else
      dry.render();
  } catch (const klippy::CommandError& e) {
    return std::string(e.what());
  }
  return std::nullopt;
}

std::string MacroExpression::text_of(const Operand& operand) {
  if (operand.is_printer || !operand.value) return "";
  return operand.value->str();
}

void MacroExpression::skip_blanks() {
  while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
}

bool MacroExpression::take(char c) {
  skip_blanks();
  if (at_ < text_.size() && text_[at_] == c) {
    ++at_;
    return true;
  }
  return false;
}

void MacroExpression::syntax_fault(const std::string& expected) const {
  const std::string got =
      at_ >= text_.size() ? "end of print statement" : "'" + std::string(1, text_[at_]) + "'";
  throw klippy::CommandError("expected token '" + expected + "', got " + got);
}

MacroExpression::Operand MacroExpression::parse_concat() {
  Operand left = parse_postfix();
  while (take('~')) {
    Operand right = parse_postfix();
    left = {false, klippy::Value(text_of(left) + text_of(right)),
            left.source + " ~ " + right.source};
  }
  return left;
}

std::string MacroExpression::parse_name() {
  skip_blanks();
  const size_t start = at_;
  while (at_ < text_.size() &&
         (std::isalnum(static_cast<unsigned char>(text_[at_])) || text_[at_] == '_'))
    ++at_;
  if (at_ == start || std::isdigit(static_cast<unsigned char>(text_[start]))) syntax_fault("name");
  return text_.substr(start, at_ - start);
}

MacroExpression::Operand MacroExpression::parse_postfix() {
  Operand operand = parse_primary();
  for (;;) {
    if (take('.')) {
      const std::string name = parse_name();
      operand = member(operand, klippy::Value(name), operand.source + "." + name);
    } else if (take('[')) {
      Operand key = parse_concat();
      if (!take(']')) syntax_fault("]");
      operand = member(operand, key.value.value_or(klippy::Value()),
                       operand.source + "[" + key.source + "]");
    } else if (take('|')) {
      operand = parse_filter(operand);
    } else {
      return operand;
    }
  }
}

namespace {

// The host language's int() of a text, as the template filter applies it: 0 for a text
// that is no number.
long long int_of_text(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const long long whole = std::strtoll(begin, &end, 10);
  while (*end == ' ') ++end;
  if (end != begin && *end == '\0') return whole;
  const double number = std::strtod(begin, &end);
  while (*end == ' ') ++end;
  if (end != begin && *end == '\0') return static_cast<long long>(number);
  return 0;
}

}  // namespace

MacroExpression::Operand MacroExpression::parse_filter(const Operand& operand) {
  const std::string name = parse_name();
  if (name == "default" || name == "d") {
    if (!take('(')) syntax_fault("(");
    Operand fallback = parse_concat();
    if (!take(')')) syntax_fault(")");
    const std::string source = operand.source + "|" + name + "(" + fallback.source + ")";
    if (dry_run_) return {false, std::nullopt, source};
    // Only what is undefined is replaced; None and empty texts stay.
    if (operand.is_printer || operand.value) return {operand.is_printer, operand.value, source};
    return {false, fallback.value, source};
  }
  if (name == "int") {
    const std::string source = operand.source + "|int";
    if (dry_run_) return {false, std::nullopt, source};
    long long number = 0;
    if (operand.value) {
      const klippy::Value& value = *operand.value;
      if (value.is_number()) number = value.as_int();
      if (value.is_string()) number = int_of_text(value.as_string());
    }
    return {false, klippy::Value(number), source};
  }
  throw klippy::CommandError("No filter named '" + name +
                             "'. (the simulator's templates know default, d and int)");
}

MacroExpression::Operand MacroExpression::parse_primary() {
  skip_blanks();
  if (at_ >= text_.size()) syntax_fault("expression");
  const char c = text_[at_];
  if (c == '\'' || c == '"') {
    const size_t close = text_.find(c, at_ + 1);
    if (close == std::string::npos) syntax_fault("string end");
    std::string literal = text_.substr(at_ + 1, close - at_ - 1);
    at_ = close + 1;
    return {false, klippy::Value(literal), "'" + literal + "'"};
  }
  if (std::isdigit(static_cast<unsigned char>(c)) || c == '-') {
    const char* begin = text_.c_str() + at_;
    char* end = nullptr;
    const double number = std::strtod(begin, &end);
    if (end == begin) syntax_fault("expression");
    const std::string literal(begin, static_cast<size_t>(end - begin));
    at_ += literal.size();
    if (literal.find_first_of(".eE") == std::string::npos)
      return {false, klippy::Value(static_cast<long long>(number)), literal};
    return {false, klippy::Value(number), literal};
  }
  if (take('(')) {
    Operand inner = parse_concat();
    if (!take(')')) syntax_fault(")");
    return inner;
  }
  const std::string name = parse_name();
  if (dry_run_) return {false, std::nullopt, name};
  if (name == "printer") return {true, std::nullopt, name};
  return {false, names_(name), name};
}

MacroExpression::Operand MacroExpression::member(const Operand& base, const klippy::Value& key,
                                                 const std::string& source) {
  if (dry_run_) return {false, std::nullopt, source};
  if (base.is_printer) {
    return {false, key.is_string() ? printer_(key.as_string()) : std::nullopt, source};
  }
  if (!base.value) throw klippy::CommandError("'" + base.source + "' is undefined");
  const klippy::Value& container = *base.value;
  if (container.is_dict()) {
    for (const auto& [k, v] : container.as_dict())
      if (k == key) return {false, v, source};
    return {false, std::nullopt, source};
  }
  if (container.is_list() && key.is_int()) {
    const auto& items = container.as_list();
    const long long index = key.as_int();
    if (index >= 0 && index < static_cast<long long>(items.size()))
      return {false, items[static_cast<size_t>(index)], source};
  }
  return {false, std::nullopt, source};
}

}  // namespace sim
