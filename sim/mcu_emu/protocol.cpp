#include "protocol.h"

#include <algorithm>

namespace mcu_emu {

std::uint16_t crc16_ccitt(std::string_view bytes) {
  std::uint16_t crc = 0xffff;
  for (char c : bytes) {
    std::uint8_t data = static_cast<std::uint8_t>(c);
    data = static_cast<std::uint8_t>(data ^ (crc & 0xff));
    data = static_cast<std::uint8_t>(data ^ ((data & 0x0f) << 4));
    crc = static_cast<std::uint16_t>(((data << 8) | (crc >> 8)) ^ (data >> 4) ^ (data << 3));
  }
  return crc;
}

void append_vlq(std::string& out, std::int64_t v) {
  auto group = [&](int shift, bool more) {
    out.push_back(static_cast<char>(((v >> shift) & 0x7f) | (more ? 0x80 : 0)));
  };
  if (v >= 0xc000000 || v < -0x4000000) group(28, true);
  if (v >= 0x180000 || v < -0x80000) group(21, true);
  if (v >= 0x3000 || v < -0x1000) group(14, true);
  if (v >= 0x60 || v < -0x20) group(7, true);
  group(0, false);
}

std::optional<std::int64_t> read_vlq(std::string_view in, std::size_t& pos) {
  if (pos >= in.size()) return std::nullopt;
  auto c = static_cast<std::uint8_t>(in[pos++]);
  std::int64_t v = c & 0x7f;
  if ((c & 0x60) == 0x60) v |= -0x20;
  while (c & 0x80) {
    if (pos >= in.size()) return std::nullopt;
    c = static_cast<std::uint8_t>(in[pos++]);
    v = (v * 128) | (c & 0x7f);
  }
  // Like the firmware, keep 32 bits: the caller reads them signed or unsigned.
  return static_cast<std::int64_t>(static_cast<std::uint32_t>(v));
}

std::string encode_frame(std::uint8_t sequence, std::string_view payload) {
  std::string out;
  out.push_back(static_cast<char>(payload.size() + kMessageMin));
  out.push_back(static_cast<char>(kDestination | (sequence & kSequenceMask)));
  out.append(payload);
  const std::uint16_t crc = crc16_ccitt(out);
  out.push_back(static_cast<char>(crc >> 8));
  out.push_back(static_cast<char>(crc & 0xff));
  out.push_back(static_cast<char>(kSync));
  return out;
}

std::optional<FrameEvent> FrameReader::next() {
  while (!buffer_.empty()) {
    if (need_sync_) return resync();
    if (buffer_.size() < kMessageMin) return std::nullopt;
    const auto length = static_cast<std::uint8_t>(buffer_[0]);
    const auto sequence = static_cast<std::uint8_t>(buffer_[1]);
    bool valid = length >= kMessageMin && length <= kMessageMax &&
                 (sequence & ~kSequenceMask) == kDestination;
    if (valid && buffer_.size() < length) return std::nullopt;
    if (valid) {
      const std::string_view block(buffer_.data(), length);
      const std::uint16_t sent =
          static_cast<std::uint16_t>((static_cast<std::uint8_t>(block[length - 3]) << 8) |
                                     static_cast<std::uint8_t>(block[length - 2]));
      valid = static_cast<std::uint8_t>(block[length - 1]) == kSync &&
              crc16_ccitt(block.substr(0, length - 3)) == sent;
    }
    if (!valid) {
      if (static_cast<std::uint8_t>(buffer_[0]) == kSync) {
        buffer_.erase(0, 1);
        continue;
      }
      need_sync_ = true;
      return resync();
    }
    need_valid_ = false;
    std::string payload = buffer_.substr(2, length - kMessageMin);
    buffer_.erase(0, length);
    if (sequence != next_sequence_) return FrameEvent{FrameEvent::Kind::kNak, {}};
    next_sequence_ = static_cast<std::uint8_t>(((sequence + 1) & kSequenceMask) | kDestination);
    return FrameEvent{FrameEvent::Kind::kBlock, std::move(payload)};
  }
  return std::nullopt;
}

std::optional<FrameEvent> FrameReader::resync() {
  const auto sync = std::find(buffer_.begin(), buffer_.end(), static_cast<char>(kSync));
  if (sync != buffer_.end()) {
    need_sync_ = false;
    buffer_.erase(buffer_.begin(), sync + 1);
  } else {
    buffer_.clear();
  }
  // One NAK per stretch of garbage: until a valid block arrives the host knows already.
  if (need_valid_) return next();
  need_valid_ = true;
  return FrameEvent{FrameEvent::Kind::kNak, {}};
}

}  // namespace mcu_emu
