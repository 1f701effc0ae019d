// Buttons, LEDs, SPI devices and the filament sensors of the simulated MCUs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "klippy/host/errors.h"
#include "sim/host/buttons.h"
#include "sim/host/filament_sensors.h"
#include "sim/host/led.h"
#include "sim/host/mcu.h"
#include "sim/host/spi.h"
#include "tests/sim/host/mcu_test_support.h"

namespace {

using mcu_testing::FlipSignal;
using ::testing::HasSubstr;

struct Report {
  double eventtime;
  int state;
};

class Devices : public mcu_testing::McuHost {
 protected:
  klippy::PrinterButtons& buttons() {
    return host().printer().lookup_object<klippy::PrinterButtons>("buttons");
  }
};

// As the host's: the MCU starts polling at the host's query slot, the first whole second of
// print time 0.5 s or more ahead; what happened before is not reported, only the level then.
TEST_F(Devices, ButtonsReportFromTheHostsQuerySlotEveryChangeAfterTheReportDelay) {
  start();
  const double t0 = now_print_time();
  const double t1 = t0 + 3., t2 = t0 + 3.001, t3 = t0 + 4.;
  mcu().attach_signal("PC0",
                      std::make_shared<FlipSignal>(0, std::vector<double>{t0 + 0.5, t1, t2, t3}));
  std::vector<Report> reports;
  buttons().register_buttons({"PC0", "^PC1"}, [&](double eventtime, int state) {
    reports.push_back({eventtime, state});
  });
  host().advance(0.45);
  EXPECT_TRUE(reports.empty()) << "reported before the host's first query";
  host().advance(4.55);
  const double delay = sim::SimButtons::kReportDelay_s;
  ASSERT_EQ(reports.size(), 4u);
  // Both pins read 1 at the first poll: the pulse before it is not seen on its own.
  EXPECT_EQ(reports[0].state, 0b11);
  EXPECT_GE(reports[0].eventtime, eventtime(t0 + 0.5));
  EXPECT_LE(reports[0].eventtime, eventtime(t0 + 1.5 + 0.1));
  EXPECT_EQ(reports[1].state, 0b10);
  EXPECT_NEAR(reports[1].eventtime, eventtime(t1) + delay, 1e-9);
  // A pulse shorter than the delay is still reported, in order.
  EXPECT_EQ(reports[2].state, 0b11);
  EXPECT_NEAR(reports[2].eventtime, eventtime(t2) + delay, 1e-9);
  EXPECT_EQ(reports[3].state, 0b10);
  EXPECT_NEAR(reports[3].eventtime, eventtime(t3) + delay, 1e-9);
}

TEST_F(Devices, ButtonsFollowLevelsScheduledLater) {
  start();
  std::vector<Report> reports;
  buttons().register_buttons({"!mcu_box1:PC2"}, [&](double eventtime, int state) {
    reports.push_back({eventtime, state});
  });
  host().advance(3.);
  ASSERT_EQ(reports.size(), 1u);  // inverted low pin: 1 at the first poll
  // A digital output on the same pin, scheduled while the button is watched.
  pins().allow_multi_use_pin("mcu_box1:PC2");
  const double when = now_print_time() + 0.2;
  auto out = mcu("mcu mcu_box1").setup_digital_out(pins().parse_pin("mcu_box1:PC2"));
  out->set_digital(when, 1.);
  host().advance(1.);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].state, 0);
  EXPECT_NEAR(reports[1].eventtime, eventtime(when) + sim::SimButtons::kReportDelay_s, 1e-9);
  EXPECT_THROW(buttons().register_buttons({"PD0", "mcu_box1:PD1"}, [](double, int) {}),
               klippy::ConfigError);
}

TEST_F(Devices, LedKeepsTheLastColour) {
  start("[led status]\nred_pin: PA7\nwhite_pin: PA8\ninitial_RED: 0.5\ncycle_time: 0.01\n");
  auto& led = host().printer().lookup_object<sim::SimPwmLed>("led status");
  EXPECT_EQ(led.color(), (klippy::Color{0.5, 0., 0., 0.}));
  host().advance(0.2);  // past the pins' start values
  test_host.command("SET_LED LED=status GREEN=1 WHITE=0.25");
  EXPECT_EQ(led.color(), (klippy::Color{0., 1., 0., 0.25}));
  led.update_leds({{0.1, 0.2, 0.3, 0.4}}, 12.5);
  EXPECT_EQ(led.last_print_time(), 12.5);
  auto status = led.get_status(0.);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->repr(), "{'color_data': [[0.1, 0.2, 0.3, 0.4]]}");
  EXPECT_THAT(test_host.command("SET_LED LED=status RED=2")[0], HasSubstr("RED must have maximum"));
}

// The host sends a pin's start value 0.2 s after it connected and holds back what is
// scheduled earlier: that change reaches the MCU late, which shuts down.
TEST_F(Devices, AnLedChangeScheduledBeforeItsStartValueShutsTheMcuDown) {
  start("[led status]\nwhite_pin: mcu_box1:PA8\n");
  test_host.command("SET_LED LED=status RED=0");
  EXPECT_TRUE(host().printer().shutdown_message().empty()) << "an unchanged colour sends nothing";
  test_host.command("SET_LED LED=status WHITE=1");
  EXPECT_EQ(host().printer().shutdown_message(), "MCU 'mcu_box1' shutdown: Timer too close");
}

TEST(SpiDevices, BuiltFromASectionOnTheChipSelectMcu) {
  // Sections this host does not implement are left for the modules that own them.
  testing_support::TestHost th;
  th.start(std::string(mcu_testing::kTwoMcus) +
           "[feedtag card_reader_1]\ncs_pin: mcu_box1:PB12\nspi_speed: 4000000\nspi_bus: spi2\n"
           "[feedtag card_reader_2]\ncs_pin: mcu_box1:PB12\nspi_software_sclk_pin: mcu_box1:PB13\n"
           "spi_software_mosi_pin: mcu_box1:PB15\nspi_software_miso_pin: mcu_box1:PB14\n"
           "[feedtag bad]\ncs_pin: mcu_box1:PB0\nspi_software_sclk_pin: PB13\n"
           "spi_software_mosi_pin: PB15\nspi_software_miso_pin: PB14\n");
  auto& cfg = th.host().printer().config();
  auto first = sim::make_spi(*cfg.find("feedtag card_reader_1"), 0, "cs_pin", 5000000, "spi_cs");
  // As in the real host, a chip select is shared only by users that ask for it.
  EXPECT_THROW(sim::make_spi(*cfg.find("feedtag card_reader_2"), 0, "cs_pin", 5000000),
               klippy::ConfigError);
  auto second = sim::make_spi(*cfg.find("feedtag card_reader_2"), 0, "cs_pin", 5000000, "spi_cs");
  auto& box = th.host().printer().lookup_object<sim::SimMcu>("mcu mcu_box1");
  EXPECT_EQ(&first->get_mcu(), &box);
  EXPECT_NE(first->get_oid(), second->get_oid());
  EXPECT_NE(first->get_command_queue(), nullptr);
  EXPECT_THAT(box.dump_config(), HasSubstr("spi_set_bus oid=0 spi_bus=spi2 mode=0 rate=4000000"));
  EXPECT_THAT(box.dump_config(), HasSubstr("spi_set_software_bus oid=1 mode=0 rate=5000000"));
  try {
    sim::make_spi(*cfg.find("feedtag bad"), 0, "cs_pin", 5000000);
    FAIL() << "SPI pins on two mcus accepted";
  } catch (const klippy::ConfigError& e) {
    EXPECT_THAT(e.what(), HasSubstr("section 'feedtag bad'"));
  }
}

TEST_F(Devices, MotionSensorReadsItsSwitchAndCanBeDisabled) {
  start(
      "[filament_motion_sensor box_motion_sensor]\nswitch_pin: ^mcu_box1:PA9\n"
      "detection_length: 10\nextruder: extruder\npause_on_runout: False\n"
      "runout_gcode: M117 out\ninsert_gcode: M117 in\nevent_delay: 3\npause_delay: 0.5\n");
  auto& sensor = host().printer().lookup_object<klippy::FilamentMotionSensor>(
      "filament_motion_sensor box_motion_sensor");
  EXPECT_DOUBLE_EQ(sensor.detection_length(), 10.);
  host().advance(3.);                   // the host's first poll of the pin
  EXPECT_EQ(sensor.button_state(), 1);  // pulled up, nothing attached
  const double flip = now_print_time() + 0.3;
  pins().attach_signal("^mcu_box1:PA9", std::make_shared<FlipSignal>(1, std::vector<double>{flip}));
  host().advance(0.2);
  EXPECT_EQ(sensor.button_state(), 1);
  host().advance(0.2);
  EXPECT_EQ(sensor.button_state(), 0);
  test_host.command("SET_FILAMENT_SENSOR SENSOR=box_motion_sensor ENABLE=0");
  auto status = sensor.get_status(0.);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status->find("enabled"), klippy::Value(false));
  EXPECT_EQ(*status->find("filament_detected"), klippy::Value(true));  // it toggled
}

// As the host's sensor: every 0.5 s each ADC reports the mean of samples over 0.42 s, and
// the diameter moves a sixth of the way to each report. Filament shows in the latest reading
// within a period and a half, in the diameter two or three reports later; off, the sensor
// reads the nominal diameter whatever covers it.
TEST_F(Devices, HallSensorReportsAndSmoothsWithTheHostsTiming) {
  start(
      "[hall_filament_width_sensor]\nadc1: PA2\nadc2: PA3\ncal_dia1: 1.50\ncal_dia2: 2.00\n"
      "raw_dia1: 9500\nraw_dia2: 10500\ndefault_nominal_filament_diameter: 1.75\n"
      "max_difference: 0.2\nmeasurement_delay: 70\nenable: True\nmeasurement_interval: 10\n"
      "logging: False\nmin_diameter: 1.0\nuse_current_dia_while_delay: False\n"
      "pause_on_runout: False\nenable_flow_compensation: False\n");
  auto& hall =
      host().printer().lookup_object<sim::SimHallFilamentWidthSensor>("hall_filament_width_sensor");
  EXPECT_DOUBLE_EQ(hall.diameter(), 1.75) << "the host starts from the nominal diameter";
  host().advance(30.);
  EXPECT_DOUBLE_EQ(hall.latest_reading_mm(), 0.);
  EXPECT_LT(hall.diameter(), 0.01);

  const double longest_reading_delay = 0.5 + 0.42 + sim::SimMcu::kQueryLatency_s;
  for (double phase : {0.0, 0.11, 0.23, 0.37, 0.44}) {
    const double arrival = std::ceil(now_print_time()) + phase;
    hall.set_diameter_source([arrival](double t) { return t >= arrival ? 1.72 : 0.; });
    double reading_seen = 0., diameter_seen = 0.;
    klippy::Reactor& reactor = host().reactor();
    auto watch = reactor.register_timer(
        [&](double eventtime) {
          if (!reading_seen && hall.latest_reading_mm() > 0.5) reading_seen = now_print_time();
          if (!diameter_seen && hall.diameter() > 0.5) diameter_seen = now_print_time();
          return eventtime + 0.001;
        },
        klippy::Reactor::NOW);
    host().advance(10.);
    reactor.unregister_timer(watch);
    SCOPED_TRACE(phase);
    EXPECT_GT(reading_seen - arrival, 0.);
    EXPECT_LE(reading_seen - arrival, longest_reading_delay + 0.002);
    EXPECT_GE(diameter_seen - arrival, 0.85);
    EXPECT_LE(diameter_seen - arrival, longest_reading_delay + 0.5 + 0.002);
    EXPECT_DOUBLE_EQ(hall.latest_reading_mm(), 1.72);
    EXPECT_LT(hall.diameter(), 1.72 - 0.03) << "still short of it after 20 reports";
    host().advance(20.);
    EXPECT_NEAR(hall.diameter(), 1.72, 0.001);
    hall.set_diameter_source(nullptr);
    host().advance(30.);
  }
  EXPECT_EQ(*hall.get_status(0.)->find("Raw"), klippy::Value(6500));
  EXPECT_EQ(test_host.command("DISABLE_FILAMENT_WIDTH_SENSOR")[0], "// Filament width sensor: OFF");
  EXPECT_DOUBLE_EQ(hall.diameter(), 1.75);
  EXPECT_EQ(test_host.command("QUERY_FILAMENT_WIDTH")[0], "// Filament diameter: sensor disabled");
}

}  // namespace
