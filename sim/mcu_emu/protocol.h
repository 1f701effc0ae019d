// Klipper's serial framing as a micro-controller sees it: blocks of
// [length][sequence][payload][crc16 hi][crc16 lo][0x7e], the payload a run of messages
// whose id and integer parameters are variable-length quantities.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mcu_emu {

inline constexpr std::size_t kMessageMin = 5;
inline constexpr std::size_t kMessageMax = 64;
inline constexpr std::size_t kPayloadMax = kMessageMax - kMessageMin;
inline constexpr std::uint8_t kSequenceMask = 0x0f;
inline constexpr std::uint8_t kDestination = 0x10;
inline constexpr std::uint8_t kSync = 0x7e;

std::uint16_t crc16_ccitt(std::string_view bytes);

// Appends v as the host's variable-length quantity (signed values keep their sign bit
// in the leading group, so -1 is one byte).
void append_vlq(std::string& out, std::int64_t v);
// Reads a variable-length quantity at pos, advancing it; nullopt when the bytes end first.
std::optional<std::int64_t> read_vlq(std::string_view in, std::size_t& pos);

// One whole block, stamped with the sequence number the receiver expects next.
std::string encode_frame(std::uint8_t sequence, std::string_view payload);

// What the receiving side does with one step of the incoming byte stream.
struct FrameEvent {
  enum class Kind { kBlock, kNak } kind;
  std::string payload;  // the messages of a block in order
};

// Splits the host's byte stream into blocks the way the firmware does: a block out of
// sequence is dropped and answered with an ack of the expected sequence (which the host
// reads as a NAK, a repeated ack); a corrupt block drops bytes up to the next 0x7e and is
// NAKed once until a valid block arrives; leading 0x7e bytes are skipped silently.
class FrameReader {
 public:
  void append(std::string_view bytes) { buffer_.append(bytes); }
  std::optional<FrameEvent> next();
  // The sequence (with the destination bit) the next block must carry, and which every
  // block sent back is stamped with.
  std::uint8_t sequence() const { return next_sequence_; }
  void reset_sequence() { next_sequence_ = kDestination; }

 private:
  std::optional<FrameEvent> resync();

  std::string buffer_;
  std::uint8_t next_sequence_ = kDestination;
  bool need_sync_ = false;
  bool need_valid_ = false;
};

}  // namespace mcu_emu
