// The printer configuration the toolhead, heater and extruder stepper tests run on.
#pragma once

#include <string>

#include "klippy/host/printer.h"
#include "sim/host/environment.h"
#include "sim/host/toolhead.h"
#include "tests/support/test_host.h"

namespace motion_testing {

inline std::string heater_options(const std::string& control, double max_temp) {
  return "heater_pin: PA1\nsensor_type: EPCOS 100K B57560G104F\nsensor_pin: PA0\ncontrol: " +
         control + (control == "pid" ? "\npid_Kp: 22\npid_Ki: 1\npid_Kd: 114" : "") +
         "\nmin_temp: 0\nmax_temp: " + std::to_string(static_cast<int>(max_temp)) + "\n";
}

// A cartesian printer whose extruder may extrude cold unless `min_extrude_temp` says
// otherwise, with one box heater, a fan and one extruder stepper "slot0".
inline std::string printer_config(const std::string& min_extrude_temp = "0") {
  return "[printer]\nkinematics: cartesian\nmax_velocity: 300\nmax_accel: 3000\n"
         "max_z_velocity: 5\nsquare_corner_velocity: 5\n\n" +
         testing_support::cartesian_rails() +
         "[extruder]\nstep_pin: PB3\ndir_pin: PB4\nenable_pin: !PC3\nmicrosteps: 16\n"
         "rotation_distance: 22.67\nnozzle_diameter: 0.4\nfilament_diameter: 1.75\n"
         "max_extrude_only_distance: 200\npressure_advance: 0.04\nmin_extrude_temp: " +
         min_extrude_temp + "\n" + heater_options("pid", 300) + "\n[heater_generic heater_box1]\n" +
         heater_options("watermark", 70) +
         "\n[fan]\npin: PA8\n"
         "\n[extruder_stepper slot0]\nstep_pin: PC1\ndir_pin: PC2\nmicrosteps: 16\n"
         "rotation_distance: 22.67\ngear_ratio: 50:17\n";
}

inline sim::SimToolhead& toolhead(testing_support::TestHost& host) {
  return host.host().printer().lookup_object<sim::SimToolhead>("toolhead");
}

inline const sim::PrintClock& print_clock(testing_support::TestHost& host) {
  return host.host()
      .printer()
      .lookup_object<sim::SimEnvironment>(sim::SimEnvironment::kName)
      .clock();
}

inline double now(testing_support::TestHost& host) {
  return host.host().reactor().monotonic();
}

}  // namespace motion_testing
