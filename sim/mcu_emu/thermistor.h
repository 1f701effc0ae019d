// A thermistor on a pull-up resistor as the Klipper host converts it: the fraction of full
// scale its ADC reads at a temperature, and back. The emulator reports the first, so that
// the host's own conversion gives back the modelled temperature.
#pragma once

#include <string>

namespace mcu_emu {

class Thermistor {
 public:
  static constexpr double kDefaultPullup = 4700.0;

  // The host's built-in sensor types (`sensor_type` of a heater). Throws
  // std::invalid_argument naming the types known here for any other name.
  static Thermistor named(const std::string& sensor_type, double pullup = kDefaultPullup,
                          double inline_resistor = 0.0);
  // Steinhart-Hart from three (temperature, resistance) points, falling back to a beta
  // model when they do not give a positive third coefficient (as the host does).
  static Thermistor from_points(double t1, double r1, double t2, double r2, double t3, double r3,
                                double pullup, double inline_resistor);
  static Thermistor from_beta(double t1, double r1, double beta, double pullup,
                              double inline_resistor);

  // The ADC reading (0..1) at `celsius`.
  double adc_fraction(double celsius) const;
  // The temperature the host computes from an ADC reading (0..1).
  double temperature(double fraction) const;

 private:
  Thermistor(double pullup, double inline_resistor)
      : pullup_(pullup), inline_resistor_(inline_resistor) {}

  double pullup_;
  double inline_resistor_;
  double c1_ = 0.0;
  double c2_ = 0.0;
  double c3_ = 0.0;
};

}  // namespace mcu_emu
