#include "apps/feedbox/run_command.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "apps/feedbox/print_recorder.h"
#include "apps/feedbox/session.h"
#include "apps/feedbox/value_json.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/preflight.h"
#include "klippy/extras/feedhub/print_plan.h"
#include "klippy/host/components.h"
#include "klippy/host/errors.h"
#include "klippy/host/ini.h"
#include "sim/print_job.h"

namespace feedbox {
namespace {

// A one-line bar on a terminal, redrawn at most ten times a second of real time.
class ProgressBar {
 public:
  explicit ProgressBar(std::ostream& err) : err_(err), enabled_(::isatty(STDERR_FILENO)) {}
  void update(size_t done, size_t total, double simulated_s) {
    if (!enabled_ || total == 0) return;
    auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100) && done != total) return;
    last_ = now;
    constexpr int kWidth = 40;
    int filled = static_cast<int>(kWidth * done / total);
    err_ << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] "
         << (100 * done / total) << "%  " << static_cast<long>(simulated_s) << " s simulated"
         << std::flush;
    drawn_ = true;
  }
  ~ProgressBar() {
    if (drawn_) err_ << '\n';
  }

 private:
  std::ostream& err_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_{};
};

// The box's pre-flight check of the print file, told before the print starts; none without
// a box controller.
std::optional<klippy::Value> preflight_check(sim::SimHost& host, const std::string& path,
                                             std::ostream& err) {
  auto* hub = host.printer().lookup_object_or_null<feedhub::FeedHub>(feedhub::FeedHub::kObjectName);
  std::ifstream in(path, std::ios::binary);
  if (!hub || !in) return std::nullopt;
  try {
    const feedhub::PreflightReport report =
        feedhub::check_print_plan(*hub, feedhub::read_print_plan(in));
    err << report.table() << report.verdict_line() << '\n';
    return report.to_value();
  } catch (const klippy::CommandError& e) {
    err << "feedbox: pre-flight check failed: " << e.what() << '\n';
    return std::nullopt;
  }
}

// `recording` points at the recorder while the print runs, for the console's responses.
PrintReport run_print(sim::SimHost& host, const std::string& path, std::ostream& err,
                      PrintRecorder*& recording) {
  std::optional<klippy::Value> preflight = preflight_check(host, path, err);
  auto lines = sim::read_gcode_file(path);
  auto& job = host.printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
  PrintRecorder recorder(host, path);
  job.start(path, std::move(lines));
  recording = &recorder;
  ProgressBar bar(err);
  double started = host.reactor().monotonic();
  // A paused print hands over to the next command (a retry, for example).
  host.run_until(
      [&] {
        bar.update(job.position(), job.size(), host.reactor().monotonic() - started);
        return !job.is_active() || job.is_paused();
      },
      1e9);
  recording = nullptr;
  PrintReport report = recorder.finish();
  report.preflight = std::move(preflight);
  return report;
}

// The report needs a print, and a file it can be written to before any time is spent.
bool check_report_option(const RunOptions& options, std::ostream& err) {
  if (options.report_json_path.empty()) return true;
  const bool has_print = std::any_of(options.items.begin(), options.items.end(),
                                     [](const auto& i) { return i.kind == RunItem::Kind::Print; });
  if (!has_print) {
    err << "feedbox: --report-json reports on a print job; add --print FILE\n";
    return false;
  }
  if (auto problem = report_path_problem(options.report_json_path)) {
    err << "feedbox: cannot write the print report to '" << options.report_json_path
        << "': " << *problem << "; give a file in an existing folder you can write to\n";
    return false;
  }
  return true;
}

void dump_variables(sim::SimHost& host, std::ostream& out) {
  auto* vars = host.printer().lookup_object_or_null<klippy::SaveVariables>("save_variables");
  if (!vars) {
    out << "(no [save_variables] section: nothing to dump)\n";
    return;
  }
  out << klippy::read_text_file(vars->filename());
}

}  // namespace

int run_simulation(const RunOptions& options, std::ostream& out, std::ostream& err) {
  // Check every input before the printer starts, so a typo costs no simulated time.
  for (const auto& item : options.items) {
    if (item.kind == RunItem::Kind::Command) continue;
    std::ifstream probe(item.text);
    if (!probe) {
      err << "feedbox: cannot read '" << item.text << "'\n";
      return 2;
    }
  }
  if (!check_report_option(options, err)) return 2;
  PrintRecorder* recording = nullptr;
  std::optional<PrintReport> report;
  SessionOptions session_options;
  session_options.config_path = options.config_path;
  session_options.boxes = options.boxes;
  session_options.data_dir = options.data_dir;
  session_options.log_path = options.log_path;
  session_options.clock = options.realtime ? sim::ClockKind::Real : sim::ClockKind::Virtual;
  session_options.output = [&out, &recording](const std::string& text) {
    out << text << '\n' << std::flush;
    if (recording) recording->note_output(text);
  };
  std::unique_ptr<Session> session;
  try {
    session = std::make_unique<Session>(std::move(session_options));
  } catch (const klippy::ConfigError& e) {
    err << "feedbox: configuration error: " << e.what() << '\n';
    return 2;
  } catch (const klippy::CommandError& e) {
    err << "feedbox: start-up failed: " << e.what() << '\n';
    return 2;
  }
  session->advance(options.settle_s);
  for (const auto& item : options.items) {
    switch (item.kind) {
      case RunItem::Kind::Command:
        session->run_command(item.text);
        break;
      case RunItem::Kind::File:
        for (const auto& line : sim::read_gcode_file(item.text)) session->run_command(line);
        break;
      case RunItem::Kind::Print:
        report = run_print(session->host(), item.text, err, recording);
        session->restart_if_requested();
        break;
    }
  }
  session->advance(options.after_s);
  if (options.dump_vars) dump_variables(session->host(), out);
  if (options.status)
    out << to_json(klippy::Value(session->host().collect_status())).dump(2) << '\n';
  if (report) {
    err << format_print_report(*report);
    if (!options.report_json_path.empty()) {
      try {
        write_print_report_json(*report, options.report_json_path);
      } catch (const std::runtime_error& e) {
        err << "feedbox: " << e.what() << "; give a file in a folder you can write to\n";
        return 2;
      }
    }
  }
  return 0;
}

}  // namespace feedbox
