// Reading literal text (None, booleans, numbers, strings, lists, tuples, dicts) into a
// Value. Anything that is not a plain literal, such as a name or a call, is refused.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <string>

#include "klippy/host/value.h"

namespace klippy {

namespace {

constexpr int kMaxNesting = 100;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_ident_char(char c) {
  return is_digit(c) || c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         static_cast<unsigned char>(c) >= 0x80;
}
int hex_digit(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

// Dict keys must be immutable, as in the host language.
bool is_hashable(const Value& v) {
  if (v.is_list() || v.is_dict()) return false;
  if (v.is_tuple()) return std::all_of(v.as_tuple().begin(), v.as_tuple().end(), is_hashable);
  return true;
}

class LiteralParser {
 public:
  explicit LiteralParser(std::string_view text) : text_(text) {}

  Value parse_whole() {
    skip_space();
    if (at_end()) fail("empty text where a value was expected");
    Value v = parse_value(0);
    skip_space();
    if (!at_end()) fail("unexpected text after the value");
    return v;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;

  bool at_end() const { return pos_ >= text_.size(); }
  char peek(std::size_t ahead = 0) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
  }

  [[noreturn]] void fail(const std::string& reason) const {
    throw LiteralError(reason + " at column " + std::to_string(pos_ + 1));
  }

  void skip_space() {
    while (!at_end()) {
      const char c = peek();
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
        ++pos_;
      } else if (c == '#') {
        while (!at_end() && peek() != '\n') ++pos_;
      } else if (c == '\\' && (peek(1) == '\n' || (peek(1) == '\r' && peek(2) == '\n'))) {
        pos_ += peek(1) == '\n' ? 2 : 3;
      } else {
        return;
      }
    }
  }

  void expect(char c, const char* what) {
    skip_space();
    if (peek() != c) fail(std::string("expected ") + what);
    ++pos_;
  }

  Value parse_value(int depth) {
    if (depth > kMaxNesting) fail("values nested too deeply");
    skip_space();
    const char c = peek();
    if (c == '[') return parse_list(depth);
    if (c == '(') return parse_parenthesized(depth);
    if (c == '{') return parse_dict(depth);
    if (c == '\'' || c == '"') return parse_strings();
    if (c == '+' || c == '-') return parse_signed();
    if (is_digit(c) || (c == '.' && is_digit(peek(1)))) return parse_number(false);
    if (is_ident_char(c)) return parse_name();
    if (at_end()) fail("missing value");
    fail(std::string("unexpected character '") + c + "'");
  }

  Value parse_name() {
    const std::size_t start = pos_;
    while (!at_end() && is_ident_char(peek())) ++pos_;
    const std::string_view name = text_.substr(start, pos_ - start);
    if (peek() == '\'' || peek() == '"') {
      std::string prefix(name);
      std::transform(prefix.begin(), prefix.end(), prefix.begin(),
                     [](char ch) { return static_cast<char>(std::tolower(ch)); });
      if (prefix == "r" || prefix == "u") {
        pos_ = start;
        return parse_strings();
      }
      pos_ = start;
      fail("only plain string literals are supported, not " + prefix + "-strings");
    }
    if (name == "None") return Value();
    if (name == "True") return Value(true);
    if (name == "False") return Value(false);
    pos_ = start;
    // Built by appending: GCC 12 misreads "literal" + std::string&& as an overlapping copy.
    std::string message = "'";
    message.append(name).append("' is not a literal (quote strings, e.g. '");
    message.append(name).append("')");
    fail(message);
  }

  Value parse_list(int depth) {
    ++pos_;
    Value::List items;
    parse_sequence(depth, ']', items);
    return Value(std::move(items));
  }

  // Reads "item, item, ... close" after the opening bracket; a trailing comma is allowed.
  void parse_sequence(int depth, char close, std::vector<Value>& items) {
    while (true) {
      skip_space();
      if (peek() == close) {
        ++pos_;
        return;
      }
      items.push_back(parse_value(depth + 1));
      skip_space();
      if (peek() == ',') {
        ++pos_;
      } else if (peek() != close) {
        fail(std::string("expected ',' or '") + close + "'");
      }
    }
  }

  Value parse_parenthesized(int depth) {
    ++pos_;
    skip_space();
    if (peek() == ')') {
      ++pos_;
      return Value(Value::Tuple{});
    }
    Value first = parse_value(depth + 1);
    skip_space();
    if (peek() == ')') {
      ++pos_;
      return first;  // plain grouping, not a tuple
    }
    if (peek() != ',') fail("expected ',' or ')'");
    ++pos_;
    Value::Tuple tuple;
    tuple.items.push_back(std::move(first));
    parse_sequence(depth, ')', tuple.items);
    return Value(std::move(tuple));
  }

  Value parse_dict(int depth) {
    ++pos_;
    Value::Dict dict;
    while (true) {
      skip_space();
      if (peek() == '}') {
        ++pos_;
        return Value(std::move(dict));
      }
      const std::size_t key_pos = pos_;
      Value key = parse_value(depth + 1);
      skip_space();
      if (peek() != ':') {
        if (dict.empty() && (peek() == ',' || peek() == '}')) fail("sets are not supported");
        fail("expected ':' after a dict key");
      }
      if (!is_hashable(key)) {
        pos_ = key_pos;
        fail("a list or dict cannot be a dict key");
      }
      ++pos_;
      Value value = parse_value(depth + 1);
      auto same_key = [&key](const auto& entry) { return entry.first == key; };
      if (auto it = std::find_if(dict.begin(), dict.end(), same_key); it != dict.end()) {
        it->second = std::move(value);  // a repeated key keeps its first place
      } else {
        dict.emplace_back(std::move(key), std::move(value));
      }
      skip_space();
      if (peek() == ',') {
        ++pos_;
      } else if (peek() != '}') {
        fail("expected ',' or '}'");
      }
    }
  }

  Value parse_signed() {
    const bool negative = peek() == '-';
    ++pos_;
    return parse_signed_operand(negative, 0);
  }

  // A sign applies to a number only, possibly wrapped in parentheses: -(1) but not --1.
  Value parse_signed_operand(bool negative, int depth) {
    if (depth > kMaxNesting) fail("values nested too deeply");
    skip_space();
    if (peek() == '(') {
      ++pos_;
      Value v = parse_signed_operand(negative, depth + 1);
      expect(')', "')'");
      return v;
    }
    if (is_digit(peek()) || (peek() == '.' && is_digit(peek(1)))) return parse_number(negative);
    fail("a sign must be followed by a number");
  }

  // Digits with single underscores between them; returns them without the underscores.
  std::string scan_digits(int (*digit_value)(char), int base) {
    std::string digits;
    while (!at_end()) {
      const int d = digit_value(peek());
      if (d >= 0 && d < base) {
        digits += peek();
        ++pos_;
      } else if (peek() == '_' && !digits.empty() && digit_value(peek(1)) >= 0 &&
                 digit_value(peek(1)) < base) {
        ++pos_;
      } else {
        break;
      }
    }
    return digits;
  }

  Value make_int(const std::string& digits, int base, bool negative, std::size_t start) {
    std::uint64_t magnitude = 0;
    const char* end = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), end, magnitude, base);
    const std::uint64_t limit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
    if (ec != std::errc() || ptr != end || magnitude > limit) {
      pos_ = start;
      fail("integer out of range");
    }
    if (!negative) return Value(static_cast<std::int64_t>(magnitude));
    if (magnitude == limit) return Value(std::numeric_limits<std::int64_t>::min());
    return Value(-static_cast<std::int64_t>(magnitude));
  }

  Value parse_number(bool negative) {
    const std::size_t start = pos_;
    if (peek() == '0' && std::string_view("xXoObB").find(peek(1)) != std::string_view::npos) {
      const char kind = static_cast<char>(std::tolower(peek(1)));
      const int base = kind == 'x' ? 16 : kind == 'o' ? 8 : 2;
      pos_ += 2;
      if (peek() == '_') ++pos_;
      const std::string digits = scan_digits(hex_digit, base);
      if (digits.empty() || is_ident_char(peek())) fail("invalid number");
      return make_int(digits, base, negative, start);
    }
    auto decimal = [](char c) { return is_digit(c) ? c - '0' : -1; };
    const std::string int_part = scan_digits(decimal, 10);
    std::string mantissa = int_part;
    bool is_float = false;
    if (peek() == '.') {
      is_float = true;
      ++pos_;
      mantissa += '.';
      if (is_digit(peek())) mantissa += scan_digits(decimal, 10);
    }
    long long exponent = 0;
    if (peek() == 'e' || peek() == 'E') {
      is_float = true;
      ++pos_;
      bool exp_negative = false;
      if (peek() == '+' || peek() == '-') exp_negative = text_[pos_++] == '-';
      const std::string exp_digits = scan_digits(decimal, 10);
      if (exp_digits.empty()) fail("invalid number");
      for (char c : exp_digits) exponent = std::min(exponent * 10 + (c - '0'), 100000LL);
      if (exp_negative) exponent = -exponent;
    }
    if (is_ident_char(peek())) fail("invalid number");
    if (!is_float) {
      if (int_part.size() > 1 && int_part.front() == '0' &&
          int_part.find_first_not_of('0') != std::string::npos) {
        pos_ = start;
        fail("leading zeros are not allowed in integers");
      }
      return make_int(int_part, 10, negative, start);
    }
    return Value(make_float(mantissa, exponent, negative));
  }

  static double make_float(const std::string& mantissa, long long exponent, bool negative) {
    const std::string text = mantissa + "e" + std::to_string(exponent);
    double d = 0.0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (ec == std::errc::result_out_of_range) {
      // Too large becomes infinity and too small becomes zero, as the host language does.
      const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
      const std::size_t first_nonzero = mantissa.find_first_of("123456789");
      long long order = exponent;
      if (first_nonzero != std::string::npos)
        order += static_cast<long long>(point) - static_cast<long long>(first_nonzero) +
                 (first_nonzero < point ? 0 : 1);
      d = order > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -d : d;
  }

  // One or more adjacent string literals, joined as the host language does.
  Value parse_strings() {
    std::string out;
    do {
      bool raw = false;
      if (peek() == 'r' || peek() == 'R' || peek() == 'u' || peek() == 'U') {
        raw = peek() == 'r' || peek() == 'R';
        ++pos_;
      }
      parse_one_string(raw, out);
      skip_space();
    } while (peek() == '\'' || peek() == '"' ||
             ((peek() == 'r' || peek() == 'R' || peek() == 'u' || peek() == 'U') &&
              (peek(1) == '\'' || peek(1) == '"')));
    return Value(std::move(out));
  }

  void parse_one_string(bool raw, std::string& out) {
    const std::size_t start = pos_;
    const char quote = peek();
    const bool triple = peek(1) == quote && peek(2) == quote;
    pos_ += triple ? 3 : 1;
    while (true) {
      if (at_end()) {
        pos_ = start;
        fail("unterminated string");
      }
      const char c = peek();
      if (c == quote && (!triple || (peek(1) == quote && peek(2) == quote))) {
        pos_ += triple ? 3 : 1;
        return;
      }
      if (c == '\n' && !triple) {
        pos_ = start;
        fail("unterminated string");
      }
      if (c == '\\') {
        if (raw) {
          out += c;
          ++pos_;
          if (!at_end()) out += text_[pos_++];
        } else {
          parse_escape(out);
        }
        continue;
      }
      out += c;
      ++pos_;
    }
  }

  std::uint32_t read_hex(int count) {
    std::uint32_t cp = 0;
    for (int i = 0; i < count; ++i) {
      const int d = hex_digit(peek());
      if (d < 0) fail("truncated \\x, \\u or \\U escape");
      cp = cp * 16 + static_cast<std::uint32_t>(d);
      ++pos_;
    }
    return cp;
  }

  void parse_escape(std::string& out) {
    ++pos_;  // the backslash
    if (at_end()) fail("unterminated string");
    const char c = text_[pos_++];
    switch (c) {
      case '\n':
        return;  // line continuation inside the literal
      case '\\':
        out += '\\';
        return;
      case '\'':
        out += '\'';
        return;
      case '"':
        out += '"';
        return;
      case 'a':
        out += '\a';
        return;
      case 'b':
        out += '\b';
        return;
      case 'f':
        out += '\f';
        return;
      case 'n':
        out += '\n';
        return;
      case 'r':
        out += '\r';
        return;
      case 't':
        out += '\t';
        return;
      case 'v':
        out += '\v';
        return;
      case 'x':
        append_utf8(out, read_hex(2));
        return;
      case 'u':
      case 'U': {
        const std::uint32_t cp = read_hex(c == 'u' ? 4 : 8);
        if (cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) fail("invalid code point in escape");
        append_utf8(out, cp);
        return;
      }
      case 'N':
        fail("named escapes (\\N{...}) are not supported");
      default:
        break;
    }
    if (c >= '0' && c <= '7') {
      std::uint32_t cp = static_cast<std::uint32_t>(c - '0');
      for (int i = 0; i < 2 && peek() >= '0' && peek() <= '7'; ++i)
        cp = cp * 8 + static_cast<std::uint32_t>(text_[pos_++] - '0');
      append_utf8(out, cp);
      return;
    }
    // Unknown escapes keep their backslash, as the host language does.
    out += '\\';
    out += c;
  }
};

}  // namespace

Value Value::parse(std::string_view text) {
  return LiteralParser(text).parse_whole();
}

}  // namespace klippy
