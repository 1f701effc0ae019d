// LEDs and filament sensors that the modules read or drive.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "klippy/host/object.h"

namespace klippy {

using Color = std::array<double, 4>;  // red, green, blue, white in 0..1

class PwmLed : public PrinterObject {
 public:
  // `print_time` absent: as soon as possible.
  virtual void update_leds(const std::vector<Color>& colors, std::optional<double> print_time) = 0;
};

class FilamentMotionSensor : public PrinterObject {
 public:
  virtual double detection_length() const = 0;
  // Current level of the encoder switch, 0 or 1.
  virtual int button_state() const = 0;
};

class HallFilamentWidthSensor : public PrinterObject {
 public:
  // The host's measured diameter in mm: each report of the sensor (every 0.5 s) moves it
  // a sixth of the way to what that report read, so it takes seconds to follow.
  virtual double diameter() const = 0;
  // What the sensor's latest report read, calibrated as diameter() is but not smoothed
  // (mm); about 0.0 when no filament covers the sensor.
  virtual double latest_reading_mm() const = 0;
  // While not active the host reports the nominal diameter, whatever the sensor sees.
  virtual bool is_active() const = 0;
  // The host's flow compensation (M221 from the measured width), where the host has a
  // switch for it (`enable_flow_compensation`); nullopt on hosts that always compensate.
  virtual std::optional<bool> flow_compensation() const = 0;
  // Stops the compensation on hosts without that switch; the extrude factor stays as set.
  virtual void stop_flow_compensation() = 0;
};

}  // namespace klippy
