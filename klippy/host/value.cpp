// Accessors, equality and literal text of Value. The parser lives in value_parse.cpp.
#include "klippy/host/value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace klippy {

namespace {

[[noreturn]] void wrong_type(const char* wanted, const Value& v) {
  throw std::logic_error(std::string("value ") + v.repr() + " is not " + wanted);
}

// Exact comparison of an integer with a float, as the host language does it: 2**53 + 1 is
// not equal to float(2**53 + 1) even though a plain conversion would make them so.
bool int_equals_float(std::int64_t i, double d) {
  if (!std::isfinite(d) || std::trunc(d) != d) return false;
  // 2**63 as a double; every integral double in [-2**63, 2**63) converts exactly.
  constexpr double kTwoPow63 = 9223372036854775808.0;
  if (d < -kTwoPow63 || d >= kTwoPow63) return false;
  return static_cast<std::int64_t>(d) == i;
}

void append_string_repr(std::string& out, const std::string& s) {
  const bool has_single = s.find('\'') != std::string::npos;
  const bool has_double = s.find('"') != std::string::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  out += quote;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == static_cast<unsigned char>(quote) || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else if (c == 0xc2 && i + 1 < s.size() &&
               ((static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
                 static_cast<unsigned char>(s[i + 1]) < 0xa1) ||
                static_cast<unsigned char>(s[i + 1]) == 0xad)) {
      // U+0080..U+00A0 and the soft hyphen are not printable: shown as escapes. A 0xc2
      // byte before anything else is no such character and is kept as it is.
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(s[i + 1]));
      out += buf;
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += quote;
}

void append_repr(std::string& out, const Value& v);

void append_items(std::string& out, const std::vector<Value>& items) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    append_repr(out, items[i]);
  }
}

void append_repr(std::string& out, const Value& v) {
  if (v.is_none()) {
    out += "None";
  } else if (v.is_bool()) {
    out += v.as_bool() ? "True" : "False";
  } else if (v.is_int()) {
    out += std::to_string(v.as_int());
  } else if (v.is_float()) {
    out += format_float(v.as_float());
  } else if (v.is_string()) {
    append_string_repr(out, v.as_string());
  } else if (v.is_list()) {
    out += '[';
    append_items(out, v.as_list());
    out += ']';
  } else if (v.is_tuple()) {
    const auto& items = v.as_tuple();
    out += '(';
    append_items(out, items);
    if (items.size() == 1) out += ',';
    out += ')';
  } else {
    out += '{';
    bool first = true;
    for (const auto& [key, value] : v.as_dict()) {
      if (!first) out += ", ";
      first = false;
      append_repr(out, key);
      out += ": ";
      append_repr(out, value);
    }
    out += '}';
  }
}

bool dict_equals(const Value::Dict& a, const Value::Dict& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    bool matched = false;
    for (const auto& [other_key, other_value] : b) {
      if (key == other_key) {
        matched = value == other_value;
        break;
      }
    }
    if (!matched) return false;
  }
  return true;
}

}  // namespace

bool Value::as_bool() const {
  if (const auto* b = std::get_if<bool>(&data_)) return *b;
  wrong_type("a boolean", *this);
}

std::int64_t Value::as_int() const {
  if (const auto* i = std::get_if<std::int64_t>(&data_)) return *i;
  if (const auto* b = std::get_if<bool>(&data_)) return *b ? 1 : 0;
  if (const auto* d = std::get_if<double>(&data_)) {
    constexpr double kTwoPow63 = 9223372036854775808.0;
    if (!std::isfinite(*d) || *d < -kTwoPow63 || *d >= kTwoPow63)
      wrong_type("an integer in range", *this);
    return static_cast<std::int64_t>(*d);
  }
  wrong_type("a number", *this);
}

double Value::as_float() const {
  if (const auto* d = std::get_if<double>(&data_)) return *d;
  if (const auto* i = std::get_if<std::int64_t>(&data_)) return static_cast<double>(*i);
  if (const auto* b = std::get_if<bool>(&data_)) return *b ? 1.0 : 0.0;
  wrong_type("a number", *this);
}

const std::string& Value::as_string() const {
  if (const auto* s = std::get_if<std::string>(&data_)) return *s;
  wrong_type("a string", *this);
}

const Value::List& Value::as_list() const {
  if (const auto* l = std::get_if<std::shared_ptr<List>>(&data_)) return **l;
  wrong_type("a list", *this);
}

const std::vector<Value>& Value::as_tuple() const {
  if (const auto* t = std::get_if<std::shared_ptr<Tuple>>(&data_)) return (*t)->items;
  wrong_type("a tuple", *this);
}

const Value::Dict& Value::as_dict() const {
  if (const auto* d = std::get_if<std::shared_ptr<Dict>>(&data_)) return **d;
  wrong_type("a dict", *this);
}

const Value* Value::find(std::string_view key) const {
  if (!is_dict()) return nullptr;
  for (const auto& [k, v] : as_dict())
    if (k.is_string() && k.as_string() == key) return &v;
  return nullptr;
}

bool Value::truthy() const {
  if (is_none()) return false;
  if (is_bool()) return as_bool();
  if (is_int()) return as_int() != 0;
  if (is_float()) return as_float() != 0.0;
  if (is_string()) return !as_string().empty();
  if (is_list()) return !as_list().empty();
  if (is_tuple()) return !as_tuple().empty();
  return !as_dict().empty();
}

std::string Value::repr() const {
  std::string out;
  append_repr(out, *this);
  return out;
}

std::string Value::str() const {
  return is_string() ? as_string() : repr();
}

bool operator==(const Value& a, const Value& b) {
  if (a.is_number() && b.is_number()) {
    if (a.is_float() && b.is_float()) return a.as_float() == b.as_float();
    if (a.is_float()) return int_equals_float(b.as_int(), a.as_float());
    if (b.is_float()) return int_equals_float(a.as_int(), b.as_float());
    return a.as_int() == b.as_int();
  }
  if (a.data_.index() != b.data_.index()) return false;
  if (a.is_none()) return true;
  if (a.is_string()) return a.as_string() == b.as_string();
  if (a.is_list()) return a.as_list() == b.as_list();
  if (a.is_tuple()) return a.as_tuple() == b.as_tuple();
  return dict_equals(a.as_dict(), b.as_dict());
}

std::string format_float(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";

  // Shortest round-trip digits in scientific form, e.g. "-1.2345e+02" or "1e-05".
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(result.ptr - buf));
  const bool negative = sci.front() == '-';
  const auto e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(negative ? 1 : 0, e_pos - (negative ? 1 : 0)))
    if (c != '.') digits += c;
  int exponent = 0;
  const auto exp_text = sci.substr(e_pos + 1);
  std::from_chars(exp_text.data() + (exp_text.front() == '+' ? 1 : 0),
                  exp_text.data() + exp_text.size(), exponent);

  std::string out = negative ? "-" : "";
  if (exponent < -4 || exponent >= 16) {
    out += digits.front();
    if (digits.size() > 1) {
      out += '.';
      out += digits.substr(1);
    }
    char exp_buf[16];
    std::snprintf(exp_buf, sizeof exp_buf, "e%c%02d", exponent < 0 ? '-' : '+',
                  exponent < 0 ? -exponent : exponent);
    out += exp_buf;
  } else if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  } else {
    const auto int_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= int_digits) {
      out += digits;
      out.append(int_digits - digits.size(), '0');
      out += ".0";
    } else {
      out += digits.substr(0, int_digits);
      out += '.';
      out += digits.substr(int_digits);
    }
  }
  return out;
}

}  // namespace klippy
