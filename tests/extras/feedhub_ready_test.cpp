#include <gtest/gtest.h>

#include "tests/extras/feedhub_fixture.h"

namespace {

using feedhub_test::BoxHost;
using feedhub_test::FakeSlotFeeder;

const char* const kImmediate =
    "!! ZKE_004_010 The current feeding status is incorrect. Please exit the filament from the "
    "extruder.";
const char* const kDelayed =
    "!!Code:ZKE_004_010; Message:The current feeding status is incorrect. Please exit the "
    "filament from the extruder.";
const char* const kOneBox =
    "[feedlane slot0]\n[feedlane slot1]\n[feedlane slot2]\n[feedlane slot3]\n";

TEST(FeedhubReady, ASavedSlotWithoutFeederIsReportedAtOnceAndAgainThreeSecondsLater) {
  BoxHost box;
  box.start(feedhub_test::box_config(kOneBox), "[Variables]\nslot_sync = 'slot7'\n");
  EXPECT_TRUE(box.output_contains(kImmediate));
  EXPECT_FALSE(box.output_contains(kDelayed));
  // Saved once the host is ready: a ready handler may not wait for the disk.
  EXPECT_TRUE(box.host().run_until(
      [&] {
        return box.hub().variables().get_value_by_key("retry_step") ==
               klippy::Value("ZKE_004_010_00");
      },
      0.0));

  double ready = box.now();
  box.hub().variables().save_variable("retry_step", klippy::Value());
  box.host().advance(2.9);
  EXPECT_FALSE(box.output_contains(kDelayed));
  ASSERT_TRUE(box.host().run_until([&] { return box.output_contains(kDelayed); }, 1.0));
  EXPECT_NEAR(box.now() - ready, 3.0, 0.01);
  // The report is out before its save has reached the disk.
  EXPECT_TRUE(box.host().run_until(
      [&] {
        return box.hub().variables().get_value_by_key("retry_step") ==
               klippy::Value("ZKE_004_010_00");
      },
      0.0));
}

// Coupled at ready as saved; the entry sensor's first report keeps it only with filament
// above half a millimetre.
TEST(FeedhubReady, TheSavedSlotIsCoupledOnlyWithFilamentAboveHalfAMillimetre) {
  for (double diameter_mm : {0.5, 1.75}) {
    BoxHost box;
    box.start(feedhub_test::box_config("[hall_diameter]\ndiameter: " + std::to_string(diameter_mm) +
                                       "\n" + kOneBox),
              "[Variables]\nslot_sync = 'slot2'\n");
    auto& feeder = box.host().printer().lookup_object<FakeSlotFeeder>("feedlane slot2");
    box.host().advance(0.1);
    EXPECT_EQ(feeder.sync_calls, std::vector<bool>{true}) << "as saved, before any report";
    box.host().advance(2.0);
    const std::vector<bool> after_report =
        diameter_mm > 0.5 ? std::vector<bool>{true} : std::vector<bool>{true, false};
    EXPECT_EQ(feeder.sync_calls, after_report) << diameter_mm;
    EXPECT_FALSE(box.output_contains(kImmediate));
  }
}

TEST(FeedhubReady, NoSavedSlotTouchesNoFeederAndReportsNothing) {
  BoxHost box;
  box.start(feedhub_test::box_config(kOneBox), "[Variables]\nslot_sync = 'slot-1'\n");
  for (int slot = 0; slot < 4; ++slot) {
    auto& feeder =
        box.host().printer().lookup_object<FakeSlotFeeder>("feedlane slot" + std::to_string(slot));
    EXPECT_TRUE(feeder.sync_calls.empty());
  }
  box.host().advance(6.0);
  // The start-up self-inspection runs too: with no feeder moving filament it fails, and that
  // is its own report, not one of the ready handler's.
  for (const auto& line : box.output()) {
    if (line.find("ZKE_004_015") != std::string::npos) continue;
    EXPECT_EQ(line.find("ZKE_004"), std::string::npos) << line;
  }
}

}  // namespace
