// The wire format against bytes the real host produces and expects.
#include "sim/mcu_emu/protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace mcu_emu {
namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

TEST(McuProtocol, CrcAndEmptyBlockMatchTheHost) {
  EXPECT_EQ(crc16_ccitt("123456789"), 0x6f91);
  EXPECT_EQ(encode_frame(0, {}), bytes({0x05, 0x10, 0x9e, 0x81, 0x7e}));
  // Only the low four bits of the sequence travel.
  EXPECT_EQ(encode_frame(0x20, {}), encode_frame(0, {}));
}

TEST(McuProtocol, VariableLengthQuantitiesAtTheirBoundaries) {
  const struct {
    std::int64_t value;
    std::string encoded;
  } cases[] = {
      {95, bytes({0x5f})},
      {96, bytes({0x80, 0x60})},
      {-32, bytes({0x60})},
      {-33, bytes({0xff, 0x5f})},
      {-1, bytes({0x7f})},
      {0x7fffffff, bytes({0x87, 0xff, 0xff, 0xff, 0x7f})},
      {0xffffffff, bytes({0x8f, 0xff, 0xff, 0xff, 0x7f})},
  };
  for (const auto& c : cases) {
    std::string out;
    append_vlq(out, c.value);
    EXPECT_EQ(out, c.encoded) << c.value;
    std::size_t pos = 0;
    EXPECT_EQ(read_vlq(out, pos), static_cast<std::uint32_t>(c.value)) << c.value;
    EXPECT_EQ(pos, out.size());
  }
  std::size_t pos = 0;
  EXPECT_EQ(read_vlq(bytes({0x87, 0xff}), pos), std::nullopt) << "a cut-off quantity";
}

TEST(McuProtocol, BlocksInSequenceAdvanceAndOthersAreNaked) {
  FrameReader reader;
  const std::string first = encode_frame(0, "ab");
  reader.append(first.substr(0, 4));
  EXPECT_EQ(reader.next(), std::nullopt) << "half a block waits for the rest";
  reader.append(first.substr(4));
  auto event = reader.next();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->kind, FrameEvent::Kind::kBlock);
  EXPECT_EQ(event->payload, "ab");
  EXPECT_EQ(reader.sequence(), 0x11);

  // The same block again (a retransmission already acted upon) is dropped and NAKed.
  reader.append(first);
  event = reader.next();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->kind, FrameEvent::Kind::kNak);
  EXPECT_EQ(reader.sequence(), 0x11);

  // Sequence 15 wraps to 0.
  for (int seq = 1; seq < 16; ++seq) {
    reader.append(encode_frame(static_cast<std::uint8_t>(seq), "x"));
    ASSERT_EQ(reader.next()->kind, FrameEvent::Kind::kBlock) << seq;
  }
  EXPECT_EQ(reader.sequence(), 0x10);
}

TEST(McuProtocol, CorruptBytesAreDroppedToTheNextSyncWithOneNak) {
  FrameReader reader;
  std::string bad = encode_frame(0, "abc");
  bad[3] ^= 0x01;  // a flipped bit in the payload
  reader.append(bad + bytes({0x33, 0x44, 0x7e}) + encode_frame(0, "ok"));
  auto event = reader.next();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->kind, FrameEvent::Kind::kNak);
  event = reader.next();
  ASSERT_TRUE(event) << "the garbage after the first sync is not NAKed a second time";
  EXPECT_EQ(event->kind, FrameEvent::Kind::kBlock);
  EXPECT_EQ(event->payload, "ok");
  EXPECT_EQ(reader.next(), std::nullopt);

  // Sync bytes between blocks are idle line, not errors.
  reader.append(bytes({0x7e, 0x7e}) + encode_frame(1, "y"));
  event = reader.next();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->kind, FrameEvent::Kind::kBlock);
}

}  // namespace
}  // namespace mcu_emu
