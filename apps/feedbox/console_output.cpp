#include "apps/feedbox/console_output.h"

#include <unistd.h>

#include <regex>

namespace feedbox {

ProgressBar::ProgressBar(std::ostream& err, bool enabled)
    : err_(err), enabled_(enabled && ::isatty(STDERR_FILENO)) {}

ProgressBar::~ProgressBar() {
  if (drawn_) err_ << '\n' << std::flush;
}

void ProgressBar::update(std::size_t done, std::size_t total, double simulated_s) {
  if (!enabled_ || total == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_ < std::chrono::milliseconds(100) && done != total) return;
  last_ = now;
  constexpr int kWidth = 40;
  const int filled = static_cast<int>(kWidth * done / total);
  err_ << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] "
       << (100 * done / total) << "%  " << static_cast<long>(simulated_s) << " s simulated"
       << std::flush;
  drawn_ = true;
}

void ProgressBar::clear() {
  if (!drawn_) return;
  // Carriage return and erase to the end of the line: the next output starts on a clean line.
  err_ << "\r\033[K" << std::flush;
  drawn_ = false;
}

bool is_temperature_report(const std::string& line) {
  static const std::regex report(R"(^(ok )?([A-Z][A-Za-z0-9_]*:-?[0-9.]+ /-?[0-9.]+ ?)+$|^T:0$)");
  return std::regex_match(line, report);
}

void ConsoleOutput::line(const std::string& text) {
  if (!verbose_ && is_temperature_report(text)) {
    ++folded_;
    last_temperature_ = text;
    return;
  }
  flush();
  write(text);
}

void ConsoleOutput::flush() {
  if (folded_ == 0) return;
  std::string text = last_temperature_;
  if (folded_ > 1)
    text += "  (last of " + std::to_string(folded_) +
            " temperature reports while waiting; --verbose shows each)";
  folded_ = 0;
  write(text);
}

void ConsoleOutput::write(const std::string& text) {
  if (bar_) bar_->clear();
  out_ << text << '\n' << std::flush;
}

}  // namespace feedbox
