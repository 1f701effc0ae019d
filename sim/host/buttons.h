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
  static constexpr double kFirstQueryDelay_s = 1.5;
  static constexpr double kQuerySlotPerOid_s = 0.01;

  explicit SimButtons(klippy::Printer& printer);
  ~SimButtons() override;

  // Every pin must be on the same MCU. Watching starts at the host's query slot after the
  // MCUs connect (0.5 to 1.5 s later); a state other than 0 then is reported once.
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
