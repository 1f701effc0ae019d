#include "apps/feedbox/value_json.h"

#include <cmath>

namespace feedbox {

nlohmann::ordered_json to_json(const klippy::Value& value) {
  if (value.is_none()) return nullptr;
  if (value.is_bool()) return value.as_bool();
  if (value.is_int()) return value.as_int();
  if (value.is_float()) {
    double d = value.as_float();
    if (!std::isfinite(d)) return nullptr;  // JSON has no infinities
    return d;
  }
  if (value.is_string()) return value.as_string();
  if (value.is_list() || value.is_tuple()) {
    auto array = nlohmann::ordered_json::array();
    for (const auto& item : value.is_list() ? value.as_list() : value.as_tuple()) {
      array.push_back(to_json(item));
    }
    return array;
  }
  auto object = nlohmann::ordered_json::object();
  for (const auto& [key, item] : value.as_dict()) object[key.str()] = to_json(item);
  return object;
}

}  // namespace feedbox
