#include <gtest/gtest.h>

#include <memory>

#include "klippy/host/errors.h"
#include "sim/host/filament_sensors.h"
#include "sim/host/gcode_move.h"
#include "sim/host/print_stats.h"
#include "tests/sim/host/motion_test_config.h"
#include "tests/support/start_error.h"

namespace {

using Lines = std::vector<std::string>;
using motion_testing::now;
using motion_testing::print_clock;
using motion_testing::printer_config;
using motion_testing::toolhead;
using testing_support::TestHost;

// 10 mm at 10 mm/s with 3000 mm/s^2: two ramps of 1/300 s around the cruise.
constexpr double kTenMmMove_s = 1. + 1. / 300.;

class ToolheadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.start(printer_config());
    host.command("G28");
  }
  sim::SimToolhead& th() { return toolhead(host); }
  sim::SimGCodeMove& gcode_move() {
    return host.host().printer().lookup_object<sim::SimGCodeMove>("gcode_move");
  }
  double est() { return print_clock(host).print_time(now(host)); }

  TestHost host;
};

TEST_F(ToolheadTest, PrintTimeRestartsAfterIdleAndContinuesWhileBusy) {
  EXPECT_DOUBLE_EQ(th().get_last_move_time(), est() + 0.25);
  host.host().advance(10.);
  EXPECT_DOUBLE_EQ(th().get_last_move_time(), est() + 0.25);

  const double start = th().get_last_move_time();
  host.command("G1 X10 F600");
  // Still busy: the next move continues where this one ends, not at a restart.
  EXPECT_NEAR(th().get_last_move_time(), start + kTenMmMove_s, 1e-9);
  host.command("G1 X20");
  EXPECT_NEAR(th().get_last_move_time(), start + 2 * kTenMmMove_s, 1e-9);

  host.host().advance(5.);
  EXPECT_DOUBLE_EQ(th().get_last_move_time(), est() + 0.25);
}

TEST_F(ToolheadTest, WaitMovesSuspendsUntilTheLastMoveHasRun) {
  host.command("G1 X10 F600");
  const double end_of_move = th().print_time();
  const double issued_at = now(host);
  EXPECT_LT(print_clock(host).eventtime(end_of_move), issued_at + 1.5);  // returned at once

  // A timer due during the wait runs while M400 is suspended.
  double timer_ran_at = -1.;
  host.host().reactor().register_timer(
      [&](double eventtime) {
        timer_ran_at = eventtime;
        return klippy::Reactor::NEVER;
      },
      issued_at + 0.5);
  host.command("M400");
  EXPECT_DOUBLE_EQ(now(host), print_clock(host).eventtime(end_of_move));
  EXPECT_DOUBLE_EQ(timer_ran_at, issued_at + 0.5);

  // Idle again: the dwell starts at the restart point.
  host.command("G4 P500");
  host.command("M400");
  EXPECT_NEAR(th().print_time(), end_of_move + 0.25 + 0.5, 1e-9);
  EXPECT_DOUBLE_EQ(now(host), print_clock(host).eventtime(th().print_time()));
}

TEST_F(ToolheadTest, LongDwellHoldsTheCallerWhileMuchMotionIsQueued) {
  const double start = th().get_last_move_time();
  host.command("G4 P10000");
  EXPECT_DOUBLE_EQ(th().print_time(), start + 10.);
  // The command returns once no more than the high-water mark of motion is left.
  EXPECT_NEAR(est(), start + 10. - sim::SimToolhead::kBufferTimeHigh_s, 1e-9);
}

TEST_F(ToolheadTest, IdleTimeoutSeesThePrinterBusyUntilTheMotionEnds) {
  auto& idle = host.host().printer().lookup_object<sim::SimIdleTimeout>("idle_timeout");
  host.command("G1 X10 F600");
  EXPECT_EQ(idle.state(), "Printing");
  host.host().advance(1.);
  EXPECT_EQ(idle.state(), "Printing");
  host.host().advance(1.);
  EXPECT_EQ(idle.state(), "Ready");
}

TEST_F(ToolheadTest, MalformedMovesAreRefusedAndChangeNothing) {
  host.command("G1 X5 Y5 F1200");
  const auto position = th().get_position();
  const auto last = gcode_move().last_position();
  const double print_time = th().print_time();
  // Classic parameters are one letter each ("X1a" is X=1 and A), so malformed numbers are
  // the ones strtod refuses, and a number too large for a double.
  const std::string huge(400, '9');
  const struct {
    std::string line;
    std::string error;
  } cases[] = {
      {"G1 X1.2.3 Y7", "!! Error on 'G1 X1.2.3 Y7': unable to parse 1.2.3"},
      {"G1 Y7 X--1", "!! Error on 'G1 Y7 X--1': unable to parse --1"},
      {"G1 Y7 X" + huge, "!! Error on 'G1 Y7 X" + huge + "': unable to parse " + huge},
      {"G1 X9 F0", "!! Error on 'G1 X9 F0': F must be above 0.0"},
      {"G1 X9 F-100", "!! Error on 'G1 X9 F-100': F must be above 0.0"},
      {"G1 X9 E", "!! Error on 'G1 X9 E': unable to parse"},
      {"G4 P-5", "!! Error on 'G4 P-5': P must have minimum of 0.0"},
      {"M204 S0", "!! Error on 'M204 S0': S must be above 0.0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(host.command(c.line), Lines{c.error}) << c.line;
    EXPECT_EQ(th().get_position(), position) << c.line;
    EXPECT_EQ(gcode_move().last_position(), last) << c.line;
    EXPECT_EQ(th().print_time(), print_time) << c.line;
  }
  // The speed of the refused F0 did not stick either: 4 mm at the old 20 mm/s.
  const double before = th().get_last_move_time();
  host.command("G1 X9");
  EXPECT_NEAR(th().print_time() - before, 4. / 20. + 20. / 3000., 1e-9);
}

TEST_F(ToolheadTest, AbsoluteAndRelativeExtrusion) {
  auto& extruder = host.host().printer().lookup_object<sim::SimExtruder>("extruder");
  host.command("G1 E5 F600");
  host.command("G1 E8");
  EXPECT_DOUBLE_EQ(th().get_position()[3], 8.);
  host.command("M83");
  host.command("G1 E2");
  host.command("G1 E2");
  EXPECT_DOUBLE_EQ(th().get_position()[3], 12.);
  // Relative coordinates make extrusion relative even in M82.
  host.command("M82");
  host.command("G91");
  host.command("G1 X10 E0.5");
  EXPECT_DOUBLE_EQ(th().get_position()[3], 12.5);
  host.command("G90");
  host.command("G92 E0");
  host.command("G1 E1");
  EXPECT_DOUBLE_EQ(th().get_position()[3], 13.5);
  EXPECT_DOUBLE_EQ(extruder.last_position(), 13.5);
  EXPECT_EQ(host.command("M114"), Lines{"X:10.000 Y:0.000 Z:0.000 E:1.000"});
  host.command("M400");
  EXPECT_DOUBLE_EQ(extruder.sim_trapq()->position_at(th().print_time())[0], 13.5);
}

TEST_F(ToolheadTest, ExtruderAndXyzMoveShareTheirTiming) {
  auto& extruder = host.host().printer().lookup_object<sim::SimExtruder>("extruder");
  const double start = th().get_last_move_time();
  host.command("G1 X10 E1 F600");
  const double mid = start + kTenMmMove_s / 2.;
  EXPECT_NEAR(th().trapq()->position_at(mid)[0], 5., 1e-9);
  EXPECT_NEAR(extruder.sim_trapq()->position_at(mid)[0], 0.5, 1e-9);
  EXPECT_DOUBLE_EQ(extruder.sim_trapq()->end_time(), th().trapq()->end_time());
}

TEST_F(ToolheadTest, HomingZeroesTheHomedAxes) {
  host.command("G1 X20 Y30 Z4 F6000");
  host.command("G28 X");
  EXPECT_EQ(th().get_position(), (klippy::Position{0., 30., 4., 0.}));
  EXPECT_EQ(gcode_move().last_position(), th().get_position());
  host.command("G28");
  EXPECT_EQ(th().homed_axes(), "xyz");
  host.command("M84");
  EXPECT_EQ(th().homed_axes(), "");
}

// As the host's cartesian kinematics: nothing moves before its axis is homed, and a homed
// axis moves only within its rail's range; only the moving axes are checked.
TEST(ToolheadLimits, MovesNeedHomedAxesAndStayWithinTheRails) {
  TestHost host;
  host.start(printer_config());
  EXPECT_EQ(host.command("G1 X10 F600"),
            Lines{"!! Must home axis first: 10.000 0.000 0.000 [0.000]"});
  host.command("G28 X");
  EXPECT_EQ(host.command("G1 X10 F600"), Lines{});
  EXPECT_EQ(host.command("G1 Y10"), Lines{"!! Must home axis first: 10.000 10.000 0.000 [0.000]"});
  host.command("G28");
  EXPECT_EQ(host.command("G1 X306 Y325 Z300"), Lines{});
  EXPECT_EQ(host.command("G1 X306.5"),
            Lines{"!! Move out of range: 306.500 325.000 300.000 [0.000]"});
  EXPECT_EQ(host.command("G1 Z-1"), Lines{"!! Move out of range: 306.000 325.000 -1.000 [0.000]"});
  EXPECT_EQ(toolhead(host).get_position(), (klippy::Position{306., 325., 300., 0.}));
  auto status = toolhead(host).get_status(now(host));
  EXPECT_EQ(*status->find("axis_minimum"), klippy::Value(klippy::Value::List{0., 0., 0., 0.}));
  EXPECT_EQ(*status->find("axis_maximum"),
            klippy::Value(klippy::Value::List{306., 325., 300., 0.}));
  host.command("M84");
  EXPECT_EQ(host.command("G1 X10"),
            Lines{"!! Must home axis first: 10.000 325.000 300.000 [0.000]"});
}

// The rails' options are required and checked as the host checks them.
TEST(ToolheadLimits, RailSectionsNeedTheHostsOptions) {
  auto error_of = [](const std::string& config) {
    return testing_support::start_error<TestHost>(config);
  };
  const std::string base = printer_config();
  auto without = [&](const std::string& option) {
    std::string text = base;
    const size_t at = text.find(option, text.find("[stepper_y]"));
    return text.erase(at, text.find('\n', at) + 1 - at);
  };
  EXPECT_EQ(error_of(without("position_max")),
            "Option 'position_max' in section 'stepper_y' must be specified");
  EXPECT_EQ(error_of(without("endstop_pin")),
            "Option 'endstop_pin' in section 'stepper_y' must be specified");
  std::string no_x = base;
  const size_t x = no_x.find("[stepper_x]");
  no_x.erase(x, no_x.find("[stepper_y]") - x);
  EXPECT_EQ(error_of(no_x), "Option 'step_pin' in section 'stepper_x' must be specified");
  std::string bad_endstop = base;
  bad_endstop.replace(bad_endstop.find("position_endstop: 0", bad_endstop.find("[stepper_z]")), 19,
                      "position_endstop: 150");
  EXPECT_EQ(error_of(bad_endstop), "Unable to infer homing_positive_dir in section 'stepper_z'");
  EXPECT_EQ(error_of(base + "[stepper_x]\nhoming_accel: 5\n"),
            "Option 'homing_accel' is not valid in section 'stepper_x'");
}

class SwallowingTransform final : public klippy::MoveTransform {
 public:
  void move(const klippy::Position& newpos, double speed) override {
    moves.push_back(newpos);
    speeds.push_back(speed);
  }
  klippy::Position get_position() override { return {1., 2., 3., 4.}; }
  std::vector<klippy::Position> moves;
  std::vector<double> speeds;
};

TEST_F(ToolheadTest, MoveTransformTakesTheMovesInsteadOfTheToolhead) {
  auto transform = std::make_shared<SwallowingTransform>();
  auto previous = gcode_move().set_move_transform(transform, false);
  ASSERT_TRUE(previous);
  EXPECT_EQ(previous->get_position(), th().get_position());  // the toolhead itself

  const double print_time = th().print_time();
  host.command("G1 X10 F1200");
  ASSERT_EQ(transform->moves.size(), 1u);
  EXPECT_EQ(transform->moves[0], (klippy::Position{10., 0., 0., 0.}));
  EXPECT_DOUBLE_EQ(transform->speeds[0], 20.);
  EXPECT_EQ(th().get_position(), (klippy::Position{}));
  EXPECT_EQ(th().print_time(), print_time);

  gcode_move().reset_last_position();
  EXPECT_EQ(gcode_move().last_position(), (klippy::Position{1., 2., 3., 4.}));

  try {
    gcode_move().set_move_transform(std::make_shared<SwallowingTransform>(), false);
    FAIL() << "a second transform needs force";
  } catch (const klippy::ConfigError& e) {
    EXPECT_STREQ(e.what(), "G-Code move transform already specified");
  }
  EXPECT_EQ(gcode_move().set_move_transform(previous, true), transform);
  gcode_move().reset_last_position();
  host.command("G1 X10");
  EXPECT_EQ(th().get_position()[0], 10.);
}

TEST_F(ToolheadTest, SpeedAndExtrusionFactors) {
  host.command("M220 S50");
  const double before = th().get_last_move_time();
  host.command("G1 X10 F1200");  // 20 mm/s halved
  EXPECT_NEAR(th().print_time() - before, kTenMmMove_s, 1e-9);
  host.command("M221 S200");
  host.command("G1 E1");
  EXPECT_DOUBLE_EQ(th().get_position()[3], 2.);
  EXPECT_EQ(host.command("M114"), Lines{"X:10.000 Y:0.000 Z:0.000 E:1.000"});
}

TEST_F(ToolheadTest, FanSpeedFollowsM106AndM107) {
  auto fan_speed = [&] {
    for (auto& [name, value] : host.host().collect_status())
      if (name.as_string() == "fan") return value.find("speed")->as_float();
    return -1.;
  };
  host.command("M106 S51");
  EXPECT_DOUBLE_EQ(fan_speed(), 0.2);
  host.command("M106");
  EXPECT_DOUBLE_EQ(fan_speed(), 1.);
  host.command("M107");
  EXPECT_DOUBLE_EQ(fan_speed(), 0.);
}

TEST_F(ToolheadTest, ExecutedMotionIsFreedDuringALongRun) {
  // 50 mm at 100 mm/s is three phases of about half a second: without freeing, 300 moves
  // would leave 900 phases queued.
  for (int i = 0; i < 300; ++i) host.command(i % 2 ? "G1 X0 E1 F6000" : "G1 X50 E2 F6000");
  const double kept_s = sim::SimToolhead::kMoveHistory_s + sim::SimToolhead::kBufferTimeHigh_s;
  EXPECT_LT(th().trapq()->queued_phases(), static_cast<std::size_t>(kept_s / 0.5 * 3 + 10));
  auto& extruder = host.host().printer().lookup_object<sim::SimExtruder>("extruder");
  EXPECT_LT(extruder.sim_trapq()->queued_phases(), static_cast<std::size_t>(kept_s / 0.5 * 3 + 10));
}

TEST(ToolheadConfig, ToolheadExistsOnlyOnceEveryExtruderHasLoaded) {
  // [printer] comes first, yet the toolhead uses the extruder defined after it.
  TestHost host;
  host.start(printer_config());
  EXPECT_EQ(toolhead(host).get_extruder().get_name(), "extruder");
  EXPECT_EQ(&toolhead(host).get_extruder().get_heater(),
            &host.host().printer().lookup_object<sim::SimExtruder>("extruder").get_heater());
}

TEST(ToolheadConfig, UnknownOptionsAndMissingLimitsFailTheStart) {
  TestHost unknown;
  try {
    unknown.start(printer_config() + "\n[heater_generic heater_box2]\n" +
                  motion_testing::heater_options("watermark", 70) + "colour: red\n");
    FAIL() << "unknown option accepted";
  } catch (const klippy::ConfigError& e) {
    EXPECT_STREQ(e.what(), "Option 'colour' is not valid in section 'heater_generic heater_box2'");
  }
  TestHost missing;
  EXPECT_THROW(missing.start("[printer]\nkinematics: cartesian\nmax_velocity: 300\n"),
               klippy::ConfigError);
}

TEST(ToolheadConfig, ColdExtrusionIsRefused) {
  TestHost host;
  host.start(printer_config("170"));
  EXPECT_EQ(host.command("G1 E1 F300"),
            (Lines{"// Extrude below minimum temp\n// See the 'min_extrude_temp' config option "
                   "for details",
                   "!! Extrude below minimum temp"}));
  EXPECT_EQ(toolhead(host).get_position()[3], 0.);
  host.command("G1 E1 X1");
  EXPECT_EQ(toolhead(host).get_position()[0], 0.);
}

// As the host's: once a second the print's flow follows the hall sensor's measured width,
// unless its compensation is switched off.
class FlowCompensation : public ::testing::TestWithParam<bool> {};

TEST_P(FlowCompensation, FollowsTheWidthOnlyWhileSwitchedOn) {
  const bool compensating = GetParam();
  std::string hall = testing_support::hall_sensor_section("PA2", "PA3");
  if (compensating) hall.replace(hall.find("compensation: False"), 19, "compensation: True");
  testing_support::TestHost host;
  host.start(printer_config() + hall);
  host.host()
      .printer()
      .lookup_object<sim::SimHallFilamentWidthSensor>("hall_filament_width_sensor")
      .set_diameter_source([](double) { return 1.6; });
  host.command("M221 S95");
  // Long enough for the sensor's smoothed diameter to settle on the width.
  host.host().advance(30.);
  const klippy::Value status = *host.host().printer().find_object("gcode_move")->get_status(0.);
  EXPECT_NEAR(status.find("extrude_factor")->as_float(), compensating ? 1.2 : 0.95, 0.01);
}

INSTANTIATE_TEST_SUITE_P(HallSensor, FlowCompensation, ::testing::Bool());

}  // namespace
