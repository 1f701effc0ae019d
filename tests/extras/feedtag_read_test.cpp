// The card reader against a scripted chip: configuration sent to the box MCU, pairing of
// two reads, code ranges, the 30 s window, cancelling, and a box that stops answering.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "klippy/extras/feedhub/filament_table.h"
#include "tests/extras/feedtag_fixture.h"
#include "tests/support/success_lines.h"

namespace {

using feedtag_test::ChipAnswer;
using feedtag_test::codes;
using feedtag_test::TagHost;
using Lines = std::vector<std::string>;
using testing::HasSubstr;

const ChipAnswer kNoTag{0, ""};
// The reader's first query of a cycle only wakes the chip; its answer is dropped.
const ChipAnswer kPriming{1, "\x01\x01"};

ChipAnswer tag(int filament, int color) {
  return {1, codes(filament, color)};
}

class FeedTagRead : public ::testing::Test {
 protected:
  void SetUp() override { tags.start(); }
  bool saved(const std::string& slot) {
    return !tags.variable("filament_" + slot).is_none() ||
           !tags.variable("color_" + slot).is_none() || !tags.variable("vendor_" + slot).is_none();
  }

  TagHost tags;
};

TEST_F(FeedTagRead, ConfiguresTheChipOnTheBoxMcuAndRepeatsThePollSetUpOnRestart) {
  const std::string config = tags.lanes().box_mcu().dump_config();
  const auto& first = tags.reader(1);
  const std::string oid = std::to_string(first.oid());
  EXPECT_THAT(config, HasSubstr("mode=0 rate=5000000"));
  const auto restart = config.find("query_fm17550 oid=" + oid + " rest_ticks=0  (on restart)\n");
  const auto setup = config.find("config_fm17550 oid=" + oid + " spi_oid=");
  ASSERT_NE(restart, std::string::npos) << config;
  ASSERT_NE(setup, std::string::npos) << config;
  EXPECT_LT(restart, setup);
  EXPECT_NE(tags.reader(2).oid(), first.oid());
  EXPECT_EQ(&tags.reader_of_slot(1), &tags.reader(1));
  EXPECT_EQ(feedhub::tag_reader_name(5), "feedtag card_reader_3");
  EXPECT_EQ(feedhub::tag_reader_name(0), "feedtag card_reader_1");
}

TEST_F(FeedTagRead, TwoAgreeingReadsSaveFilamentColourAndVendor) {
  // A failed read between the two good ones does not break the pair.
  tags.script_chip({kPriming, kNoTag, tag(5, 3), kNoTag, kNoTag, tag(5, 3), tag(9, 9)});
  tags.start_read(1);
  EXPECT_TRUE(tags.reader(1).is_reading());
  ASSERT_TRUE(tags.run_until_idle(1));
  EXPECT_EQ(tags.variable("filament_slot1"), klippy::Value(5));
  EXPECT_EQ(tags.variable("color_slot1"), klippy::Value(3));
  EXPECT_EQ(tags.variable("vendor_slot1"), klippy::Value(1));
  EXPECT_EQ(tags.queries(), 6);  // nothing after the pair
  // Without a filament table the filament is known by its code only.
  const Lines said = {"Read the tag of 1B in 0.4 s: filament 5, red, vendor 1."};
  EXPECT_EQ(tags.info_lines(), said) << "five polls 0.1 s apart after the priming read";
  // The cycle is over: stopping it now says nothing more.
  tags.reader(1).stop_read();
  EXPECT_EQ(tags.info_lines(), said);
}

TEST_F(FeedTagRead, TheSuccessLineNamesTheFilamentAsTheFilamentTableDoes) {
  testing_support::write_file(tags.lanes().test().path(feedhub::kFilamentTablePath),
                              "[fila5]\nname: PETG\nmin_temp: 230\nmax_temp: 260\n"
                              "[fila6]\nmin_temp: 200\nmax_temp: 220\n");
  tags.script_chip({kPriming, tag(5, 3), tag(5, 3)});
  tags.start_read(1);
  ASSERT_TRUE(tags.run_until_idle(1));
  EXPECT_THAT(tags.info_lines(), testing::ElementsAre(testing_support::SuccessLine(
                                     "Read the tag of 1B", "PETG, red, vendor 1")));
  // A section without a name: the code stands for it.
  tags.script_chip({kPriming, tag(6, 5), tag(6, 5)});
  tags.start_read(2);
  ASSERT_TRUE(tags.run_until_idle(2));
  EXPECT_THAT(tags.info_lines(), testing::ElementsAre(testing_support::SuccessLine(
                                     "Read the tag of 1C", "filament 6, blue, vendor 1")));
}

TEST_F(FeedTagRead, TwoDisagreeingReadsEndTheCycleSilently) {
  tags.script_chip({kPriming, tag(5, 3), tag(5, 4), tag(5, 4), tag(5, 4)});
  tags.start_read(0);
  ASSERT_TRUE(tags.run_until_idle(0, 1.0));
  EXPECT_FALSE(saved("slot0"));
  EXPECT_EQ(tags.queries(), 3);
  EXPECT_EQ(tags.info_lines(), Lines{});
}

TEST_F(FeedTagRead, CodesAreSavedOnlyWithinTheirRanges) {
  struct Case {
    int filament, color;
    bool accepted;
  };
  for (const Case c : {Case{1, 1, true}, Case{99, 24, true}, Case{0, 5, false}, Case{100, 5, false},
                       Case{5, 0, false}, Case{5, 25, false}}) {
    SCOPED_TRACE(testing::Message() << c.filament << "/" << c.color);
    tags.lanes().save("filament_slot2", "None");
    tags.script_chip({kPriming, tag(c.filament, c.color), tag(c.filament, c.color)});
    tags.start_read(2);
    ASSERT_TRUE(tags.run_until_idle(2, 1.0));
    if (c.accepted) {
      EXPECT_EQ(tags.variable("filament_slot2"), klippy::Value(c.filament));
      EXPECT_EQ(tags.variable("color_slot2"), klippy::Value(c.color));
      EXPECT_THAT(tags.info_lines(),
                  testing::ElementsAre(testing_support::SuccessLine("Read the tag of 1C")));
    } else {
      EXPECT_TRUE(tags.variable("filament_slot2").is_none());
      EXPECT_EQ(tags.info_lines(), Lines{"Unrecognized label read in 1C"});
    }
  }
}

TEST_F(FeedTagRead, AnswersWithTooFewBytesAreUnrecognisedLabels) {
  for (const std::string& data : {std::string("\x05"), std::string()}) {
    tags.script_chip({kPriming, {1, data}, {1, data}});
    tags.start_read(3);
    ASSERT_TRUE(tags.run_until_idle(3, 1.0));
    EXPECT_FALSE(saved("slot3"));
    EXPECT_EQ(tags.info_lines(), Lines{"Unrecognized label read in 1D"});
  }
}

TEST_F(FeedTagRead, WithoutATagTheCycleEndsAfterThirtySeconds) {
  tags.script_chip({});
  const double started = tags.host().reactor().monotonic();
  tags.start_read(0);
  tags.host().advance(29.8);
  EXPECT_TRUE(tags.reader(1).is_reading());
  EXPECT_EQ(tags.info_lines(), Lines{});
  ASSERT_TRUE(tags.run_until_idle(0, 1.0));
  EXPECT_NEAR(tags.host().reactor().monotonic() - started, 30.0, 0.2);
  EXPECT_EQ(tags.info_lines(), Lines{"1A did not recognize the filament"});
  // One poll every 0.1 s over the window, and the priming read.
  EXPECT_NEAR(tags.queries(), 302, 2);
  EXPECT_FALSE(saved("slot0"));
}

// The replaced cycle's message names the slot whose read failed, not the one starting.
TEST_F(FeedTagRead, StartingAgainReplacesTheRunningCycleAndNamesTheSlotWhoseReadFailed) {
  tags.script_chip({kPriming, kNoTag, kNoTag, kPriming, tag(7, 2), tag(7, 2)});
  tags.start_read(0);
  tags.host().advance(0.15);
  tags.start_read(1);
  ASSERT_TRUE(tags.run_until_idle(1, 1.0));
  EXPECT_THAT(tags.info_lines(),
              testing::ElementsAre("1A did not recognize the filament",
                                   testing_support::SuccessLine("Read the tag of 1B")));
  EXPECT_EQ(tags.variable("filament_slot1"), klippy::Value(7));
  EXPECT_FALSE(saved("slot0"));
}

TEST_F(FeedTagRead, StoppingReportsAnUnreadTagAndAnIdleReaderStaysQuiet) {
  tags.reader(1).stop_read();
  EXPECT_EQ(tags.info_lines(), Lines{});
  tags.script_chip({});
  tags.start_read(0);
  tags.host().advance(1.0);
  tags.reader(1).stop_read();
  EXPECT_FALSE(tags.reader(1).is_reading());
  EXPECT_EQ(tags.info_lines(), Lines{"1A did not recognize the filament"});
  const int queries = tags.queries();
  tags.host().advance(1.0);
  EXPECT_EQ(tags.queries(), queries);
}

TEST_F(FeedTagRead, AnAnswerArrivingAfterTheCycleWasStoppedIsDropped) {
  // The slot's command ends the cycle while the poll still waits for the chip's answer.
  auto& reader = tags.reader(1);
  int answered = 0;
  tags.lanes().box_mcu().register_device(
      "fm17550_read_card_cb", [&](const std::vector<klippy::Value>& args) {
        if (++answered == 3) reader.stop_read();
        return feedtag::CardAnswer{{"oid", args.at(0)}, {"status", 1}, {"data", codes(5, 3)}};
      });
  tags.start_read(0);
  tags.host().advance(1.0);
  EXPECT_EQ(answered, 3);
  EXPECT_FALSE(saved("slot0"));
  EXPECT_EQ(tags.info_lines(), Lines{"1A did not recognize the filament"});
}

TEST_F(FeedTagRead, ABoxUnpluggedMidReadEndsTheCycleWithAMessageNamingTheSlot) {
  tags.script_chip({});
  tags.start_read(1);
  tags.host().advance(0.5);
  tags.lanes().box_mcu().set_connected(false);
  ASSERT_TRUE(tags.run_until_idle(1, 10.0));
  const Lines info = tags.info_lines();
  ASSERT_EQ(info.size(), 1u);
  EXPECT_THAT(info[0], HasSubstr("card_reader_1 stopped answering while reading 1B"));
  EXPECT_THAT(info[0], HasSubstr("RFID_READ SLOT=slot1"));
  // Nothing escaped the timer: the host reported no error.
  EXPECT_EQ(tags.error_lines(), Lines{});

  // Starting a read on a box that does not answer fails the command instead.
  tags.lanes().run_task(
      [&] { EXPECT_THROW(tags.reader(1).start_rfid_read(tags.slot(0)), klippy::CommandError); });
  EXPECT_FALSE(tags.reader(1).is_reading());
}

}  // namespace
