// A message of the data dictionary ("name param=%u data=%*s"), which both decodes the
// host's commands and encodes the replies.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mcu_emu {

using ParamValue = std::variant<std::int64_t, std::string>;

// A decoded command's parameters by name. Integers arrive as the 32 bits the host sent.
class Params {
 public:
  void set(std::string name, ParamValue value) { values_[std::move(name)] = std::move(value); }
  std::uint32_t u32(const std::string& name) const;
  std::int32_t i32(const std::string& name) const { return static_cast<std::int32_t>(u32(name)); }
  const std::string& bytes(const std::string& name) const;
  // "name=value ..." for traces; byte strings by their length.
  std::string describe() const;

 private:
  std::map<std::string, ParamValue> values_;
};

class MessageFormat {
 public:
  MessageFormat(int id, std::string format);

  int id() const { return id_; }
  const std::string& name() const { return name_; }
  const std::string& format() const { return format_; }

  // Appends the id and the values (in the format's order) to a payload.
  void encode(std::string& payload, const std::vector<ParamValue>& values) const;
  // Reads the parameters following the id at pos; false when the payload ends first.
  bool decode(std::string_view payload, std::size_t& pos, Params& params) const;

 private:
  struct Param {
    std::string name;
    bool is_bytes;
  };
  int id_;
  std::string format_;
  std::string name_;
  std::vector<Param> params_;
};

}  // namespace mcu_emu
