// The world behind the emulated pins: a slot feeder's steps move its strand, the strand's
// sensors drive the input pins, and a homing stop leaves the strand where the steps ended.
#include "sim/mcu_emu/world_link.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "mcu_fixture.h"

namespace mcu_emu {
namespace {

using testing::McuTest;

constexpr std::int64_t kStepPin = 2 * 16;  // PC0
constexpr std::int64_t kDirPin = 3 * 16;   // PD0
constexpr std::int64_t kOutletPin = 16;    // PB0
constexpr std::uint32_t kFreq = 168000000;
// rotation_distance 22.67 over 200 full steps of 16 microsteps, geared 50:17.
constexpr double kStepMm = 22.67 / (200. * 16. * 50. / 17.);

class WorldLinkTest : public McuTest {
 protected:
  WorldLinkTest() {
    const std::string path = ::testing::TempDir() + "world_link_test.cfg";
    std::ofstream(path) << "[feedlane slot0]\nstep_pin: mcu_box1:PC0\n"
                           "dir_pin: !mcu_box1:PD0\nmicrosteps: 16\nrotation_distance: 22.67\n"
                           "gear_ratio: 50:17\n\n[filament_world]\n"
                           "box1_outlet_pin: mcu_box1:PB0\nslot0_runout_pin: mcu_box1:PA1\n"
                           "slot0_spool: PLA FF0000\n";
    link_ = std::make_unique<WorldLink>(path, std::map<std::string, Mcu*>{{"mcu_box1", &mcu_}},
                                        [this] { return static_cast<double>(ticks_) / kFreq; });
    std::remove(path.c_str());
    configure(3);
    send("config_stepper", {std::int64_t{0}, kStepPin, kDirPin, std::int64_t{0}, std::int64_t{0}});
    send("config_buttons", {std::int64_t{1}, std::int64_t{1}});
    send("buttons_add", {std::int64_t{1}, std::int64_t{0}, kOutletPin, std::int64_t{1}});
    send("buttons_query", {std::int64_t{1}, std::int64_t{1000}, std::int64_t{16800},
                           std::int64_t{0}, std::int64_t{0}});
    send("reset_step_clock", {std::int64_t{0}, std::int64_t{0}});
  }
  double tip_mm() const {
    return link_->world().strand(0, static_cast<double>(ticks_) / kFreq).tip_mm;
  }

  std::unique_ptr<WorldLink> link_;
};

TEST_F(WorldLinkTest, FeederStepsPushTheStrandPastTheOutletWhoseButtonThenReports) {
  const double start = tip_mm();
  // Forward on an inverted dir pin is a low dir line: 150000 steps accelerating, cruising
  // and slowing down.
  send("set_next_step_dir", {std::int64_t{0}, std::int64_t{0}});
  send("queue_step", {std::int64_t{0}, std::int64_t{20000}, std::int64_t{10000}, std::int64_t{-1}});
  send("queue_step",
       {std::int64_t{0}, std::int64_t{10000}, std::int64_t{130000 - 65535}, std::int64_t{0}});
  send("queue_step", {std::int64_t{0}, std::int64_t{10000}, std::int64_t{65535}, std::int64_t{0}});
  send("queue_step", {std::int64_t{0}, std::int64_t{10000}, std::int64_t{10000}, std::int64_t{1}});
  EXPECT_TRUE(advance(1).empty()) << "the outlet is clear at first";
  for (int i = 0; i < 20 * 15; ++i) advance(kFreq / 20);  // fifteen seconds in steps of 50 ms
  EXPECT_NEAR(tip_mm() - start, 150000 * kStepMm, 0.01);
  auto position = send("stepper_get_position", {std::int64_t{0}});
  ASSERT_EQ(position.size(), 1u);
  EXPECT_EQ(position[0].params.i32("pos"), -150000) << "the firmware counts a low dir line down";
  send("buttons_ack", {std::int64_t{1}, std::int64_t{1}});
  EXPECT_EQ(link_->world().level(sim::SensorId::outlet(0), static_cast<double>(ticks_) / kFreq), 1);
}

TEST_F(WorldLinkTest, AHomingStopHoldsTheStrandWhereTheStepsEnded) {
  send("config_trsync", {std::int64_t{2}});
  send("trsync_start", {std::int64_t{2}, std::int64_t{0}, std::int64_t{0}, std::int64_t{4}});
  send("stepper_stop_on_trigger", {std::int64_t{0}, std::int64_t{2}});
  send("set_next_step_dir", {std::int64_t{0}, std::int64_t{0}});
  send("queue_step", {std::int64_t{0}, std::int64_t{16800}, std::int64_t{10000}, std::int64_t{0}});
  const double start = tip_mm();
  advance(16800 * 4000 + 100);
  send("trsync_trigger", {std::int64_t{2}, std::int64_t{2}});
  advance(16800 * 10000);
  EXPECT_NEAR(tip_mm() - start, 4000 * kStepMm, kStepMm);
}

// The printer's axes and one slot on the main controller, coarse steps to keep moves short.
class WorldLinkCutterTest : public McuTest {
 protected:
  WorldLinkCutterTest() {
    const std::string path = ::testing::TempDir() + "world_link_cutter_test.cfg";
    std::ofstream(path)
        << "[stepper_x]\nstep_pin: PA0\ndir_pin: PA1\nendstop_pin: PA2\nmicrosteps: 1\n"
           "rotation_distance: 200\nposition_endstop: 0\nposition_max: 306\n\n"
           "[stepper_y]\nstep_pin: PA3\ndir_pin: PA4\nendstop_pin: PA5\nmicrosteps: 1\n"
           "rotation_distance: 200\nposition_endstop: 0\nposition_max: 325\n\n"
           "[feedlane slot0]\nstep_pin: PB0\ndir_pin: PB1\nmicrosteps: 1\n"
           "rotation_distance: 400\n\n[filament_world]\nbox1_outlet_pin: PB2\n"
           "slot0_runout_pin: PB3\nslot0_spool: PLA FF0000\n";
    link_ = std::make_unique<WorldLink>(path, std::map<std::string, Mcu*>{{"mcu", &mcu_}},
                                        [this] { return static_cast<double>(ticks_) / kFreq; });
    std::remove(path.c_str());
    configure(3);
    for (std::int64_t oid = 0; oid < 3; ++oid)
      send("config_stepper", {oid, oid == 2 ? 16 : 3 * oid, oid == 2 ? 17 : 3 * oid + 1,
                              std::int64_t{0}, std::int64_t{0}});
  }
  // `steps` of 1 mm (axes) or 2 mm (slot), 1 ms from now on, 0.1 ms apart.
  void step(std::int64_t oid, std::int64_t dir, std::int64_t steps) {
    send("reset_step_clock", {oid, static_cast<std::int64_t>(ticks_)});
    send("set_next_step_dir", {oid, dir});
    send("queue_step", {oid, std::int64_t{kFreq / 1000}, std::int64_t{1}, std::int64_t{0}});
    send("queue_step", {oid, std::int64_t{16800}, steps - 1, std::int64_t{0}});
  }
  void run(double seconds) {
    for (int i = 0; i < static_cast<int>(seconds * 1000); ++i) {
      advance(kFreq / 1000);
      link_->poll();
    }
  }
  std::unique_ptr<WorldLink> link_;
};

TEST_F(WorldLinkCutterTest, AHeadStrokeIntoTheCutterCutsTheStrandReachingPastIt) {
  step(2, 1, 700);  // the tip from 10 mm to 1410 mm, past the cutter at 1390 mm
  run(0.2);
  ASSERT_NEAR(link_->world().strand(0, link_->now()).tip_mm, 1410., 1e-6);
  step(0, 1, 140);  // X from mid-travel (153) to 293: short of the lever
  run(0.1);
  EXPECT_TRUE(link_->world().loose_pieces().empty());
  step(1, 0, 160);  // Y down to 2.5 first: still short in X
  run(0.1);
  EXPECT_TRUE(link_->world().loose_pieces().empty());
  step(0, 1, 10);  // X 303: the lever pressed
  run(0.1);
  ASSERT_EQ(link_->world().loose_pieces().size(), 1u);
  EXPECT_NEAR(link_->world().strand(0, link_->now()).tip_mm, 1390., 1e-6);
  step(0, 0, 10);  // out and in again: a second stroke, nothing left past the cutter
  run(0.1);
  step(0, 1, 10);
  run(0.1);
  EXPECT_EQ(link_->world().loose_pieces().size(), 1u);
}

}  // namespace
}  // namespace mcu_emu
