// The filament world wired into the simulated printer: its sensors on MCU pins, a slot
// motor built through the host factory, and the SIM_* scenario commands.
#include "sim/host/world_module.h"

#include <gtest/gtest.h>

#include "klippy/host/factory.h"
#include "klippy/host/mcu.h"
#include "sim/host/environment.h"
#include "tests/sim/host/motion_test_config.h"

namespace {

using Lines = std::vector<std::string>;
using testing_support::TestHost;

// Stands in for the slot feeder module: builds the slot's motor through the host factory.
struct TestLane final : klippy::PrinterObject {
  std::shared_ptr<klippy::ExtruderStepper> motor;
};

klippy::ExtraModule test_lane_module() {
  return {"feedlane",
          {},
          [](klippy::ConfigSection& config) {
            auto lane = std::make_shared<TestLane>();
            lane->motor = config.get_printer().factory().create_extruder_stepper(config);
            return std::static_pointer_cast<klippy::PrinterObject>(lane);
          },
          {}};
}

const std::string kWorld =
    "[mcu mcu_box1]\nserial: /dev/box1\n"
    "[feedlane slot0]\nstep_pin: mcu_box1:PA1\ndir_pin: mcu_box1:PA2\nmicrosteps: 16\n"
    "rotation_distance: 22.67\n"
    "[filament_world]\nslot0_runout_pin: mcu_box1:PA0\nbox1_outlet_pin: mcu_box1:PB0\n"
    "encoder_pin: mcu_box1:PC0\nslot0_spool: PLA FF0000\n";

class WorldModule : public ::testing::Test {
 protected:
  void SetUp() override {
    host.host().add_module(test_lane_module());
    // The generic printer's own extruder stepper is named slot0 too: this test's slot motor
    // replaces it.
    std::string printer = motion_testing::printer_config();
    printer.resize(printer.find("[extruder_stepper slot0]"));
    host.start(printer + kWorld);
    world = &host.host().printer().lookup_object<sim::SimFilamentWorld>("filament_world");
    motor = host.host().printer().lookup_object<TestLane>("feedlane slot0").motor.get();
  }
  double print_now() { return world->print_time_now(); }

  TestHost host;
  sim::SimFilamentWorld* world = nullptr;
  klippy::ExtruderStepper* motor = nullptr;
};

TEST_F(WorldModule, AHomingMoveStopsWhereTheStrandReachesTheOutlet) {
  auto& pins = host.host().printer().lookup_object<klippy::PrinterPins>("pins");
  auto endstop = pins.setup_endstop("mcu_box1:PB0");
  klippy::Stepper& stepper = motor->stepper();
  endstop->add_stepper(stepper);
  auto trapq = host.host().printer().factory().create_trapq();
  stepper.set_trapq(trapq);
  stepper.set_position({0, 0, 0});

  const double speed = 50, accel = 1000, start = print_now() + 0.1;
  auto move = klippy::calc_move_time(500, speed, accel);
  trapq->append(start, move.accel_t, move.cruise_t, move.accel_t, {0, 0, 0}, {1, 0, 0}, 0,
                move.cruise_v, accel);
  world->notify_changed();
  auto done = endstop->home_start(start, 0.000015, 4, 0.001, true);
  double trip = endstop->home_wait(start + 20);

  // The tip starts 10 mm past the slot sensor and meets the outlet 340 mm later, in cruise.
  const double ramp_mm = 0.5 * accel * move.accel_t * move.accel_t;
  const double expected = start + move.accel_t + (340 - ramp_mm) / speed;
  EXPECT_NEAR(trip, expected, 1e-6);
  host.host().advance(2);
  auto strand = world->world().strand(0, print_now());
  EXPECT_NEAR(strand.tip_mm, 350, 1e-6) << "the rest of the move never ran";
  EXPECT_NEAR(stepper.get_commanded_position(print_now()), 340, 1e-6);
  EXPECT_TRUE(done->test());
}

TEST_F(WorldModule, TheStateShowsTheStrandsWhereTheQueuedMovesLeaveThem) {
  klippy::Stepper& stepper = motor->stepper();
  auto trapq = host.host().printer().factory().create_trapq();
  stepper.set_trapq(trapq);
  stepper.set_position({0, 0, 0});
  // 100 mm at 50 mm/s, queued to start a moment from now: over two seconds still to run.
  const auto move = klippy::calc_move_time(100, 50, 1000);
  trapq->append(print_now() + 0.1, move.accel_t, move.cruise_t, move.accel_t, {0, 0, 0}, {1, 0, 0},
                0, move.cruise_v, 1000);
  world->notify_changed();
  const Lines state = host.command("SIM_STATE");
  ASSERT_FALSE(state.empty());
  EXPECT_NE(state[0].find("slot0 (1A): PLA FF0000, parked in the box (tip at 110.0 mm"),
            std::string::npos)
      << state[0];
}

TEST_F(WorldModule, ScenarioCommandsRefuseBadInputAndChangeNothing) {
  auto before = host.command("SIM_STATE");
  EXPECT_EQ(host.command("SIM_SPOOL SLOT=16 ACTION=insert"),
            (Lines{"!! Error on 'SIM_SPOOL SLOT=16 ACTION=insert': SLOT must have maximum of 15"}));
  EXPECT_EQ(host.command("SIM_SPOOL SLOT=1 ACTION=grab"),
            (Lines{"!! ACTION must be insert or remove, not 'grab'"}));
  EXPECT_EQ(host.command("SIM_SPOOL SLOT=1 ACTION=insert COLOR=red"),
            (Lines{"!! COLOR must be six hex digits (RRGGBB), not 'red'"}));
  EXPECT_EQ(host.command("SIM_SPOOL SLOT=1 ACTION=insert LENGTH=-5").size(), 1u);
  EXPECT_EQ(host.command("SIM_SPOOL SLOT=1 ACTION=insert LENGTH=1e300"),
            (Lines{"!! Error on 'SIM_SPOOL SLOT=1 ACTION=insert LENGTH=1e300': LENGTH must have "
                   "maximum of 10000000.0"}));
  EXPECT_EQ(host.command("SIM_FAULT SLOT=0 KIND=runout LENGTH=1e300").size(), 1u);
  EXPECT_EQ(host.command("SIM_FAULT SLOT=0 KIND=melt"),
            (Lines{"!! KIND must be jam, entry_refused, tag_unreadable, runout (with LENGTH), slip "
                   "(with RATIO) or clear, not 'melt'"}));
  EXPECT_EQ(host.command("SIM_SPOOL SLOT=0 ACTION=insert").size(), 1u) << "slot 0 is full";
  // Only slot 0 has a box here: a fault elsewhere would change nothing the host sees.
  EXPECT_EQ(host.command("SIM_FAULT SLOT=1 KIND=jam"),
            (Lines{"!! SLOT=1 is not a slot of a configured box (slot 0); name one of those"}));
  EXPECT_EQ(host.command("SIM_STATE"), before);
}

TEST_F(WorldModule, SpoolsAndFaultsShowInTheStatus) {
  host.command("SIM_SPOOL SLOT=0 ACTION=remove");
  host.command("SIM_SPOOL SLOT=0 ACTION=insert FILAMENT=PETG COLOR=00FF00 LENGTH=1000");
  host.command("SIM_FAULT SLOT=0 KIND=jam");
  auto status = world->get_status(host.host().reactor().monotonic());
  const klippy::Value* slot0 = status->find("strands")->find("slot0");
  ASSERT_NE(slot0, nullptr);
  EXPECT_EQ(slot0->find("filament")->as_string(), "PETG");
  EXPECT_TRUE(slot0->find("jammed")->as_bool());
  host.command("SIM_SPOOL SLOT=0 ACTION=remove");
  status = world->get_status(host.host().reactor().monotonic());
  EXPECT_EQ(status->find("strands")->find("slot0"), nullptr);
}

}  // namespace
