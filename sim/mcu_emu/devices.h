// What the host configures on an emulated controller beyond its clock: output pins and
// their levels, analog inputs with their sampling schedule, button groups.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "homing.h"
#include "stepper_motion.h"

namespace mcu_emu {

struct DigitalOut {
  std::uint32_t pin = 0;
  std::uint32_t value = 0;
  std::uint32_t default_value = 0;
  std::uint32_t max_duration = 0;  // ticks a non-default level may last unrenewed, 0: forever
  std::uint32_t cycle_ticks = 0;   // software PWM cycle, 0 for plain on/off
  std::uint32_t on_ticks = 0;      // of each software PWM cycle
  // When a non-default level runs out unless the host renews it (a heater's watchdog).
  std::optional<std::uint64_t> deadline;
};

struct PwmOut {
  std::uint32_t pin = 0;
  std::uint32_t value = 0;
  std::uint32_t default_value = 0;
  std::uint32_t max_duration = 0;
  std::uint32_t cycle_ticks = 0;
  std::optional<std::uint64_t> deadline;
};

struct AnalogIn {
  std::uint32_t pin = 0;
  bool querying = false;
  std::uint64_t begin = 0;  // the current sampling cycle's first sample
  std::uint32_t sample_ticks = 0;
  std::uint32_t sample_count = 0;
  std::uint32_t rest_ticks = 0;
  std::uint32_t samples_per_report = 1;
  std::uint32_t min_value = 0;
  std::uint32_t max_value = 0;
  std::uint32_t range_check_count = 0;
  std::uint32_t out_of_range = 0;
  std::vector<std::uint16_t> batch;
};

struct Buttons {
  std::vector<std::optional<std::uint32_t>> pins;  // by position
  bool querying = false;
  std::uint64_t next_poll = 0;
  std::uint32_t rest_ticks = 0;
  std::uint32_t retransmit_count = 0;
  std::uint32_t invert = 0;
  std::uint32_t last_state = 0;  // the levels last reported
  std::uint32_t last_read = 0;   // the levels of the previous poll
  std::uint8_t ack_count = 0;
  std::vector<std::uint8_t> unacked;  // states reported and not yet acknowledged
  std::uint32_t polls_since_report = 0;
};

// An SPI device: its chip select (none for config_spi_without_cs) and whether a bus was set.
struct SpiDevice {
  std::optional<std::uint32_t> cs_pin;
  bool cs_active_high = false;
  bool bus_set = false;
};

// An FM17550 card reader of a box, on one of the SPI devices.
struct CardReader {
  std::uint32_t spi_oid = 0;
};

struct Stepper {
  std::uint32_t step_pin = 0;
  StepperMotion motion;
};

// Objects by oid; allocate_oids fixes how many the configuration may use.
struct Devices {
  std::map<std::uint32_t, DigitalOut> digital_outs;
  std::map<std::uint32_t, PwmOut> pwm_outs;
  std::map<std::uint32_t, AnalogIn> analog_ins;
  std::map<std::uint32_t, Buttons> buttons;
  std::map<std::uint32_t, SpiDevice> spis;
  std::map<std::uint32_t, CardReader> card_readers;
  // Objects the emulator accepts but does not act on.
  std::map<std::uint32_t, std::string> others;
  std::map<std::uint32_t, Stepper> steppers;
  std::map<std::uint32_t, Endstop> endstops;
  std::map<std::uint32_t, Trsync> trsyncs;
  // Pin levels as the controller would read them back (outputs loop back to inputs).
  std::map<std::uint32_t, std::uint32_t> pin_levels;
  // Levels queued for a later clock, by pin (an output takes its queued level at its clock).
  std::map<std::uint32_t, std::map<std::uint64_t, std::uint32_t>> scheduled_levels;
  std::map<std::uint32_t, std::uint32_t> pull_ups;

  bool oid_taken(std::uint32_t oid) const;
  std::uint32_t level(std::uint32_t pin) const;
  // The level read back at `clock`, queued levels included.
  std::uint32_t level_at(std::uint32_t pin, std::uint64_t clock) const;
  // Queued levels due by `now` become the pins' levels.
  void apply_scheduled_levels(std::uint64_t now);
};

}  // namespace mcu_emu
