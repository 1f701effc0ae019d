// One emulated controller driven through its byte stream as the host drives it.
#include "sim/mcu_emu/mcu.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "mcu_fixture.h"

namespace mcu_emu {
namespace {

using testing::McuTest;
using testing::Reply;

TEST_F(McuTest, IdentifyHandsOverTheCompressedDictionaryInPieces) {
  std::string data;
  for (;;) {
    const auto replies =
        send("identify", {std::int64_t{static_cast<std::int64_t>(data.size())}, std::int64_t{40}});
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].params.u32("offset"), data.size());
    const std::string piece = replies[0].params.bytes("data");
    if (piece.empty()) break;
    EXPECT_LE(piece.size(), 40u);
    data += piece;
  }
  EXPECT_EQ(acks_, static_cast<int>(sequence_));
  std::string json(1 << 16, '\0');
  uLongf size = json.size();
  ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(json.data()), &size,
                       reinterpret_cast<const Bytef*>(data.data()), data.size()),
            Z_OK);
  json.resize(size);
  const auto dictionary = nlohmann::json::parse(json);
  EXPECT_EQ(dictionary["enumerations"]["pin"]["PE0"], nlohmann::json::array({64, 16}));
  EXPECT_EQ(dictionary["config"]["CLOCK_FREQ"], 168000000);
  EXPECT_EQ(dictionary["responses"]["identify_response offset=%u data=%.*s"], 0);
}

TEST_F(McuTest, ClockRepliesCarryTheCounterAndItsHighWord) {
  ticks_ = (std::uint64_t{3} << 32) + 1234;
  auto replies = send("get_uptime");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].params.u32("high"), 3u);
  EXPECT_EQ(replies[0].params.u32("clock"), 1234u);
  replies = send("get_clock");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].params.u32("clock"), 1234u);
}

TEST_F(McuTest, ConfigurationThenShutdownAndReset) {
  auto config = send("get_config");
  EXPECT_EQ(config.at(0).params.u32("is_config"), 0u);
  send("allocate_oids", {std::int64_t{3}});
  send("finalize_config", {std::int64_t{0xdeadbeef}});
  config = send("get_config");
  EXPECT_EQ(config.at(0).params.u32("is_config"), 1u);
  EXPECT_EQ(config.at(0).params.u32("crc"), 0xdeadbeefu);

  // A reset while running is refused by shutting down, as the firmware does.
  auto replies = send("config_reset");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].name, "shutdown");
  EXPECT_TRUE(mcu_.is_shutdown());
  replies = send("allocate_oids", {std::int64_t{1}});
  ASSERT_EQ(replies.size(), 1u) << "commands not allowed in shutdown are answered so";
  EXPECT_EQ(replies[0].name, "is_shutdown");

  send("config_reset");
  EXPECT_FALSE(mcu_.is_shutdown());
  EXPECT_FALSE(mcu_.is_configured());
}

TEST_F(McuTest, UnknownCommandsAndTruncatedParametersShutDown) {
  auto replies = receive(encode_frame(sequence_++, "\x5f"));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].name, "shutdown");
  send("clear_shutdown");
  EXPECT_FALSE(mcu_.is_shutdown());

  std::string payload;
  append_vlq(payload, commands_.at("finalize_config").id());
  payload += "\x8f";  // the crc's first group, and nothing after it
  replies = receive(encode_frame(sequence_++, payload));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].name, "shutdown");
  EXPECT_FALSE(mcu_.is_configured());
}

constexpr std::int64_t kPin_PA0 = 0;
constexpr std::int64_t kPin_PA8 = 8;
constexpr std::int64_t kPin_PE3 = 4 * 16 + 3;

TEST_F(McuTest, AnalogReadingsStartAtTheQueriedClockAndOutOfRangeShutsDown) {
  configure(1);
  send("config_analog_in", {std::int64_t{0}, kPin_PA0});
  // Eight samples a millisecond apart every 300 ms, accepted between 1000 and 32000.
  const std::int64_t ms = 168000;
  send("query_analog_in",
       {std::int64_t{0}, std::int64_t{100 * ms}, std::int64_t{ms}, std::int64_t{8},
        std::int64_t{300 * ms}, std::int64_t{1000}, std::int64_t{32000}, std::int64_t{4}});
  EXPECT_TRUE(advance(107 * ms).empty()) << "the eighth sample is not taken yet";
  auto reports = advance(ms);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].name, "analog_in_state");
  EXPECT_EQ(reports[0].params.u32("next_clock"), 400 * ms);
  const std::uint32_t room = reports[0].params.u32("value");
  EXPECT_GT(room, 8 * 4095 * 0.9) << "a thermistor at room temperature reads high";

  // A sensor gone open reads full scale: after range_check_count readings, a shutdown.
  mcu_.set_analog_fraction(kPin_PA0, 1.0);
  int readings = 0;
  while (!mcu_.is_shutdown() && readings < 10) {
    for (const auto& r : advance(300 * ms)) readings += r.name == "analog_in_state";
  }
  EXPECT_TRUE(mcu_.is_shutdown());
  EXPECT_EQ(readings, 3) << "the fourth reading out of range is not reported";
}

class BatchedMcuTest : public McuTest {
 protected:
  BatchedMcuTest() : McuTest(McuConstants{.batched_analog = true}) {}
};

TEST_F(BatchedMcuTest, AnalogReadingsComeInBatchesOfLittleEndianValues) {
  configure(1);
  send("config_analog_in", {std::int64_t{0}, kPin_PA0});
  mcu_.set_analog_fraction(kPin_PA0, 0.5);
  send("query_analog_in",
       {std::int64_t{0}, std::int64_t{1000}, std::int64_t{10}, std::int64_t{1}, std::int64_t{1000},
        std::int64_t{6}, std::int64_t{0}, std::int64_t{4095}, std::int64_t{0}});
  EXPECT_TRUE(advance(2500).empty()) << "two of three samples taken";
  const auto reports = advance(510);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].params.u32("next_clock"), 4000u);
  EXPECT_EQ(reports[0].params.bytes("values"), std::string("\x00\x08\x00\x08\x00\x08", 6));
}

TEST_F(McuTest, ButtonsReportChangesUntilAckedAndReadOutputsBack) {
  configure(2);
  send("config_digital_out",
       {std::int64_t{0}, kPin_PA8, std::int64_t{0}, std::int64_t{0}, std::int64_t{0}});
  send("config_buttons", {std::int64_t{1}, std::int64_t{2}});
  send("buttons_add", {std::int64_t{1}, std::int64_t{0}, kPin_PE3, std::int64_t{1}});
  send("buttons_add", {std::int64_t{1}, std::int64_t{1}, kPin_PA8, std::int64_t{0}});
  // Polled every 100 ticks, retransmitted every third poll, the pulled-up pin inverted.
  send("buttons_query",
       {std::int64_t{1}, std::int64_t{100}, std::int64_t{100}, std::int64_t{3}, std::int64_t{1}});
  EXPECT_TRUE(advance(500).empty()) << "an idle pulled-up button inverted reads released";

  send("update_digital_out", {std::int64_t{0}, std::int64_t{1}});
  EXPECT_TRUE(advance(100).empty()) << "debounced: one poll is not enough";
  auto reports = advance(100);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].params.u32("ack_count"), 0u);
  EXPECT_EQ(reports[0].params.bytes("state"), std::string("\x03")) << "raw levels";
  EXPECT_TRUE(advance(200).empty());
  EXPECT_EQ(advance(100).size(), 1u) << "unacknowledged, sent again on the third poll";

  send("buttons_ack", {std::int64_t{1}, std::int64_t{1}});
  EXPECT_TRUE(advance(1000).empty());
  send("update_digital_out", {std::int64_t{0}, std::int64_t{0}});
  reports = advance(200);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].params.u32("ack_count"), 1u);
  EXPECT_EQ(reports[0].params.bytes("state"), std::string("\x01"));

  // A restarted host queries again and counts from zero: a level away from idle is
  // reported afresh, the unacknowledged report forgotten.
  send("update_digital_out", {std::int64_t{0}, std::int64_t{1}});
  send("buttons_query", {std::int64_t{1}, static_cast<std::int64_t>(ticks_ + 100),
                         std::int64_t{100}, std::int64_t{3}, std::int64_t{1}});
  advance(100);
  reports = advance(100);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].params.u32("ack_count"), 0u);
  EXPECT_EQ(reports[0].params.bytes("state"), std::string("\x03"));
}

TEST_F(McuTest, AHeaterLeftOnUnrenewedShutsDown) {
  configure(1);
  const std::int64_t second = 168000000;
  // A software-PWM heater that may stay on three seconds without a renewal.
  send("config_digital_out",
       {std::int64_t{0}, kPin_PA8, std::int64_t{0}, std::int64_t{0}, std::int64_t{3 * second}});
  send("set_digital_out_pwm_cycle", {std::int64_t{0}, std::int64_t{second / 10}});
  for (int renewal = 1; renewal <= 5; ++renewal) {
    send("queue_digital_out",
         {std::int64_t{0}, std::int64_t{renewal * second}, std::int64_t{second / 20}});
    advance(static_cast<std::uint64_t>(second));
    EXPECT_FALSE(mcu_.is_shutdown()) << "renewed every second";
  }
  EXPECT_TRUE(advance(static_cast<std::uint64_t>(2 * second)).empty());
  const auto reports = advance(static_cast<std::uint64_t>(second));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].name, "shutdown");
  EXPECT_EQ(mcu_.devices().level(kPin_PA8), 0u) << "the heater is off";

  // Off is the default level: it needs no renewal.
  send("config_reset");
  configure(1);
  send("config_digital_out",
       {std::int64_t{0}, kPin_PA8, std::int64_t{0}, std::int64_t{0}, std::int64_t{3 * second}});
  send("queue_digital_out", {std::int64_t{0}, std::int64_t{9 * second}, std::int64_t{0}});
  advance(static_cast<std::uint64_t>(10 * second));
  EXPECT_FALSE(mcu_.is_shutdown());
}

TEST_F(McuTest, ShutdownSetsOutputsToTheirDefaultsAndOidsAreChecked) {
  configure(2);
  send("config_digital_out",
       {std::int64_t{0}, kPin_PA8, std::int64_t{1}, std::int64_t{0}, std::int64_t{0}});
  EXPECT_EQ(mcu_.devices().level(kPin_PA8), 1u);
  auto replies = send("config_analog_in", {std::int64_t{0}, kPin_PA0});
  ASSERT_EQ(replies.size(), 1u) << "an oid used twice";
  EXPECT_EQ(replies[0].name, "shutdown");
  EXPECT_EQ(mcu_.devices().level(kPin_PA8), 0u);
}

class BoxMcuTest : public McuTest {
 protected:
  BoxMcuTest() : McuTest(McuConstants{.clock_freq = 48000000, .card_reader = true}) {}
};

constexpr std::int64_t kPin_PH0 = 7 * 16;

TEST_F(BoxMcuTest, CardReaderAnswersFromWhatLiesBeforeItsChipSelect) {
  const Mcu printer_board({}, [] { return std::uint64_t{0}; });
  EXPECT_FALSE(nlohmann::json::parse(printer_board.dictionary().json())["commands"].contains(
      "config_fm17550 oid=%c spi_oid=%c"))
      << "only a box has a reader";
  // No spi_bus in a reader's section: the host takes the bus numbered 0.
  EXPECT_EQ(nlohmann::json::parse(mcu_.dictionary().json())["enumerations"]["spi_bus"]["spi2"], 0);
  configure(2);
  send("config_spi", {std::int64_t{0}, kPin_PH0, std::int64_t{0}});
  EXPECT_EQ(mcu_.devices().level(kPin_PH0), 1u) << "an active-low chip select idles high";
  send("spi_set_bus", {std::int64_t{0}, std::int64_t{0}, std::int64_t{0}, std::int64_t{5000000}});
  send("config_fm17550", {std::int64_t{1}, std::int64_t{0}});
  EXPECT_TRUE(send("query_fm17550", {std::int64_t{1}, std::int64_t{0}}).empty());

  auto replies = send("fm17550_read_card_cb", {std::int64_t{1}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].name, "fm17550_read_card_return");
  EXPECT_EQ(replies[0].params.u32("status"), 0u) << "no world: no tag";
  EXPECT_EQ(replies[0].params.bytes("data"), "");

  std::vector<std::pair<std::uint32_t, std::uint64_t>> asked;
  mcu_.set_tag_reader([&](std::uint32_t cs_pin, std::uint64_t clock) {
    asked.emplace_back(cs_pin, clock);
    return asked.size() == 1 ? std::optional<std::string>("\x05\x03\x01")
                             : std::optional<std::string>();
  });
  ticks_ = 123456;
  replies = send("fm17550_read_card_cb", {std::int64_t{1}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].params.u32("oid"), 1u);
  EXPECT_EQ(replies[0].params.u32("status"), 1u);
  EXPECT_EQ(replies[0].params.bytes("data"), "\x05\x03\x01");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], std::make_pair(static_cast<std::uint32_t>(kPin_PH0), std::uint64_t{123456}));
  replies = send("fm17550_read_card_cb", {std::int64_t{1}});
  EXPECT_EQ(replies.at(0).params.u32("status"), 0u) << "the tag has gone";

  replies = send("spi_transfer", {std::int64_t{0}, std::string("\x01\x02\x03")});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].params.bytes("response"), std::string(3, '\0'));
}

TEST_F(BoxMcuTest, AReaderOnAnythingButAnSpiDeviceShutsDown) {
  configure(3);
  send("config_digital_out",
       {std::int64_t{0}, kPin_PA8, std::int64_t{0}, std::int64_t{0}, std::int64_t{0}});
  auto replies = send("config_fm17550", {std::int64_t{1}, std::int64_t{0}});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].name, "shutdown");

  send("config_reset");
  configure(3);
  replies = send("fm17550_read_card_cb", {std::int64_t{2}});
  ASSERT_EQ(replies.size(), 1u) << "a read of a reader never configured";
  EXPECT_EQ(replies[0].name, "shutdown");
}

}  // namespace
}  // namespace mcu_emu
