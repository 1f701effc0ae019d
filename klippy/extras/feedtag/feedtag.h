// The card reader "feedtag card_reader_N": an FM17550 RFID chip on an SPI bus of a box
// micro-controller. It reads the tag on a slot's spool, and once two reads agree it saves
// the filament and colour codes the tag carries through the box controller.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "klippy/extras/feedhub/scoped_timer.h"
#include "klippy/extras/feedhub/tag_reader.h"
#include "klippy/host/config.h"
#include "klippy/host/gcode.h"
#include "klippy/host/mcu.h"
#include "klippy/host/printer.h"

namespace feedtag {

// Fields of the chip's answer to a read: oid, status (1 = a tag was read) and data.
using CardAnswer = std::map<std::string, klippy::Value>;

inline constexpr const char* kConfigCommand = "config_fm17550 oid=%d spi_oid=%d";
inline constexpr const char* kRestartCommand = "query_fm17550 oid=%d rest_ticks=0";
inline constexpr const char* kReadCommand = "fm17550_read_card_cb oid=%c";
inline constexpr const char* kReadAnswer = "fm17550_read_card_return oid=%c status=%c data=%*s";
inline constexpr int kSpiMode = 0;
inline constexpr int kSpiSpeedHz = 5000000;
// Lets more than one reader section name the same chip-select pin.
inline constexpr const char* kSpiShareType = "spi_cs";

class FeedTag final : public feedhub::TagReader {
 public:
  // Length of a read cycle; the tag passes the reader within it or not at all.
  static constexpr double kMaxReadTime_s = 30.0;
  static constexpr double kPollPeriod_s = 0.1;
  static constexpr int kStatusTagRead = 1;

  explicit FeedTag(klippy::ConfigSection& config);
  FeedTag(const FeedTag&) = delete;
  FeedTag& operator=(const FeedTag&) = delete;

  void start_rfid_read(const feedhub::TagReadSlot& slot) override;
  void stop_read() override;
  bool is_reading() const override { return static_cast<bool>(read_rfid_timer_); }
  std::string read_words() const override { return read_words_; }

  // One read query, waiting for the chip's answer. CommandError when the micro-controller
  // does not answer, or before the host has configured it.
  CardAnswer read_card();
  CardAnswer read_card_from_slot() { return read_card(); }
  // The polling timer: next wake time, or NEVER once the cycle has ended.
  double schedule_rfid_read(double eventtime);

  const std::string& name() const { return name_; }
  int oid() const { return oid_; }

 private:
  void build_config();
  // Takes a successful read in; true once two reads have been compared.
  bool take_in(const CardAnswer& answer);
  void store_codes(const CardAnswer& answer);
  // Ends the cycle from inside the polling timer.
  double end_cycle();
  void respond_info(const std::string& text);

  klippy::Printer& printer_;
  std::string name_;  // second word of the section name, "card_reader_1"
  std::unique_ptr<klippy::SpiDevice> spi_;
  klippy::Mcu& mcu_;
  int oid_;
  std::unique_ptr<klippy::McuQueryCommand> fm17550_read_card_;
  klippy::GCodeDispatch& gcode_;

  feedhub::ScopedTimer read_rfid_timer_;
  // Changes whenever a cycle starts or ends, so that a poll still waiting for the chip
  // when its cycle was stopped or replaced leaves the reader alone.
  std::uint64_t cycle_ = 0;
  double rfid_read_start_time_ = 0.0;
  int get_message_count_ = 1;
  std::optional<CardAnswer> temp_message_1_;
  std::optional<CardAnswer> temp_message_2_;
  std::optional<feedhub::TagReadSlot> stepper_;
  bool had_get_value_ = false;
  std::string read_words_;
};

}  // namespace feedtag
