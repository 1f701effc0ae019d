#include "sim/host/heater.h"

#include <gtest/gtest.h>

#include <cmath>

#include "sim/host/heaters.h"
#include "tests/sim/host/motion_test_config.h"

namespace {

using Lines = std::vector<std::string>;
using motion_testing::now;
using motion_testing::printer_config;
using testing_support::TestHost;

class HeaterTest : public ::testing::Test {
 protected:
  void SetUp() override { host.start(printer_config()); }
  sim::SimHeater& heater(const std::string& name) {
    return host.host().printer().lookup_object<sim::SimHeaters>("heaters").lookup_heater(name);
  }
  double target(const std::string& name) { return heater(name).get_temp(now(host)).second; }
  double temperature(const std::string& name) { return heater(name).get_temp(now(host)).first; }

  TestHost host;
};

TEST_F(HeaterTest, M109WaitsInVirtualTimeUntilTheNozzleHasSettled) {
  const double start = now(host);
  Lines out = host.command("M109 S200");
  // 175 degrees to go with a 30 s lag: about 30 * ln(175) = 155 s to come within 1 degree.
  EXPECT_NEAR(now(host) - start, 30. * std::log(175.), 1.);
  EXPECT_NEAR(temperature("extruder"), 200., 1.);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.front(), "T0:25.0 /200.0");

  const double settled = now(host);
  host.command("M109 S0");
  host.command("M104 S150");
  EXPECT_EQ(now(host), settled);
  EXPECT_EQ(target("extruder"), 150.);
}

TEST_F(HeaterTest, WaitsReturnAtOnceWhileTheHeaterMayNotWait) {
  heater("extruder").set_can_wait(false);
  const double start = now(host);
  host.command("M109 S250");
  EXPECT_EQ(now(host), start);
  EXPECT_EQ(target("extruder"), 250.);

  // Switching waits off during a wait ends it at the next check.
  heater("extruder").set_can_wait(true);
  host.host().reactor().register_timer(
      [this](double) {
        heater("extruder").set_can_wait(false);
        return klippy::Reactor::NEVER;
      },
      start + 10.5);
  host.command("M109 S280");
  EXPECT_NEAR(now(host) - start, 11., 1e-9);
}

TEST_F(HeaterTest, OutOfRangeAndMalformedTargetsChangeNothing) {
  host.command("SET_HEATER_TEMPERATURE HEATER=heater_box1 TARGET=50");
  EXPECT_EQ(target("heater_box1"), 50.);
  EXPECT_EQ(host.command("SET_HEATER_TEMPERATURE HEATER=heater_box1 TARGET=100"),
            Lines{"!! Requested temperature (100.0) out of range (0.0:70.0)"});
  EXPECT_EQ(host.command("SET_HEATER_TEMPERATURE HEATER=heater_box1 TARGET=-5"),
            Lines{"!! Requested temperature (-5.0) out of range (0.0:70.0)"});
  EXPECT_EQ(host.command("SET_HEATER_TEMPERATURE HEATER=heater_box1 TARGET=4x"),
            Lines{"!! Error on 'SET_HEATER_TEMPERATURE HEATER=heater_box1 TARGET=4x': unable "
                  "to parse 4x"});
  EXPECT_EQ(host.command("M104 S301"),
            Lines{"!! Requested temperature (301.0) out of range (0.0:300.0)"});
  EXPECT_EQ(host.command("M104 T1 S200"), Lines{"!! Extruder not configured"});
  EXPECT_TRUE(host.command("M104 T1 S0").empty());
  EXPECT_EQ(target("heater_box1"), 50.);
  EXPECT_EQ(target("extruder"), 0.);
  Lines unknown = host.command("SET_HEATER_TEMPERATURE HEATER=heater_box9 TARGET=40");
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_EQ(unknown[0].rfind("!! ", 0), 0u);
}

TEST_F(HeaterTest, BoxHeaterWarmsWithItsLagAndCoolsWhenSwitchedOff) {
  host.command("SET_HEATER_TEMPERATURE HEATER=heater_box1 TARGET=55");
  host.host().advance(120.);  // one time constant of a box heater
  EXPECT_NEAR(temperature("heater_box1"), 55. - 30. * std::exp(-1.), 1e-6);
  const auto status = heater("heater_box1").get_status(now(host));
  EXPECT_GT(status->find("power")->as_float(), 0.);
  EXPECT_EQ(status->find("target")->as_float(), 55.);

  const double warm = temperature("heater_box1");
  host.command("TURN_OFF_HEATERS");
  EXPECT_EQ(target("heater_box1"), 0.);
  host.host().advance(120.);
  EXPECT_NEAR(temperature("heater_box1"), 25. + (warm - 25.) * std::exp(-1.), 1e-6);
  EXPECT_EQ(heater("heater_box1").get_status(now(host))->find("power")->as_float(), 0.);
}

TEST_F(HeaterTest, ExtruderHeaterAnswersToItsShortName) {
  host.command("SET_HEATER_TEMPERATURE HEATER=extruder TARGET=210");
  EXPECT_EQ(target("extruder"), 210.);
  auto& toolhead = motion_testing::toolhead(host);
  EXPECT_EQ(&toolhead.get_extruder().get_heater(), &heater("extruder"));
  EXPECT_EQ(host.command("M105"), Lines{"T0:25.0 /210.0"});
}

}  // namespace
