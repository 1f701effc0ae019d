// An emulated controller driven through its byte stream as the host drives it.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/mcu_emu/mcu.h"

namespace mcu_emu::testing {

struct Reply {
  std::string name;
  Params params;
};

class McuTest : public ::testing::Test {
 protected:
  explicit McuTest(McuConstants constants = {}) : mcu_(constants, [this] { return ticks_; }) {
    const auto dictionary = nlohmann::json::parse(mcu_.dictionary().json());
    for (const auto& [format, id] : dictionary["commands"].items())
      commands_.emplace(format.substr(0, format.find(' ')), MessageFormat(id, format));
    for (const auto& [format, id] : dictionary["responses"].items())
      responses_.emplace(id.get<int>(), MessageFormat(id, format));
  }

  // Sends one command in its own block; returns the replies before the block's ack.
  std::vector<Reply> send(const std::string& name, const std::vector<ParamValue>& values = {}) {
    std::string payload;
    commands_.at(name).encode(payload, values);
    return receive(encode_frame(sequence_++, payload));
  }

  std::vector<Reply> receive(const std::string& bytes) { return decode(mcu_.receive(bytes)); }

  // Advances the clock and returns what the controller reports by itself meanwhile,
  // apart from its periodic load statistics.
  std::vector<Reply> advance(std::uint64_t ticks) {
    ticks_ += ticks;
    auto replies = decode(mcu_.poll());
    std::erase_if(replies, [](const Reply& r) { return r.name == "stats"; });
    return replies;
  }

  void configure(std::int64_t oids) { send("allocate_oids", {oids}); }

  std::vector<Reply> decode(const std::string& out) {
    std::vector<Reply> replies;
    std::size_t pos = 0;
    while (pos < out.size()) {
      const auto length = static_cast<std::size_t>(out[pos]);
      const std::string payload = out.substr(pos + 2, length - kMessageMin);
      pos += length;
      if (payload.empty()) {
        ++acks_;
        continue;
      }
      std::size_t at = 0;
      const auto& format = responses_.at(static_cast<int>(*read_vlq(payload, at)));
      Reply reply{format.name(), {}};
      EXPECT_TRUE(format.decode(payload, at, reply.params));
      replies.push_back(std::move(reply));
    }
    return replies;
  }

  std::uint64_t ticks_ = 0;
  Mcu mcu_;
  std::map<std::string, MessageFormat> commands_;
  std::map<int, MessageFormat> responses_;
  std::uint8_t sequence_ = 0;
  int acks_ = 0;
};

}  // namespace mcu_emu::testing
