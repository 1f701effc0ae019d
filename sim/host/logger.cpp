#include "sim/host/logger.h"

#include <cstdio>
#include <filesystem>

#include "klippy/host/errors.h"

namespace sim {

namespace fs = std::filesystem;

RotatingLogFile::RotatingLogFile(std::string path, std::uintmax_t max_bytes, int backups)
    : path_(std::move(path)), max_bytes_(max_bytes), backups_(backups) {
  std::error_code error;
  fs::create_directories(fs::path(path_).parent_path(), error);
  file_.open(path_, std::ios::app);
  if (!file_) throw klippy::ConfigError("Unable to open log file '" + path_ + "'");
  size_ = fs::file_size(path_, error);
  if (error) size_ = 0;
}

void RotatingLogFile::write(const std::string& line) {
  if (size_ > 0 && size_ + line.size() > max_bytes_) rotate();
  file_ << line;
  file_.flush();
  size_ += line.size();
}

void RotatingLogFile::rotate() {
  file_.close();
  std::error_code error;
  fs::remove(path_ + "." + std::to_string(backups_), error);
  for (int n = backups_ - 1; n >= 1; --n)
    fs::rename(path_ + "." + std::to_string(n), path_ + "." + std::to_string(n + 1), error);
  fs::rename(path_, path_ + ".1", error);
  // A failed rename leaves the lines appended to the old file: none is lost.
  file_.open(path_, std::ios::app);
  size_ = fs::file_size(path_, error);
  if (error) size_ = 0;
}

SimLogger::SimLogger(const std::string& path, std::function<double()> clock,
                     const std::string& box_log_path)
    : clock_(std::move(clock)) {
  if (!box_log_path.empty())
    box_log_ = std::make_unique<RotatingLogFile>(box_log_path, kBoxLogBytes, kBoxLogBackups);
  if (path.empty()) return;
  file_ = std::make_unique<std::ofstream>(path, std::ios::app);
  if (!*file_) throw klippy::ConfigError("Unable to open log file '" + path + "'");
}

void SimLogger::log(klippy::LogLevel level, const std::string& message) {
  if (tap_) tap_(level, message);
  if (!file_ && !box_log_) return;
  static constexpr const char* kNames[] = {"DEBUG", "INFO", "WARNING", "ERROR"};
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%.3f] ", clock_ ? clock_() : 0.0);
  const std::string line =
      std::string(stamp) + kNames[static_cast<int>(level)] + ": " + message + '\n';
  if (file_) {
    *file_ << line;
    file_->flush();
  }
  if (box_log_) box_log_->write(line);
}

}  // namespace sim
