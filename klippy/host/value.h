// Typed values of the host's saved variables and object status: the Python literals that
// the host reads and writes (None, bool, int, float, str, list, tuple, dict).
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace klippy {

// Raised when a text is not a valid literal; the message says where and why.
class LiteralError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Value {
 public:
  struct None {
    bool operator==(const None&) const = default;
  };
  using List = std::vector<Value>;
  struct Tuple {
    std::vector<Value> items;
  };
  // Dicts keep insertion order, as the host language does.
  using Dict = std::vector<std::pair<Value, Value>>;

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : data_(b) {}
  template <class I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>, int> = 0>
  Value(I i) : data_(static_cast<std::int64_t>(i)) {}
  Value(double d) : data_(d) {}
  Value(std::string s) : data_(std::move(s)) {}
  Value(std::string_view s) : data_(std::string(s)) {}
  Value(const char* s) : data_(std::string(s)) {}
  Value(List l) : data_(std::make_shared<List>(std::move(l))) {}
  Value(Tuple t) : data_(std::make_shared<Tuple>(std::move(t))) {}
  Value(Dict d) : data_(std::make_shared<Dict>(std::move(d))) {}

  bool is_none() const { return std::holds_alternative<None>(data_); }
  bool is_bool() const { return std::holds_alternative<bool>(data_); }
  bool is_int() const { return std::holds_alternative<std::int64_t>(data_); }
  bool is_float() const { return std::holds_alternative<double>(data_); }
  // Numbers in the host language's sense: bool, int and float.
  bool is_number() const { return is_bool() || is_int() || is_float(); }
  bool is_string() const { return std::holds_alternative<std::string>(data_); }
  bool is_list() const { return std::holds_alternative<std::shared_ptr<List>>(data_); }
  bool is_tuple() const { return std::holds_alternative<std::shared_ptr<Tuple>>(data_); }
  bool is_dict() const { return std::holds_alternative<std::shared_ptr<Dict>>(data_); }

  // Accessors throw std::bad_variant_access-like errors (std::logic_error) on a wrong type,
  // except as_int/as_float, which accept any number (a float is truncated by as_int).
  bool as_bool() const;
  std::int64_t as_int() const;
  double as_float() const;
  const std::string& as_string() const;
  const List& as_list() const;
  const std::vector<Value>& as_tuple() const;
  const Dict& as_dict() const;
  // Dict lookup by string key; nullptr when absent or not a dict.
  const Value* find(std::string_view key) const;

  // Truth value as the host language defines it (0, 0.0, "", empty containers, None: false).
  bool truthy() const;

  // Literal text that reads back to the same value: 'slot3', "it's", None, True, 0.5, 1e-05.
  std::string repr() const;
  // Plain text: strings without quotes, everything else as repr().
  std::string str() const;

  // Parses one literal (surrounding white space allowed). Throws LiteralError.
  static Value parse(std::string_view text);

  // Equality of the host language: 1 == 1.0 == True, but "3" != 3.
  friend bool operator==(const Value& a, const Value& b);

 private:
  std::variant<None, bool, std::int64_t, double, std::string, std::shared_ptr<List>,
               std::shared_ptr<Tuple>, std::shared_ptr<Dict>>
      data_;
};

// Shortest decimal text that reads back to the same double, laid out as the host
// language prints floats ("0.5", "100.0", "1e-05", "1e+16", "inf", "nan").
std::string format_float(double d);

}  // namespace klippy
