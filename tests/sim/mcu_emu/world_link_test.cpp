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

}  // namespace
}  // namespace mcu_emu
