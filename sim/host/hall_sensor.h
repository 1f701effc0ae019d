// [hall_filament_width_sensor], sampled, reported and smoothed with the host's timing, so
// that whatever reads it here sees it as late as on a printer.
#pragma once

#include <array>
#include <functional>
#include <optional>

#include "klippy/host/config.h"
#include "klippy/host/devices.h"
#include "klippy/host/printer.h"
#include "klippy/host/reactor.h"

namespace sim {

// Each of the two ADCs averages kSampleCount samples, kSampleTime_s apart, and reports
// every kReportTime_s (the second ADC 10 ms after the first, as the host staggers its
// queries); the report reaches the host SimMcu::kQueryLatency_s after its last sample. On
// each report of the second ADC the host computes the diameter of the sum of both and, while
// enabled, moves its diameter a sixth of the way there. While disabled it reads the nominal
// diameter (the v0.13.0 host kept smoothing and reporting the measurement instead).
class SimHallFilamentWidthSensor final : public klippy::HallFilamentWidthSensor {
 public:
  using DiameterSource = std::function<double(double print_time)>;

  static constexpr double kReportTime_s = 0.5;
  static constexpr double kSampleTime_s = 0.03;
  static constexpr int kSampleCount = 15;
  static constexpr double kAdcStagger_s = 0.01;
  // The host's ADC reports start this long after the MCU is configured.
  static constexpr double kFirstReportDelay_s = 1.5;

  explicit SimHallFilamentWidthSensor(klippy::ConfigSection& config);
  ~SimHallFilamentWidthSensor() override;

  double diameter() const override;
  double latest_reading_mm() const override;
  // What covers the sensor, in mm of filament, at each print time; without a source
  // nothing does (0.0 mm).
  void set_diameter_source(DiameterSource source) { source_ = std::move(source); }
  std::optional<klippy::Value> get_status(double eventtime) override;
  bool is_active() const override { return active_; }
  std::optional<bool> flow_compensation() const override { return flow_compensation_; }
  // The simulated host is a current one, with the switch.
  void stop_flow_compensation() override {}

 private:
  struct Calibration {
    double dia1_mm, dia2_mm;
    double raw1, raw2;
  };

  // Starts the reports as the host does once the MCU is configured.
  void start_reports();
  // The report of one ADC for the window starting at `window_start` (print time).
  double report(double eventtime);
  // lastFilamentWidthReading of one ADC: its mean over the window, scaled as the host does.
  long read_adc(double window_start) const;
  // The host's calibrated diameter of the sum of both ADC readings, rounded to 0.01 mm.
  double reading_mm(long raw_sum) const;
  // Once a second, as the host does: M221 from the measured width while compensating.
  double compensate_flow(double eventtime);

  klippy::Printer& printer_;
  DiameterSource source_;
  Calibration calibration_{};
  double nominal_diameter_mm_;
  double max_difference_mm_;
  double runout_min_mm_;
  bool active_;
  bool flow_compensation_;
  double diameter_mm_;
  std::array<long, 2> readings_{0, 0};
  // Print time at which the window of the first ADC, and the one of the next report, begin.
  double window_start_ = 0.;
  int next_adc_ = 0;
  klippy::TimerHandle report_timer_;
  klippy::TimerHandle flow_timer_;
};

}  // namespace sim
