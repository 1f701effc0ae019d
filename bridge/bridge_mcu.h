// Micro-controllers of the host and what hangs off them: endstops, digital outputs,
// query commands, command queues and SPI devices.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "bridge/adapters.h"
#include "klippy/host/mcu.h"

namespace bridge {

namespace py = pybind11;

class BridgeCommandQueue final : public klippy::CommandQueue {
 public:
  explicit BridgeCommandQueue(py::object queue) : queue(std::move(queue)) {}
  py::object queue;
};

class BridgeMcu final : public HostAdapter<klippy::Mcu> {
 public:
  BridgeMcu(BridgePrinter& printer, py::object mcu);
  const std::string& get_name() const override { return name_; }
  int create_oid() override;
  void add_config_cmd(const std::string& cmd, bool on_restart) override;
  void register_config_callback(std::function<void()> callback) override;
  std::unique_ptr<klippy::McuQueryCommand> lookup_query_command(const std::string& msgformat,
                                                                const std::string& respformat,
                                                                int oid,
                                                                klippy::CommandQueue* cq) override;
  klippy::CommandQueue* alloc_command_queue() override;
  bool knows_command(const std::string& msgformat) const override;
  double estimated_print_time(double eventtime) const override;
  bool is_fileoutput() const override;
  double print_time_to_clock_time(double print_time) const override;
  std::unique_ptr<klippy::McuEndstop> setup_endstop(const klippy::PinParams& pin) override;
  std::unique_ptr<klippy::McuDigitalOut> setup_digital_out(const klippy::PinParams& pin) override;
  // A command queue the host made (an SPI device's), kept for as long as the MCU.
  klippy::CommandQueue* adopt_queue(py::object queue);

 private:
  py::dict host_pin(const klippy::PinParams& pin) const;

  BridgePrinter& printer_;
  std::string name_;
  std::vector<std::unique_ptr<BridgeCommandQueue>> queues_;
};

// The MCU adapter of a host MCU object, looked up by the name the host registered it under.
BridgeMcu& mcu_of(BridgePrinter& printer, py::handle host_mcu);
std::unique_ptr<klippy::McuEndstop> wrap_endstop(BridgePrinter& printer, py::object endstop);
std::unique_ptr<klippy::McuDigitalOut> wrap_digital_out(const HostLink& link, py::object out);
std::unique_ptr<klippy::SpiDevice> wrap_spi(BridgePrinter& printer, py::object spi);
py::object host_endstop_of(klippy::McuEndstop& endstop);

}  // namespace bridge
