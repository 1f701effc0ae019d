// Buttons of the simulated MCUs. The real MCU samples every 2 ms and reports a level once it
// held for two samples; here each change is found exactly (from the pins' level sources,
// looked up again whenever the environment reports a change) and reported to the host a
// fixed delay after it happened.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "klippy/host/mcu.h"
#include "klippy/host/printer.h"

namespace sim {

class SimButtons final : public klippy::PrinterButtons {
 public:
  // From a level change on the pin to the callback on the host.
  static constexpr double kReportDelay_s = 0.004;

  explicit SimButtons(klippy::Printer& printer);
  ~SimButtons() override;

  // Every pin must be on the same MCU. Watching starts when the MCUs connect (at once when
  // registered later); a state other than 0 at that moment is reported once.
  void register_buttons(const std::vector<std::string>& pins,
                        klippy::ButtonCallback callback) override;

 private:
  class Group;

  void start();

  klippy::Printer& printer_;
  std::vector<std::unique_ptr<Group>> groups_;
  bool started_ = false;
};

}  // namespace sim
