// What `feedbox run` shows while the printer runs: the host's console lines on one stream and,
// on a terminal, a progress bar on the other that never runs into those lines; the host's
// temperature reports while it waits for a heater folded into one line.
#pragma once

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>

namespace feedbox {

// A one-line bar on a terminal, redrawn at most ten times a second of real time.
class ProgressBar {
 public:
  explicit ProgressBar(std::ostream& err, bool enabled);
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  ~ProgressBar();

  void update(std::size_t done, std::size_t total, double simulated_s);
  // Takes the bar off the terminal line before other output; the next update draws it again.
  void clear();

 private:
  std::ostream& err_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_{};
};

// Whether `line` is one of the host's temperature reports ("T:210.3 /215.0 B:60.0 /60.0").
bool is_temperature_report(const std::string& line);

class ConsoleOutput {
 public:
  ConsoleOutput(std::ostream& out, bool verbose) : out_(out), verbose_(verbose) {}
  ConsoleOutput(const ConsoleOutput&) = delete;
  ConsoleOutput& operator=(const ConsoleOutput&) = delete;
  ~ConsoleOutput() { flush(); }

  // The bar to clear before each line; none when no print runs.
  void set_progress_bar(ProgressBar* bar) { bar_ = bar; }
  void line(const std::string& text);
  // Shows the folded temperature reports, if any: the last one and how many there were.
  void flush();

 private:
  void write(const std::string& text);

  std::ostream& out_;
  bool verbose_;
  ProgressBar* bar_ = nullptr;
  std::size_t folded_ = 0;
  std::string last_temperature_;
};

}  // namespace feedbox
