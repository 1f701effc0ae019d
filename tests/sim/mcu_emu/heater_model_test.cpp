// Heaters as the host sees them: the thermistor readings it converts back, the heaters it
// finds in a configuration, and how fast they warm.
#include "sim/mcu_emu/heater_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace mcu_emu {
namespace {

// What the host receives for a temperature: eight 12-bit samples summed, as a fraction.
double host_reading(const Thermistor& t, double celsius) {
  constexpr double kFullScale = 8 * 4095;
  return std::round(t.adc_fraction(celsius) * kFullScale) / kFullScale;
}

TEST(ThermistorTest, TheHostsConversionGivesBackTheModelledTemperature) {
  for (const char* type : {"EPCOS 100K B57560G104F", "Generic 3950", "ATC Semitec 104GT-2",
                           "SliceEngineering 450", "NTC 100K MGB18-104F39050L32"}) {
    for (const double pullup : {4700.0, 1000.0}) {
      const Thermistor t = Thermistor::named(type, pullup);
      for (double celsius = 0; celsius <= 300; celsius += 2.5)
        EXPECT_NEAR(t.temperature(host_reading(t, celsius)), celsius, 0.5)
            << type << " on " << pullup << " ohm at " << celsius << " C";
    }
  }
  // The points of the host's sensor table, on the divider with the thermistor below.
  const Thermistor epcos = Thermistor::named("EPCOS 100K B57560G104F");
  EXPECT_NEAR(epcos.adc_fraction(25), 100000.0 / 104700.0, 1e-9);
  EXPECT_NEAR(epcos.adc_fraction(150), 1641.9 / (4700 + 1641.9), 1e-9);
  EXPECT_NEAR(Thermistor::named("EPCOS 100K B57560G104F", 4700, 100).adc_fraction(250),
              326.15 / (4700 + 326.15), 1e-9);
}

TEST(ThermistorTest, AnUnknownSensorTypeSaysWhichAreKnown) {
  try {
    Thermistor::named("PT1000");
    FAIL() << "PT1000 is no thermistor of the table";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("'PT1000'"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("EPCOS 100K B57560G104F"), std::string::npos);
  }
}

std::vector<ConfigSection> printer_sections() {
  return {
      {"extruder",
       {{"heater_pin", "PA1"}, {"sensor_type", "EPCOS 100K B57560G104F"}, {"sensor_pin", "PA0"}},
       "printer.cfg:50"},
      {"extruder_stepper belt", {{"step_pin", "PB0"}}, "printer.cfg:70"},
      {"heater_generic heater_box2",
       {{"heater_pin", "mcu_box2:PJ0"},
        {"sensor_type", "EPCOS 100K B57560G104F"},
        {"sensor_pin", "mcu_box2:PJ1"},
        {"pullup_resistor", "2200"}},
       "box2.cfg:51"},
      {"fan", {{"pin", "PA8"}}, "printer.cfg:90"},
  };
}

TEST(HeatedPinsTest, HeatersComeFromTheirSectionsOnTheirControllers) {
  const auto heaters = heated_pins(printer_sections());
  ASSERT_EQ(heaters.size(), 2u);
  EXPECT_EQ(heaters[0].heater, "extruder");
  EXPECT_EQ(heaters[0].mcu, "mcu");
  EXPECT_EQ(heaters[0].heater_pin, 1u);
  EXPECT_EQ(heaters[0].sensor_pin, 0u);
  EXPECT_EQ(heaters[1].mcu, "mcu_box2");
  EXPECT_EQ(heaters[1].heater_pin, 9u * 16);
  EXPECT_EQ(heaters[1].sensor_pin, 9u * 16 + 1);
  EXPECT_NEAR(heaters[1].thermistor.adc_fraction(25), 100000.0 / 102200.0, 1e-9);

  auto sections = printer_sections();
  sections[2].options["sensor_pin"] = "mcu_box3:PJ1";
  EXPECT_THROW(heated_pins(sections), std::invalid_argument) << "sensor on another board";
  sections = printer_sections();
  sections[2].options["pullup_resistor"] = "4k7";
  try {
    heated_pins(sections);
    FAIL() << "a pull-up that is no number";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("'pullup_resistor' is '4k7'"), std::string::npos);
  }
  sections = printer_sections();
  sections[0].options.erase("sensor_pin");
  try {
    heated_pins(sections);
    FAIL() << "an extruder without its sensor pin";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("'extruder' (printer.cfg:50)"), std::string::npos);
  }
}

// Seconds until the plant's sensor reads `celsius` at full power, in the host's 0.3 s steps.
double seconds_to(ThermalPlant plant, double celsius) {
  double t = 0;
  while (plant.sensor < celsius && t < 600) {
    plant.advance(1.0, 0.3);
    t += 0.3;
  }
  return t;
}

TEST(ThermalPlantTest, AHotEndReachesPrintingHeatInHalfAMinuteAndABoxWarmsSlowly) {
  const double extruder = seconds_to(extruder_plant(), 220);
  EXPECT_GT(extruder, 20);
  EXPECT_LT(extruder, 40);
  // The host's heater check wants 2 C within 20 s of heating.
  EXPECT_LT(seconds_to(box_plant(), kAmbientCelsius + 2), 20);
  EXPECT_LT(seconds_to(box_plant(), 70), 600) << "a box reaches its drying heat";

  ThermalPlant hot = extruder_plant();
  hot.advance(1.0, 30);
  const double top = hot.sensor;
  hot.advance(0.0, 1);
  EXPECT_LT(hot.sensor, top) << "off, it cools";
  hot.advance(0.0, 3600);
  EXPECT_NEAR(hot.sensor, kAmbientCelsius, 0.1);
}

TEST(ThermalPlantTest, DutyIsTheOnTimeOfTheHeatersOutput) {
  Devices devices;
  devices.digital_outs[0] = {.pin = 1, .value = 1, .cycle_ticks = 1000, .on_ticks = 250};
  devices.digital_outs[1] = {.pin = 2, .value = 0, .cycle_ticks = 1000, .on_ticks = 0};
  devices.digital_outs[2] = {.pin = 3, .value = 1};
  devices.pwm_outs[3] = {.pin = 4, .value = 51};
  EXPECT_DOUBLE_EQ(output_duty(devices, 1, 255), 0.25);
  EXPECT_DOUBLE_EQ(output_duty(devices, 2, 255), 0.0);
  EXPECT_DOUBLE_EQ(output_duty(devices, 3, 255), 1.0);
  EXPECT_DOUBLE_EQ(output_duty(devices, 4, 255), 0.2);
  EXPECT_DOUBLE_EQ(output_duty(devices, 5, 255), 0.0) << "a pin nobody configured";
}

}  // namespace
}  // namespace mcu_emu
