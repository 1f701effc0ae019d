#include "message.h"

#include <sstream>
#include <stdexcept>

#include "protocol.h"

namespace mcu_emu {

std::uint32_t Params::u32(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end() || !std::holds_alternative<std::int64_t>(it->second))
    throw std::logic_error("message has no integer parameter " + name);
  return static_cast<std::uint32_t>(std::get<std::int64_t>(it->second));
}

std::string Params::describe() const {
  std::string out;
  for (const auto& [name, value] : values_) {
    out += ' ' + name + '=';
    if (const auto* number = std::get_if<std::int64_t>(&value))
      out += std::to_string(*number);
    else
      out += '<' + std::to_string(std::get<std::string>(value).size()) + " bytes>";
  }
  return out;
}

const std::string& Params::bytes(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end() || !std::holds_alternative<std::string>(it->second))
    throw std::logic_error("message has no buffer parameter " + name);
  return std::get<std::string>(it->second);
}

MessageFormat::MessageFormat(int id, std::string format) : id_(id), format_(std::move(format)) {
  std::istringstream words(format_);
  words >> name_;
  std::string word;
  while (words >> word) {
    const auto eq = word.find('=');
    if (eq == std::string::npos) throw std::logic_error("malformed message format: " + format_);
    const std::string type = word.substr(eq + 1);
    const bool is_bytes = type == "%s" || type == "%*s" || type == "%.*s";
    if (!is_bytes && type != "%u" && type != "%i" && type != "%hu" && type != "%hi" && type != "%c")
      throw std::logic_error("unknown parameter type in message format: " + format_);
    params_.push_back({word.substr(0, eq), is_bytes});
  }
}

void MessageFormat::encode(std::string& payload, const std::vector<ParamValue>& values) const {
  if (values.size() != params_.size())
    throw std::logic_error("wrong number of values for " + format_);
  append_vlq(payload, id_);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (params_[i].is_bytes) {
      const auto& bytes = std::get<std::string>(values[i]);
      payload.push_back(static_cast<char>(bytes.size()));
      payload.append(bytes);
    } else {
      append_vlq(payload, std::get<std::int64_t>(values[i]));
    }
  }
}

bool MessageFormat::decode(std::string_view payload, std::size_t& pos, Params& params) const {
  for (const auto& param : params_) {
    if (param.is_bytes) {
      if (pos >= payload.size()) return false;
      const auto length = static_cast<std::uint8_t>(payload[pos++]);
      if (payload.size() - pos < length) return false;
      params.set(param.name, std::string(payload.substr(pos, length)));
      pos += length;
    } else {
      const auto value = read_vlq(payload, pos);
      if (!value) return false;
      params.set(param.name, *value);
    }
  }
  return true;
}

}  // namespace mcu_emu
