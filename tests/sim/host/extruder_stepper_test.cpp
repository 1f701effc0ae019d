#include "sim/host/extruder_stepper.h"

#include <gtest/gtest.h>

#include "klippy/host/errors.h"
#include "sim/host/extruder.h"
#include "sim/host/stepper_enable.h"
#include "tests/sim/host/motion_test_config.h"

namespace {

using Lines = std::vector<std::string>;
using motion_testing::printer_config;
using motion_testing::toolhead;
using testing_support::TestHost;

class ExtruderStepperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A module that builds its feed motor through the factory function, as the box does.
    host.host().add_module(
        {"feeder",
         {},
         [](klippy::ConfigSection& config) -> std::shared_ptr<klippy::PrinterObject> {
           return sim::make_extruder_stepper(config);
         },
         {}});
    host.start(printer_config() +
               "\n[feeder lane0]\nstep_pin: PD1\ndir_pin: PD2\nenable_pin: PD3\nmicrosteps: 8\n"
               "rotation_distance: 20\nfull_steps_per_rotation: 400\n");
  }
  sim::SimStepperEnable& enable() {
    return host.host().printer().lookup_object<sim::SimStepperEnable>("stepper_enable");
  }
  sim::SimExtruderStepper& feeder() {
    return host.host().printer().lookup_object<sim::SimExtruderStepper>("feeder lane0");
  }
  double slot0_at_end() {
    auto stepper = enable().find_stepper("extruder_stepper slot0");
    return stepper->get_commanded_position(toolhead(host).print_time());
  }

  TestHost host;
};

TEST_F(ExtruderStepperTest, SyncedStepperFollowsTheExtruder) {
  host.command("G1 E5 F600");
  host.command("M400");
  auto slot0 = enable().find_stepper("extruder_stepper slot0");
  slot0->set_position({100., 0., 0.});

  EXPECT_EQ(host.command("SYNC_EXTRUDER_MOTION EXTRUDER=slot0 MOTION_QUEUE=extruder"),
            Lines{"// Extruder 'slot0' now syncing with 'extruder'"});
  // Coupling starts from the extruder's last position.
  EXPECT_DOUBLE_EQ(slot0_at_end(), 5.);

  host.command("M83");
  const double start = toolhead(host).get_last_move_time();
  host.command("G1 E10 F600");
  EXPECT_NEAR(slot0->get_commanded_position((start + toolhead(host).print_time()) / 2), 10., 1e-9);
  EXPECT_DOUBLE_EQ(slot0_at_end(), 15.);
  host.command("G1 E-3");
  EXPECT_DOUBLE_EQ(slot0_at_end(), 12.);
  EXPECT_TRUE(enable().lookup_enable("extruder_stepper slot0").is_motor_enabled());

  // Uncoupled, it stays where the extruder left it.
  host.command("SYNC_EXTRUDER_MOTION EXTRUDER=slot0 MOTION_QUEUE=");
  host.command("G1 E5");
  host.command("M400");
  EXPECT_DOUBLE_EQ(slot0_at_end(), 12.);
  EXPECT_EQ(slot0->get_trapq(), nullptr);
}

TEST_F(ExtruderStepperTest, OnlyExtrudersCanBeFollowed) {
  EXPECT_EQ(host.command("SYNC_EXTRUDER_MOTION EXTRUDER=slot0 MOTION_QUEUE=heater_box1"),
            Lines{"!! 'heater_box1' is not a valid extruder."});
  EXPECT_EQ(enable().find_stepper("extruder_stepper slot0")->get_trapq(), nullptr);
  try {
    feeder().sync_to_extruder("toolhead");
    FAIL() << "the toolhead is not an extruder";
  } catch (const klippy::CommandError& e) {
    EXPECT_STREQ(e.what(), "'toolhead' is not a valid extruder.");
  }
  EXPECT_EQ(feeder().synced_extruder(), "");
}

TEST_F(ExtruderStepperTest, FactoryBuiltStepperCouplesAndHasItsEnableLine) {
  EXPECT_EQ(feeder().stepper().get_name(), "feeder lane0");
  EXPECT_DOUBLE_EQ(feeder().stepper().get_step_dist(), 20. / (400 * 8));
  EXPECT_DOUBLE_EQ(enable().find_stepper("extruder_stepper slot0")->get_step_dist(),
                   22.67 / (200 * 16 * (50. / 17.)));

  host.command("G1 E2 F600");
  feeder().sync_to_extruder("extruder");
  EXPECT_EQ(feeder().synced_extruder(), "extruder");
  host.command("G1 E7");
  EXPECT_DOUBLE_EQ(feeder().stepper().get_commanded_position(toolhead(host).print_time()), 7.);

  auto& line = enable().lookup_enable("feeder lane0");
  EXPECT_TRUE(line.is_motor_enabled());
  host.command("M84");
  EXPECT_FALSE(line.is_motor_enabled());
  EXPECT_FALSE(enable().lookup_enable("extruder").is_motor_enabled());
  try {
    enable().lookup_enable("stepper_q");
    FAIL() << "unknown stepper accepted";
  } catch (const klippy::CommandError& e) {
    EXPECT_STREQ(e.what(), "Unknown stepper 'stepper_q'");
  }
}

TEST(ExtruderStepperConfig, BadStepperOptionsFailTheStart) {
  TestHost bad_ratio;
  EXPECT_THROW(bad_ratio.start(printer_config() +
                               "\n[extruder_stepper slot1]\nstep_pin: PC1\ndir_pin: PC2\n"
                               "microsteps: 16\nrotation_distance: 22\ngear_ratio: 50-17\n"),
               klippy::ConfigError);
  TestHost no_distance;
  EXPECT_THROW(no_distance.start(printer_config() +
                                 "\n[extruder_stepper slot1]\nstep_pin: PC1\ndir_pin: PC2\n"
                                 "microsteps: 16\n"),
               klippy::ConfigError);
}

}  // namespace
