// The card readers in front of the simulated filament path: a spool's tag is read while
// its strand's leading end passes the reader, and the scenario tags (blank, unreadable,
// out-of-range codes, none) end as the reader reports them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "apps/feedbox/box_config.h"
#include "apps/feedbox/embedded_files.h"
#include "klippy/extras/feedhub/colour_table.h"
#include "klippy/extras/feedhub/filament_table.h"
#include "klippy/host/ini.h"
#include "sim/host/spool_tag.h"
#include "sim/host/world_card_reader.h"
#include "tests/extras/feedtag_fixture.h"
#include "tests/support/success_lines.h"

namespace {

using feedtag_test::TagHost;
using feedtag_test::TagSetup;
using Lines = std::vector<std::string>;
using testing::HasSubstr;

// Fresh spools' tips sit at 10 mm; the reader at 200 mm sees the first 30 mm of a strand.
constexpr double kPastReaderMm = 300.;

void move_strand(TagHost& tags, int slot, double distance_mm) {
  tags.lanes().run_task([&] { tags.lanes().lane(slot).do_move(distance_mm, 80, 50); });
  tags.lanes().settle(slot);
}

// Starts a read on `slot` and runs its strand past the reader.
void read_passing_tag(TagHost& tags, int slot) {
  tags.start_read(slot);
  move_strand(tags, slot, kPastReaderMm);
  ASSERT_TRUE(tags.run_until_idle(slot, 40.0));
}

TEST(FeedTagWorld, TheSpoolsTagIsReadWhileItsStrandPassesTheReader) {
  TagHost tags;
  tags.start({.world = true, .world_options = "slot1_spool: PETG 0000FF\n"});
  tags.start_read(1);
  tags.host().advance(2.0);
  // A parked tip lies behind the reader: nothing read yet.
  EXPECT_TRUE(tags.reader(1).is_reading());
  move_strand(tags, 1, kPastReaderMm);
  ASSERT_TRUE(tags.run_until_idle(1, 1.0));
  // PETG is filament 2 of the table; blue is colour 5 of the box's numbering.
  EXPECT_EQ(tags.variable("filament_slot1"), klippy::Value(2));
  EXPECT_EQ(tags.variable("color_slot1"), klippy::Value(5));
  EXPECT_EQ(tags.variable("vendor_slot1"), klippy::Value(1));
  EXPECT_THAT(tags.info_lines(),
              testing::ElementsAre(testing_support::SuccessLine("Read the tag of 1B")));
}

// A spool of a colour or filament the box knows carries that very code on its tag, so
// that what a read saves names the spool's colour and filament in the box's tables.
TEST(FeedTagWorld, SimulatedTagsCarryTheCodesOfTheBoxsOwnTables) {
  for (int code = feedhub::kMinColourCode; code <= feedhub::kMaxColourCode; ++code) {
    const auto entry = feedhub::colour_by_code(code);
    ASSERT_TRUE(entry);
    EXPECT_EQ(sim::default_color_code(feedhub::hex_colour(entry->rgb).substr(1)), code)
        << entry->name;
  }
  const klippy::IniDocument table =
      klippy::parse_ini(feedbox::embedded_file("officiall_filas_list.cfg"), "filament table");
  const auto names = feedhub::filament_names(table);
  ASSERT_FALSE(names.empty());
  for (const auto& [code, name] : names) EXPECT_EQ(sim::default_filament_code(name), code) << name;
}

TEST(FeedTagWorld, ScenarioTagsEndAsTheReaderReportsThem) {
  struct Case {
    std::string tag;
    std::string message;  // empty: codes 7 and 12 saved
  };
  for (const Case& c : {Case{"7 12 3", ""}, Case{"blank", "Unrecognized label read in 1A"},
                        Case{"120 30", "Unrecognized label read in 1A"},
                        Case{"unreadable", "1A did not recognize the filament"},
                        Case{"none", "1A did not recognize the filament"}}) {
    SCOPED_TRACE(c.tag);
    TagHost tags;
    tags.start({.world = true, .world_options = "slot0_spool: PLA FFFFFF\nslot0_tag: " + c.tag});
    read_passing_tag(tags, 0);
    if (c.message.empty()) {
      EXPECT_EQ(tags.variable("filament_slot0"), klippy::Value(7));
      EXPECT_EQ(tags.variable("color_slot0"), klippy::Value(12));
      // The vendor is not taken from the tag.
      EXPECT_EQ(tags.variable("vendor_slot0"), klippy::Value(1));
      EXPECT_THAT(tags.info_lines(), testing::ElementsAre(testing_support::SuccessLine(
                                         "Read the tag of 1A", "filament 7, gold, vendor 1")));
    } else {
      EXPECT_TRUE(tags.variable("filament_slot0").is_none());
      EXPECT_EQ(tags.info_lines(), Lines{c.message});
    }
  }
}

TEST(FeedTagWorld, SpoolsInsertedDuringTheRunCarryTheTagTheyAreGiven) {
  TagHost tags;
  tags.start({.world = true, .world_options = "slot3_spool: PLA FFFFFF\n"});
  tags.lanes().command("SIM_SPOOL SLOT=3 ACTION=remove");
  tags.lanes().command("SIM_SPOOL SLOT=3 ACTION=insert FILAMENT=ABS TAG=\"9 4\"");
  read_passing_tag(tags, 3);
  EXPECT_EQ(tags.variable("filament_slot3"), klippy::Value(9));
  EXPECT_EQ(tags.variable("color_slot3"), klippy::Value(4));

  // A damaged tag is never read, also not by the read that an inserted spool starts.
  tags.lanes().command("SIM_SPOOL SLOT=2 ACTION=insert FILAMENT=PC COLOR=000000 TAG=unreadable");
  read_passing_tag(tags, 2);
  EXPECT_TRUE(tags.variable("filament_slot2").is_none());

  // Slot 2's load, behind slot 3's moves on the one toolhead, may end meanwhile.
  EXPECT_THAT(tags.lanes().command("SIM_SPOOL SLOT=1 ACTION=insert TAG=bogus"),
              testing::Contains(
                  "!! TAG: tag 'bogus' is not understood; give default, none, blank, "
                  "unreadable or '<filament code> <colour code> [vendor]' with codes 0 to 255"));
  EXPECT_FALSE(tags.lanes().world().world().spool(1).present);
}

TEST(FeedTagWorld, TwoTagsInFrontOfOneReaderCollide) {
  TagHost tags;
  tags.start({.world = true,
              .world_options = "slot0_spool: PLA FFFFFF\nslot0_tag: 5 1\n"
                               "slot1_spool: PLA FFFFFF\nslot1_tag: 6 1\n"});
  auto status = [&] {
    feedtag::CardAnswer answer;
    tags.lanes().run_task([&] { answer = tags.reader(1).read_card(); });
    return answer.at("status").as_int();
  };
  // Both leading ends at 215 mm, in front of the reader.
  move_strand(tags, 0, 205.);
  EXPECT_EQ(status(), 1);
  move_strand(tags, 1, 205.);
  EXPECT_EQ(status(), 0);
  move_strand(tags, 1, -100.);
  EXPECT_EQ(status(), 1);
  // The other reader of the box sees neither.
  feedtag::CardAnswer other;
  tags.lanes().run_task([&] { other = tags.reader(2).read_card(); });
  EXPECT_EQ(other.at("status").as_int(), 0);
}

TEST(FeedTagWorld, BadTagAndReaderOptionsFailTheStart) {
  for (const std::string options :
       {"slot2_tag: 5 1\n", "slot0_spool: PLA FFFFFF\nslot0_tag: 5 red\n",
        "slot0_spool: PLA FFFFFF\nslot0_tag: 5 300\n", "reader3_cs_pin: mcu_box9:PH0\n",
        "reader_mm: 400\n"}) {
    SCOPED_TRACE(options);
    TagHost tags;
    EXPECT_THROW(tags.start({.world = true, .world_options = options}), klippy::ConfigError);
  }
}

TEST(FeedTagWorld, GeneratedBoxesBringOneReaderPerTwoSlots) {
  EXPECT_THAT(feedbox::box_sections(2),
              HasSubstr("[feedtag card_reader_4]\ncs_pin: mcu_box2:PH1\n"));
  EXPECT_THAT(feedbox::box_sections(2),
              HasSubstr("[heater_generic heater_box2]\nheater_pin: mcu_box2:PJ0\n"));
  EXPECT_THAT(feedbox::box_world_options(2), HasSubstr("reader3_cs_pin: mcu_box2:PH0\n"));
  EXPECT_EQ(feedbox::box_sections(0), "");
}

TEST(FeedTagWorld, TheSimulatedChipFindsItsReaderByTheConfiguredChipSelect) {
  TagHost tags;
  tags.start({.world = true});
  const sim::SimMcu& box = tags.lanes().box_mcu();
  EXPECT_EQ(sim::card_reader_cs_pin(box, tags.reader(1).oid()), "PH0");
  EXPECT_EQ(sim::card_reader_cs_pin(box, tags.reader(2).oid()), "PH1");
  EXPECT_EQ(sim::card_reader_cs_pin(box, 99), "");
}

}  // namespace
