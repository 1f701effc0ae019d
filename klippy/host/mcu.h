// Micro-controllers and their pins: endstops, digital outputs, buttons, SPI and queries.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "klippy/host/motion.h"
#include "klippy/host/object.h"
#include "klippy/host/reactor.h"
#include "klippy/host/value.h"

namespace klippy {

class Mcu;
class ConfigSection;

// A parsed pin description "[^|~][!][chip:]pin".
struct PinParams {
  Mcu* chip = nullptr;
  std::string chip_name;
  std::string pin;
  bool invert = false;
  int pullup = 0;  // 1 pull-up, -1 pull-down
};

class McuEndstop {
 public:
  virtual ~McuEndstop() = default;
  virtual Mcu& get_mcu() = 0;
  virtual void add_stepper(Stepper& stepper) = 0;
  virtual std::vector<Stepper*> get_steppers() const = 0;
  // Arms the endstop; it trips when the (inverted) level equals `triggered`, also when it
  // already does at the start. Attached steppers stop at the trip time.
  virtual CompletionPtr home_start(double print_time, double sample_time, int sample_count,
                                   double rest_time, bool triggered = true) = 0;
  // Trip print time, or 0.0 when nothing tripped by `home_end_time`.
  virtual double home_wait(double home_end_time) = 0;
  virtual bool query_endstop(double print_time) = 0;
};

class McuDigitalOut {
 public:
  virtual ~McuDigitalOut() = default;
  virtual void setup_max_duration(double max_duration_s) = 0;
  virtual void setup_start_value(double start_value, double shutdown_value) = 0;
  virtual void set_digital(double print_time, double value) = 0;
};

class McuQueryCommand {
 public:
  virtual ~McuQueryCommand() = default;
  // Blocks the calling task until the answer arrives; returns its fields.
  virtual std::map<std::string, Value> send(const std::vector<Value>& args) = 0;
};

class CommandQueue {
 public:
  virtual ~CommandQueue() = default;
};

class Mcu : public PrinterObject {
 public:
  virtual const std::string& get_name() const = 0;
  virtual int create_oid() = 0;
  virtual void add_config_cmd(const std::string& cmd, bool on_restart = false) = 0;
  virtual void register_config_callback(std::function<void()> callback) = 0;
  virtual std::unique_ptr<McuQueryCommand> lookup_query_command(const std::string& msgformat,
                                                                const std::string& respformat,
                                                                int oid = -1,
                                                                CommandQueue* cq = nullptr) = 0;
  virtual CommandQueue* alloc_command_queue() = 0;
  // Whether the MCU's firmware has the command `msgformat` (the host's try_lookup_command);
  // known once the MCU has identified itself ("klippy:mcu_identify").
  virtual bool knows_command(const std::string& msgformat) const = 0;
  virtual double estimated_print_time(double eventtime) const = 0;
  virtual double print_time_to_clock_time(double print_time) const = 0;
  // A host run in batch mode writes the MCU's commands to a file: nothing answers and no
  // clock runs, so nothing may wait for one (the host's own homing does not).
  virtual bool is_fileoutput() const { return false; }
  // Pins of this chip, created without reserving them in the pin registry.
  virtual std::unique_ptr<McuEndstop> setup_endstop(const PinParams& pin) = 0;
  virtual std::unique_ptr<McuDigitalOut> setup_digital_out(const PinParams& pin) = 0;
};

class PrinterPins : public PrinterObject {
 public:
  virtual PinParams parse_pin(const std::string& pin_desc, bool can_invert = false,
                              bool can_pullup = false) = 0;
  // Reserve the pin ("pin <pin> used multiple times in config" when taken).
  virtual std::unique_ptr<McuEndstop> setup_endstop(const std::string& pin_desc) = 0;
  virtual std::unique_ptr<McuDigitalOut> setup_digital_out(const std::string& pin_desc) = 0;
};

using ButtonCallback = std::function<void(double eventtime, int state)>;

class PrinterButtons : public PrinterObject {
 public:
  // `state` is the bitmask of the pins in list order, after inversion; every button starts
  // at 0, so a pin whose level is 1 when the MCU starts reports once.
  virtual void register_buttons(const std::vector<std::string>& pins, ButtonCallback callback) = 0;
};

class QueryEndstops : public PrinterObject {
 public:
  virtual void register_endstop(McuEndstop& endstop, const std::string& name) = 0;
};

class SpiDevice {
 public:
  virtual ~SpiDevice() = default;
  virtual Mcu& get_mcu() = 0;
  virtual int get_oid() const = 0;
  virtual CommandQueue* get_command_queue() = 0;
};

}  // namespace klippy
