#include "apps/feedbox/run_command.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "apps/feedbox/console_output.h"
#include "apps/feedbox/print_recorder.h"
#include "apps/feedbox/session.h"
#include "apps/feedbox/value_json.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/preflight.h"
#include "klippy/extras/feedhub/print_plan.h"
#include "klippy/host/components.h"
#include "klippy/host/errors.h"
#include "klippy/host/ini.h"
#include "sim/host/print_job.h"

namespace feedbox {
namespace {

// The box's pre-flight check of the print file, told before the print starts; none without
// a box controller.
std::optional<klippy::Value> preflight_check(sim::SimHost& host, const std::string& path,
                                             std::ostream& err) {
  auto* hub = host.printer().lookup_object_or_null<feedhub::FeedHub>(feedhub::FeedHub::kObjectName);
  std::ifstream in(path, std::ios::binary);
  if (!hub || !in) return std::nullopt;
  try {
    const feedhub::PrintPlan plan = feedhub::read_print_plan(in);
    const feedhub::PreflightReport report = feedhub::check_print_plan(*hub, plan);
    if (!plan.overlong_lines_note().empty())
      err << "feedbox: pre-flight check: " << plan.overlong_lines_note() << '\n';
    err << report.table() << report.verdict_line() << '\n';
    return report.to_value();
  } catch (const klippy::CommandError& e) {
    err << "feedbox: pre-flight check failed: " << e.what() << '\n';
    return std::nullopt;
  }
}

// A print job from its start until the end of the run: through pauses, retries and
// resumes, until it ends or the host restarts.
class PrintRun {
 public:
  PrintRun(sim::SimHost& host, const std::string& path, std::ostream& err, ConsoleOutput& console)
      : host_(host),
        job_(host.printer().lookup_object<sim::SimPrintJob>("virtual_sdcard")),
        err_(err),
        console_(console) {
    preflight_ = preflight_check(host, path, err);
    auto lines = sim::read_gcode_file(path);
    recorder_ = std::make_unique<PrintRecorder>(host, path);
    job_.start(path, std::move(lines));
    started_s_ = host.reactor().monotonic();
  }
  PrintRun(const PrintRun&) = delete;
  PrintRun& operator=(const PrintRun&) = delete;

  void note_output(const std::string& text) {
    if (recorder_) recorder_->note_output(text);
  }
  // Lets the print run while it prints: a pause hands over to the next command (a retry,
  // for example), which may resume it.
  void run_while_printing() {
    if (!recorder_ || !job_.is_active() || job_.is_paused()) return;
    ProgressBar bar(err_, true);
    console_.set_progress_bar(&bar);
    host_.run_until(
        [&] {
          bar.update(job_.position(), job_.size(), host_.reactor().monotonic() - started_s_);
          return !job_.is_active() || job_.is_paused();
        },
        1e9);
    console_.set_progress_bar(nullptr);
    if (job_.is_paused()) ++pauses_;
  }
  // Takes the report once the print has ended, so its time printed ends there too.
  void finish_if_ended() {
    if (!recorder_ || job_.is_active()) return;
    finish();
    // The box looks at the print state twice a second: its account of the print follows.
    host_.advance(1.0);
  }
  // The report of the print as it stands; the host must still be the one it ran on.
  PrintReport finish() {
    if (recorder_) {
      report_ = recorder_->finish();
      report_.preflight = std::move(preflight_);
      report_.pauses = pauses_;
      recorder_.reset();
    }
    return report_;
  }

 private:
  sim::SimHost& host_;
  sim::SimPrintJob& job_;
  std::ostream& err_;
  ConsoleOutput& console_;
  std::optional<klippy::Value> preflight_;
  std::unique_ptr<PrintRecorder> recorder_;
  PrintReport report_;
  double started_s_ = 0.;
  int pauses_ = 0;
};

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
  std::error_code ec;
  if (vars->all_variables().empty() || !std::filesystem::exists(vars->filename(), ec)) {
    out << "(nothing saved yet in " << vars->filename() << ")\n";
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
  if (options.serve && !options.realtime) {
    err << "feedbox: --serve needs --realtime: in virtual time the run ends before a browser "
           "could follow it\n";
    return 2;
  }
  std::unique_ptr<PanelServer> panel;
  try {
    panel = start_panel(options.serve, err);
  } catch (const std::runtime_error& e) {
    err << "feedbox: " << e.what() << '\n';
    return 2;
  }
  ConsoleOutput console(out, options.verbose);
  std::unique_ptr<PrintRun> print;
  std::optional<PrintReport> report;
  // A restart ends the print's host, so its report is taken while that host still runs.
  auto finish_print = [&] {
    if (print) report = print->finish();
  };
  SessionOptions session_options;
  session_options.config_path = options.config_path;
  session_options.boxes = options.boxes;
  session_options.data_dir = options.data_dir;
  session_options.log_path = options.log_path;
  session_options.clock = options.realtime ? sim::ClockKind::Real : sim::ClockKind::Virtual;
  session_options.output = [&console, &print, &panel](const std::string& text) {
    console.line(text);
    if (print) print->note_output(text);
    if (panel) panel->gcode_response(text);
  };
  session_options.after_start = [&panel](sim::SimHost& host) {
    if (panel) panel->attach(host);
  };
  session_options.before_restart = [&] {
    if (panel) panel->detach();
    console.flush();
    finish_print();
    print.reset();
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
  const PanelDetachGuard detach_panel(panel.get());
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
        finish_print();
        print = std::make_unique<PrintRun>(session->host(), item.text, err, console);
        break;
    }
    console.flush();
    // A print started or resumed runs on until it ends or pauses again.
    if (print) {
      print->run_while_printing();
      print->finish_if_ended();
    }
    session->restart_if_requested();
  }
  session->advance(options.after_s);
  console.flush();
  finish_print();
  print.reset();
  if (options.dump_vars) dump_variables(session->host(), out);
  if (options.status)
    out << to_json(klippy::Value(session->host().collect_status())).dump(2) << '\n';
  if (!report) return 0;
  err << format_print_report(*report);
  if (!options.report_json_path.empty()) {
    try {
      write_print_report_json(*report, options.report_json_path);
    } catch (const std::runtime_error& e) {
      err << "feedbox: " << e.what() << "; give a file in a folder you can write to\n";
      return 2;
    }
  }
  return report->outcome == PrintOutcome::Complete ? 0 : 3;
}

}  // namespace feedbox
