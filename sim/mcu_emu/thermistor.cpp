#include "thermistor.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

namespace mcu_emu {
namespace {

constexpr double kKelvin = 273.15;

struct KnownSensor {
  const char* name;
  double t1, r1, t2, r2, t3, r3;  // t2 == 0: a beta sensor with beta in r2
};

// The host's temperature_sensors.cfg.
constexpr std::array kKnownSensors = {
    KnownSensor{"EPCOS 100K B57560G104F", 25, 100000, 150, 1641.9, 250, 226.15},
    KnownSensor{"ATC Semitec 104GT-2", 20, 126800, 150, 1360, 300, 80.65},
    KnownSensor{"ATC Semitec 104NT-4-R025H42G", 25, 100000, 160, 1074, 300, 82.78},
    KnownSensor{"Generic 3950", 25, 100000, 150, 1770, 250, 230},
    KnownSensor{"SliceEngineering 450", 25, 500000, 200, 3734, 400, 240},
    KnownSensor{"TDK NTCG104LH104JT1", 25, 100000, 50, 31230, 125, 2066},
    KnownSensor{"Honeywell 100K 135-104LAG-J01", 25, 100000, 0, 3974, 0, 0},
    KnownSensor{"NTC 100K MGB18-104F39050L32", 25, 100000, 0, 4100, 0, 0},
};

}  // namespace

Thermistor Thermistor::named(const std::string& sensor_type, double pullup,
                             double inline_resistor) {
  for (const KnownSensor& s : kKnownSensors) {
    if (sensor_type != s.name) continue;
    if (s.t2 == 0) return from_beta(s.t1, s.r1, s.r2, pullup, inline_resistor);
    return from_points(s.t1, s.r1, s.t2, s.r2, s.t3, s.r3, pullup, inline_resistor);
  }
  std::string known;
  for (const KnownSensor& s : kKnownSensors)
    known += std::string(known.empty() ? "" : ", ") + s.name;
  throw std::invalid_argument("the emulator has no model of sensor_type '" + sensor_type +
                              "'; use one of: " + known);
}

Thermistor Thermistor::from_points(double t1, double r1, double t2, double r2, double t3, double r3,
                                   double pullup, double inline_resistor) {
  const double inv_t1 = 1.0 / (t1 + kKelvin);
  const double inv_t2 = 1.0 / (t2 + kKelvin);
  const double inv_t3 = 1.0 / (t3 + kKelvin);
  const double ln_r1 = std::log(r1);
  const double ln_r2 = std::log(r2);
  const double ln_r3 = std::log(r3);
  const double inv_t12 = inv_t1 - inv_t2;
  const double inv_t13 = inv_t1 - inv_t3;
  const double ln_r12 = ln_r1 - ln_r2;
  const double ln_r13 = ln_r1 - ln_r3;
  const double ln3_r12 = std::pow(ln_r1, 3) - std::pow(ln_r2, 3);
  const double ln3_r13 = std::pow(ln_r1, 3) - std::pow(ln_r3, 3);
  const double c3 = (inv_t12 - inv_t13 * ln_r12 / ln_r13) / (ln3_r12 - ln3_r13 * ln_r12 / ln_r13);
  if (c3 <= 0.0) return from_beta(t1, r1, ln_r13 / inv_t13, pullup, inline_resistor);
  Thermistor t(pullup, inline_resistor);
  t.c3_ = c3;
  t.c2_ = (inv_t12 - c3 * ln3_r12) / ln_r12;
  t.c1_ = inv_t1 - t.c2_ * ln_r1 - c3 * std::pow(ln_r1, 3);
  return t;
}

Thermistor Thermistor::from_beta(double t1, double r1, double beta, double pullup,
                                 double inline_resistor) {
  Thermistor t(pullup, inline_resistor);
  t.c2_ = 1.0 / beta;
  t.c1_ = 1.0 / (t1 + kKelvin) - t.c2_ * std::log(r1);
  return t;
}

double Thermistor::adc_fraction(double celsius) const {
  if (celsius <= -kKelvin) return 1.0;
  const double inv_t = 1.0 / (celsius + kKelvin);
  double ln_r = 0.0;
  if (c3_ != 0.0) {
    // Cardano's formula for ln(r) of the Steinhart-Hart cubic.
    const double y = (c1_ - inv_t) / (2.0 * c3_);
    const double x = std::sqrt(std::pow(c2_ / (3.0 * c3_), 3) + y * y);
    ln_r = std::cbrt(x - y) - std::cbrt(x + y);
  } else {
    ln_r = (inv_t - c1_) / c2_;
  }
  const double r = std::exp(ln_r) + inline_resistor_;
  return r / (pullup_ + r);
}

double Thermistor::temperature(double fraction) const {
  const double adc = std::clamp(fraction, 0.00001, 0.99999);
  const double r = pullup_ * adc / (1.0 - adc);
  const double ln_r = std::log(r - inline_resistor_);
  return 1.0 / (c1_ + c2_ * ln_r + c3_ * std::pow(ln_r, 3)) - kKelvin;
}

}  // namespace mcu_emu
