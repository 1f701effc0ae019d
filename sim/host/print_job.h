// Runs a G-code file as a print job, like the host's virtual SD card, with PAUSE, RESUME
// and CANCEL_PRINT.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "klippy/host/config.h"
#include "klippy/host/gcode.h"
#include "klippy/host/object.h"
#include "klippy/host/reactor.h"
#include "sim/host/print_stats.h"

namespace sim {

class SimPrintJob final : public klippy::PrinterObject {
 public:
  explicit SimPrintJob(klippy::ConfigSection& config);
  std::optional<klippy::Value> get_status(double eventtime) override;

  // Starts printing `lines`; CommandError when a print is running already.
  void start(const std::string& name, std::vector<std::string> lines);
  bool is_active() const { return active_; }
  bool is_paused() const { return paused_; }
  // Lines run so far, and in all.
  size_t position() const { return next_line_; }
  size_t size() const { return lines_.size(); }

  // Told of each line the job runs (numbered from 1): when it starts and, unless it failed,
  // when it has finished. One observer at a time; an empty one removes it.
  enum class LinePhase { Started, Finished };
  using LineObserver =
      std::function<void(size_t line_number, const std::string& line, LinePhase phase)>;
  void set_line_observer(LineObserver observer) { line_observer_ = std::move(observer); }

 private:
  klippy::Value run(double eventtime);
  void cmd_SDCARD_PRINT_FILE(klippy::GCodeCommand& gcmd);
  void cmd_PAUSE(klippy::GCodeCommand& gcmd);
  void cmd_RESUME(klippy::GCodeCommand& gcmd);
  void cmd_CANCEL_PRINT(klippy::GCodeCommand& gcmd);

  klippy::Printer& printer_;
  klippy::Reactor& reactor_;
  klippy::GCodeDispatch& gcode_;
  SimPrintStats& print_stats_;
  // Where SDCARD_PRINT_FILE looks for its files; empty without a configured path.
  std::string folder_;
  std::string name_;
  std::vector<std::string> lines_;
  size_t next_line_ = 0;
  bool active_ = false;
  bool paused_ = false;
  bool cancel_ = false;
  klippy::CompletionPtr resumed_;
  LineObserver line_observer_;
};

std::vector<std::string> read_gcode_file(const std::string& path);

}  // namespace sim
