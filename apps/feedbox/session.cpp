#include "apps/feedbox/session.h"

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "apps/feedbox/box_config.h"
#include "apps/feedbox/box_install.h"
#include "apps/feedbox/box_templates.h"
#include "apps/feedbox/embedded_files.h"
#include "apps/feedbox/product_modules.h"
#include "klippy/host/errors.h"
#include "klippy/host/ini.h"

namespace feedbox {
namespace {

constexpr const char* kFilamentTablePath = "/home/zur/printer_data/config/officiall_filas_list.cfg";

// The embedded printer needs its filament table in place; a user's own file is kept.
void seed_file(const sim::SimPrinter& printer, const std::string& product_path,
               const std::string& content) {
  std::filesystem::path target = printer.resolve_path(product_path);
  std::error_code ec;
  if (std::filesystem::exists(target, ec)) return;
  std::filesystem::create_directories(target.parent_path(), ec);
  std::ofstream out(target);
  out << content;
  if (!out) throw klippy::ConfigError("Unable to write '" + target.string() + "'");
}

}  // namespace

DataDir::DataDir(const std::string& path) {
  if (!path.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (!std::filesystem::is_directory(path, ec)) {
      throw klippy::ConfigError("Data directory '" + path + "' cannot be created");
    }
    path_ = std::filesystem::absolute(path).string();
    return;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "feedbox-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    const int err = errno;
    throw klippy::ConfigError("Unable to create a temporary data directory '" + pattern +
                              "': " + std::generic_category().message(err) +
                              "; set TMPDIR to a writable folder or give --data-dir");
  }
  path_ = pattern;
  temporary_ = true;
}

DataDir::~DataDir() {
  if (!temporary_) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Session::Session(SessionOptions options)
    : options_(std::move(options)), data_dir_(options_.data_dir) {
  start_host(nullptr);
}

void Session::start_host(std::shared_ptr<const sim::CarriedHardware> carried) {
  sim::HostOptions host_options;
  host_options.clock = options_.clock;
  host_options.data_dir = data_dir_.path();
  host_options.log_path = options_.log_path;
  host_options.output = options_.output;
  const bool cold_start = carried == nullptr;
  host_options.carried = std::move(carried);
  host_options.python = python_;
  host_ = std::make_unique<sim::SimHost>(host_options);
  for (auto& module : product_modules()) host_->add_module(std::move(module));

  try {
    start_printer(cold_start);
  } catch (const klippy::ConfigError& e) {
    if (cold_start) throw;
    // As the real host after a restart into a broken configuration: it keeps running
    // without a printer and says what is wrong; RESTART tries again.
    if (options_.output)
      options_.output("!! Configuration error after the restart: " + std::string(e.what()) +
                      "; correct the configuration, then send RESTART");
    host_ = std::make_unique<sim::SimHost>(std::move(host_options));
    host_->start(sim::ConfigText::from_text("", "<no configuration>", data_dir_.path()));
  }
  if (options_.after_start) options_.after_start(*host_);
}

void Session::start_printer(bool cold_start) {
  sim::ConfigText config;
  if (options_.config_path.empty()) {
    if (cold_start) {
      seed_file(host_->printer(), kFilamentTablePath, embedded_file("officiall_filas_list.cfg"));
      install_box_files(host_->printer(), options_.boxes);
    }
    // The boxes come from the live box configuration, which box detection rewrites; the
    // filament world follows the boxes it includes.
    std::string text =
        embedded_printer_config() + "\n[include box.cfg]\n\n" + embedded_file("sim_world.cfg");
    std::string live_boxes;
    try {
      live_boxes = klippy::read_text_file(host_->printer().resolve_path(kLiveBoxCfg));
    } catch (const std::exception&) {
      // A missing live file fails below, on the include, with the host's own message.
    }
    for (int box : included_boxes(live_boxes))
      text += "\n[include " + per_box_world_name(box) + "]\n";
    text += options_.embedded_overrides;
    config = sim::ConfigText::from_text(text, "<embedded printer.cfg>",
                                        host_->printer().resolve_path(kPrinterConfigDir));
  } else {
    config = sim::ConfigText::from_file(options_.config_path);
  }
  host_->start(config);
  // Without the controller every box command answers "Unknown command"; an empty
  // configuration or an emptied box file must not leave the user guessing why.
  if (options_.output && !host_->printer().lookup_object_or_null<klippy::PrinterObject>("feedhub"))
    options_.output(
        "// No filament box is configured: the printer configuration has no [feedhub] "
        "section (is the box file empty?), so the box commands are unknown");
}

void Session::run_command(const std::string& line) {
  // A line that the host did not take before it restarted waits for the next host, as lines
  // sent to a real host's G-code port while it restarts are read by the next one. A host
  // that restarts before every line would keep it waiting for ever: then it is given up.
  constexpr int kMaxRestartsBeforeTheLine = 10;
  for (int restarts = 0;; ++restarts) {
    const sim::SimHost::LineOutcome outcome = host_->run_command(line);
    const std::string exit_reason = host_->exit_requested() ? host_->exit_result() : "";
    const bool restarted = restart_if_requested();
    if (outcome == sim::SimHost::LineOutcome::finished) return;
    if (!restarted) {
      say("!! '" + line +
          "' has not finished after a simulated day; it goes on in the "
          "background");
      return;
    }
    if (outcome == sim::SimHost::LineOutcome::cut_off) {
      say("!! '" + line + "' did not finish: the host restarted (" + exit_reason +
          ") while it ran; see what it did (BOX_STATUS) and send it again if needed");
      return;
    }
    if (restarts + 1 >= kMaxRestartsBeforeTheLine) {
      say("!! '" + line + "' was not run: the host restarted " +
          std::to_string(kMaxRestartsBeforeTheLine) +
          " times before it could take it; correct what makes it restart, then send it again");
      return;
    }
  }
}

void Session::say(const std::string& text) {
  if (options_.output) options_.output(text);
}

void Session::advance(double seconds) {
  // A host that asks to restart as soon as it starts would otherwise never let time pass.
  constexpr int kMaxRestartsWithoutProgress = 10;
  int restarts_without_progress = 0;
  while (seconds > 0) {
    const double started = host_->reactor().monotonic();
    host_->advance(seconds);
    const double elapsed = host_->reactor().monotonic() - started;
    seconds -= elapsed;
    if (!restart_if_requested()) return;
    restarts_without_progress = elapsed > 0 ? 0 : restarts_without_progress + 1;
    if (restarts_without_progress >= kMaxRestartsWithoutProgress) return;
  }
}

bool Session::restart_if_requested() {
  if (!host_->exit_requested()) return false;
  if (options_.before_restart) options_.before_restart();
  auto carried = std::make_shared<const sim::CarriedHardware>(host_->carry_hardware());
  // The old host lets go of its files and timers before the new one starts.
  host_.reset();
  ++restarts_;
  start_host(std::move(carried));
  return true;
}

}  // namespace feedbox
