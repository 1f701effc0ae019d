// BOX_SELF_INSPECTION against stand-in feeders: which slots are probed, in which order and
// how, and what the inspection records; and when the start-up timer runs it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "sim/host/print_stats.h"
#include "tests/extras/feedhub_fixture.h"
#include "tests/support/success_lines.h"

namespace {

using feedhub_test::BoxHost;
using feedhub_test::FakeSlotFeeder;
using klippy::Value;
using testing::ElementsAre;
using testing::HasSubstr;

const char* const kFailure =
    "// Code:ZKE_004_015; Message:Box self-inspection failed, please try manually withdrawing "
    "the fed filament.";
const std::vector<std::string> kWiggle = {"move -25",  "dwell 0.5", "move 20",
                                          "dwell 0.5", "move -30",  "dwell 0.5",
                                          "move 40",   "dwell 3",   "disable"};
std::vector<std::string> push_pull(const std::string& final_dwell) {
  return {"move 50", "dwell 0.5", "move -50", "dwell " + final_dwell, "disable"};
}
std::vector<std::string> desync_all() {
  return {"slot0 sync 0", "slot1 sync 0", "slot2 sync 0", "slot3 sync 0"};
}

// Slots 0 to 3 and the slots of a second box, outside the one box that box_count names;
// slot 1 is empty.
std::string slots_config(double diameter_mm) {
  return "[feedlane slot0]\n[feedlane slot1]\nrunout: 1\n[feedlane slot2]\n[feedlane slot3]\n"
         "[feedlane slot4]\n[feedlane slot5]\n[feedlane slot6]\n[feedlane slot7]\n"
         "[hall_diameter]\ndiameter: " +
         std::to_string(diameter_mm) + "\n";
}

class SelfInspection : public ::testing::Test {
 protected:
  // `moving` slots make the encoder change whenever they move.
  void start(double diameter_mm, const std::string& last_load_slot, std::set<int> moving) {
    box_.start(feedhub_test::box_config(slots_config(diameter_mm)),
               "[Variables]\nbox_count = 1\nlast_load_slot = '" + last_load_slot + "'\n");
    // Filament at the outlet keeps the start-up run away; the command itself ignores it.
    outlet_ = box_.drive_pin(feedhub_test::kButtonPin, 0);
    encoder_ = box_.drive_pin(feedhub_test::kMotionPin, 0);
    for (int slot : {0, 1, 2, 3, 5}) {
      FakeSlotFeeder& fake = feeder(slot);
      fake.moves_take_time = true;
      fake.on_call = [this, moving](FakeSlotFeeder& f, const std::string& call) {
        journal_.push_back(f.stepper_name() + " " + call);
        if (moving.count(f.stepper_num()) && call.starts_with("move")) toggle_encoder();
      };
    }
    // Until the entry sensor's first report is out.
    box_.host().advance(2.5);
  }
  FakeSlotFeeder& feeder(int slot) {
    return box_.host().printer().lookup_object<FakeSlotFeeder>("feedlane slot" +
                                                               std::to_string(slot));
  }
  void toggle_encoder() {
    const double t = box_.print_time();
    int level = encoder_->level(t);
    for (int i = 1; i <= 4; ++i) encoder_->schedule(t + 0.25 * i, level ^= 1);
    box_.notify();
  }
  std::vector<std::string> inspect() { return box_.test().command("BOX_SELF_INSPECTION"); }
  // The calls of one slot, without its name.
  std::vector<std::string> calls_of(int slot) { return feeder(slot).calls; }
  Value variable(const std::string& name) {
    return box_.hub().variables().get_value_by_key(name, Value());
  }

  BoxHost box_;
  std::shared_ptr<sim::ScheduledSignal> outlet_;
  std::shared_ptr<sim::ScheduledSignal> encoder_;
  std::vector<std::string> journal_;
};

TEST_F(SelfInspection, WithoutFilamentAtTheExtruderLoadedSlotsArePushedAndPulledInOrder) {
  start(0.0, "slot-1", {2});
  EXPECT_THAT(inspect(), testing::ElementsAre(testing_support::SuccessLine(
                             "Inspected the slots", "the filament in the extruder path is 1C's")));
  EXPECT_EQ(variable("last_load_slot"), Value("slot2"));
  EXPECT_EQ(calls_of(0), push_pull("5"));
  EXPECT_TRUE(calls_of(1).empty()) << "its sensor sees no filament";
  EXPECT_EQ(calls_of(2), push_pull("5"));
  EXPECT_TRUE(calls_of(3).empty()) << "the search ends at the first slot that moved";
  EXPECT_TRUE(variable("retry_step").is_none());
  EXPECT_EQ(box_.hub().sensors().box_button_state(), 0);
}

TEST_F(SelfInspection, TheLastLoadedSlotIsProbedFirstAndNeverAgain) {
  // Confirmed at once, with the shorter final dwell.
  start(0.0, "slot2", {2});
  inspect();
  EXPECT_EQ(journal_.size(), 5u);
  EXPECT_EQ(calls_of(2), push_pull("3"));
  EXPECT_EQ(variable("last_load_slot"), Value("slot2"));
}

TEST_F(SelfInspection, ALastSlotThatDoesNotMoveIsSkippedInTheSearch) {
  start(0.0, "slot3", {2});
  inspect();
  std::vector<std::string> order;
  for (const auto& line : journal_)
    if (line.ends_with("disable")) order.push_back(line);
  EXPECT_THAT(order, ElementsAre("slot3 disable", "slot0 disable", "slot2 disable"));
  EXPECT_EQ(calls_of(3), push_pull("3"));
  EXPECT_EQ(variable("last_load_slot"), Value("slot2"));
}

TEST_F(SelfInspection, WithFilamentAtTheExtruderTheLastSlotIsWiggledAndCoupledAgain) {
  start(1.75, "slot3", {3});
  inspect();
  std::vector<std::string> expected = desync_all();
  for (const auto& call : kWiggle) expected.push_back("slot3 " + call);
  expected.push_back("slot3 sync 1");
  EXPECT_EQ(journal_, expected);
  EXPECT_EQ(variable("last_load_slot"), Value("slot3"));
}

TEST_F(SelfInspection, WithFilamentAtTheExtruderTheSearchCouplesOnlyTheSlotFound) {
  start(1.75, "slot0", {3});
  inspect();
  EXPECT_EQ(calls_of(2), (std::vector<std::string>{"sync 0", "sync 0", "move -25", "dwell 0.5",
                                                   "move 20", "dwell 0.5", "move -30", "dwell 0.5",
                                                   "move 40", "dwell 3", "disable"}));
  EXPECT_EQ(calls_of(3).back(), "sync 1");
  EXPECT_EQ(feeder(0).sync_calls, (std::vector<bool>{false, false}))
      << "probed first, not coupled again";
  EXPECT_EQ(variable("last_load_slot"), Value("slot3"));
}

TEST_F(SelfInspection, NothingMovingReportsOnceAndRecouplesTheLastSlot) {
  start(1.75, "slot2", {});
  const auto lines = inspect();
  EXPECT_EQ(testing_support::without_advice(lines), std::vector<std::string>{kFailure});
  EXPECT_EQ(variable("retry_step"), Value("ZKE_004_015_00"));
  EXPECT_EQ(variable("last_load_slot"), Value("slot2")) << "left as it was";
  EXPECT_EQ(calls_of(2).back(), "sync 1");
  EXPECT_EQ(calls_of(0).back(), "disable") << "searched slots stay uncoupled";
  EXPECT_EQ(box_.hub().sensors().box_button_state(), 0) << "busy while it ran, free once it failed";
}

TEST_F(SelfInspection, ALastSlotOutsideTheBoxesIsNotProbed) {
  start(0.0, "slot5", {5});
  EXPECT_EQ(testing_support::without_advice(inspect()), std::vector<std::string>{kFailure});
  EXPECT_TRUE(calls_of(5).empty());
  EXPECT_EQ(variable("last_load_slot"), Value("slot5"));
}

TEST_F(SelfInspection, ALastSlotWithoutFeederFailsWithAnError) {
  start(0.0, "slot9", {});
  const auto lines = inspect();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "!! "
            "BOX_SELF_INSPECTION: no slot feeder 'feedlane slot9'; 'slot9' is not a configured "
            "slot. Name a "
            "configured slot, or check the saved variables (box_count, last_load_slot, slot_sync, "
            "value_tN) and the [feedlane slotN] sections of the printer configuration.");
  EXPECT_TRUE(journal_.empty());
}

class StartupInspection : public ::testing::Test {
 protected:
  void start(const std::string& variables = "[Variables]\nbox_count = 1\n") {
    box_.start(feedhub_test::box_config(slots_config(1.75)), variables);
    for (int slot : {0, 2, 3}) {
      auto& fake = box_.host().printer().lookup_object<FakeSlotFeeder>("feedlane slot" +
                                                                       std::to_string(slot));
      fake.moves_take_time = true;
      fake.on_call = [this](FakeSlotFeeder&, const std::string&) {
        busy_seen_ = busy_seen_ || box_.hub().sensors().box_button_state() == 1;
      };
    }
  }
  bool ran() { return box_.output_contains(kFailure); }

  BoxHost box_;
  bool busy_seen_ = false;
};

TEST_F(StartupInspection, RunsThreeSecondsAfterReadyWithTheBoxShownBusy) {
  start();
  box_.host().advance(2.9);
  EXPECT_FALSE(ran());
  box_.host().advance(30);
  EXPECT_TRUE(ran());
  EXPECT_TRUE(busy_seen_);
  EXPECT_EQ(box_.hub().sensors().box_button_state(), 0);
}

TEST_F(StartupInspection, FilamentAtTheOutletOrABusyPrinterKeepsItAway) {
  start();
  box_.drive_pin(feedhub_test::kButtonPin, 0);
  box_.host().advance(30);
  EXPECT_FALSE(ran());

  BoxHost busy;
  busy.start(feedhub_test::box_config(slots_config(1.75)), "[Variables]\nbox_count = 1\n");
  auto& idle = busy.host().printer().lookup_object<sim::SimIdleTimeout>("idle_timeout");
  busy.host().advance(1.0);
  idle.note_activity(busy.now(), busy.now() + 10);
  busy.host().advance(30);
  EXPECT_FALSE(busy.output_contains(kFailure)) << "printing_time was above 0";

  // A print still heating keeps the toolhead idle, but it prints all the same.
  BoxHost heating;
  heating.start(feedhub_test::box_config(slots_config(1.75)), "[Variables]\nbox_count = 1\n");
  heating.host().printer().lookup_object<sim::SimPrintStats>("print_stats").note_start("a.gcode");
  heating.host().advance(30);
  EXPECT_FALSE(heating.output_contains(kFailure));
}

TEST_F(StartupInspection, AnErrorIsReportedAndLoggedAndFreesTheBox) {
  // box_count covers slots 8 to 11, which have no feeders.
  start("[Variables]\nbox_count = 3\n");
  auto errors = std::make_shared<std::vector<std::string>>();
  box_.host().logger().set_tap([errors](klippy::LogLevel level, const std::string& line) {
    if (level == klippy::LogLevel::Error) errors->push_back(line);
  });
  box_.host().advance(60);
  EXPECT_TRUE(box_.output_contains(
      "!! "
      "BOX_SELF_INSPECTION: no slot feeder 'feedlane slot8'; 'slot8' is not a configured slot. "
      "Name a "
      "configured slot, or check the saved variables (box_count, last_load_slot, slot_sync, "
      "value_tN) and the [feedlane slotN] sections of the printer configuration."));
  EXPECT_THAT(*errors, testing::Contains(HasSubstr("Start-up self-inspection failed")));
  EXPECT_EQ(box_.hub().sensors().box_button_state(), 0);
  EXPECT_TRUE(box_.test().command("CLEAR_RUNOUT_NUM").empty()) << "still serving commands";
}

}  // namespace
