// feedbox: a simulated printer with filament boxes, driven by G-code.
#include <CLI/CLI.hpp>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "apps/feedbox/box_files_command.h"
#include "apps/feedbox/console_command.h"
#include "apps/feedbox/replay_command.h"
#include "apps/feedbox/run_command.h"
#include "klippy/extras/feedhub/error_codes.h"

namespace {

// Simulated seconds: finite, not negative, and at most two days. Far longer spans do not
// finish in any useful time, since the box's 10 ms timers run all through them.
constexpr double kMaxSimulatedS = 2 * 24 * 3600.0;

const CLI::Validator kSimulatedSeconds(
    [](const std::string& text) -> std::string {
      double seconds = 0.0;
      try {
        std::size_t used = 0;
        seconds = std::stod(text, &used);
        if (used != text.size()) return "'" + text + "' is not a number of seconds";
      } catch (const std::exception&) {
        return "'" + text + "' is not a number of seconds";
      }
      if (!(seconds >= 0.0 && seconds <= kMaxSimulatedS))
        return "'" + text + "' must be a number of seconds from 0 to 172800 (two days)";
      return {};
    },
    "SECONDS 0..172800");

// --serve [PORT] and --serve-address ADDRESS of a subcommand.
class ServeFlags {
 public:
  explicit ServeFlags(CLI::App& command) {
    serve_ = command.add_option("--serve", port_,
                                "Serve the box panel and a front end's websocket API on PORT "
                                "(default 7125; 0 picks a free one)");
    serve_->expected(0, 1)->check(CLI::Range(0, 65535));
    command
        .add_option("--serve-address", address_,
                    "Address to serve the panel at (default 127.0.0.1: this machine only)")
        ->needs(serve_);
  }
  std::optional<feedbox::ServeOptions> options() const {
    if (serve_->count() == 0) return std::nullopt;
    feedbox::ServeOptions options;
    options.address = address_;
    // A bare --serve keeps the default port (CLI11 gives it a value of its own).
    const auto& given = serve_->results();
    if (!given.empty() && !given.front().empty() && !port_.empty())
      options.port = static_cast<unsigned short>(port_.front());
    return options;
  }

 private:
  CLI::Option* serve_ = nullptr;
  std::vector<int> port_;
  std::string address_ = "127.0.0.1";
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"feedbox: a simulated 3D printer with multi-slot filament boxes"};
  app.require_subcommand(1);

  feedbox::RunOptions run;
  std::vector<std::string> commands, files;
  std::string print_file;
  CLI::App* run_cmd = app.add_subcommand(
      "run", "Start the printer, run commands, files and a print in the order given, then exit");
  run_cmd->add_option("--config", run.config_path, "Printer configuration (default: embedded)")
      ->check(CLI::ExistingFile);
  run_cmd->add_option("--boxes", run.boxes, "Filament boxes of the embedded printer (default 1)")
      ->check(CLI::Range(0, 4));
  run_cmd->add_option("--data-dir", run.data_dir,
                      "Folder holding the product's files (default: a temporary folder)");
  auto* print_opt = run_cmd->add_option("--print", print_file, "Run a G-code file as a print job")
                        ->check(CLI::ExistingFile);
  auto* command_opt = run_cmd->add_option("-c,--command", commands, "A console G-code line");
  auto* file_opt = run_cmd->add_option("files", files, "Files of console G-code lines")
                       ->check(CLI::ExistingFile);
  run_cmd->add_option("--settle", run.settle_s, "Seconds simulated after start-up (default 10)")
      ->check(kSimulatedSeconds);
  run_cmd->add_option("--after", run.after_s, "Seconds simulated after the last command")
      ->check(kSimulatedSeconds);
  run_cmd->add_flag("--dump-vars", run.dump_vars, "Print the saved-variables file at the end");
  run_cmd->add_flag("--verbose", run.verbose,
                    "Show every temperature report while waiting for a heater (default: one line)");
  run_cmd->add_flag("--status", run.status, "Print every object's status as JSON at the end");
  run_cmd->add_option("--log", run.log_path, "Write the host log to this file");
  run_cmd->add_flag("--realtime", run.realtime, "Run on the real clock instead of virtual time");
  run_cmd->add_option("--report-json", run.report_json_path,
                      "Also write the report of the --print job to this file as JSON");
  ServeFlags run_serve(*run_cmd);

  feedbox::ConsoleOptions console;
  CLI::App* console_cmd =
      app.add_subcommand("console", "Interactive printer console on the real clock");
  console_cmd->add_option("--config", console.config_path, "Printer configuration")
      ->check(CLI::ExistingFile);
  console_cmd->add_option("--data-dir", console.data_dir, "Folder holding the product's files");
  console_cmd->add_option("--boxes", console.boxes, "Filament boxes of the embedded printer")
      ->check(CLI::Range(0, 4));
  console_cmd->add_option("--log", console.log_path, "Write the host log to this file");
  console_cmd->add_flag("--virtual", console.virtual_clock, "Use virtual time");
  ServeFlags console_serve(*console_cmd);

  feedbox::BoxFilesOptions box_files;
  CLI::App* box_files_cmd = app.add_subcommand(
      "box-files",
      "Write the files the box modules read (filament table, box templates, per-box "
      "sections, flashing script) into FOLDER, laid out as a Klipper printer's base folder");
  box_files_cmd->add_option("folder", box_files.folder, "Target folder")->required();
  box_files_cmd->add_option("--klipper", box_files.klipper,
                            "Klipper checkout whose flashing tool the script calls");

  feedbox::ReplayOptions replay;
  CLI::App* replay_cmd = app.add_subcommand(
      "replay",
      "Start the printer where a box record (box_record_NNNNNN.jsonl) begins, run its box "
      "commands again and report where the recorded sensor changes differ from the model's; "
      "exit status 1 when they do");
  replay_cmd->add_option("dump", replay.dump_path, "The box record")
      ->required()
      ->check(CLI::ExistingFile);
  replay_cmd->add_option("--data-dir", replay.data_dir,
                         "Folder for the replayed printer's files (default: a temporary folder)");
  replay_cmd->add_option("--log", replay.log_path, "Write the host log to this file");
  replay_cmd->add_flag("--verbose", replay.verbose, "Also print the replayed printer's responses");

  bool errors_markdown = false;
  CLI::App* errors_cmd = app.add_subcommand(
      "errors",
      "List the box's error codes: what each means, what to do, what TRY_MOVE_AGAIN does");
  errors_cmd->add_flag("--markdown", errors_markdown, "As the README's Markdown table");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  if (*errors_cmd) {
    if (errors_markdown) {
      std::cout << feedhub::catalogue_markdown();
      return 0;
    }
    for (const feedhub::ErrorReport& report : feedhub::reports::kAll)
      std::cout << feedhub::catalogue_entry_text(report, std::nullopt) << "\n\n";
    return 0;
  }
  console.serve = console_serve.options();
  run.serve = run_serve.options();
  if (*console_cmd) return feedbox::run_console(console);
  if (*box_files_cmd) return feedbox::write_box_files(box_files, std::cerr);
  if (*replay_cmd) return feedbox::run_replay(replay, std::cout, std::cerr);

  // Keep the order in which -c lines, files and --print appeared on the command line.
  size_t next_command = 0, next_file = 0;
  for (CLI::Option* option : run_cmd->parse_order()) {
    if (option == command_opt) {
      run.items.push_back({feedbox::RunItem::Kind::Command, commands.at(next_command++)});
    } else if (option == file_opt) {
      run.items.push_back({feedbox::RunItem::Kind::File, files.at(next_file++)});
    } else if (option == print_opt) {
      run.items.push_back({feedbox::RunItem::Kind::Print, print_file});
    }
  }
  return feedbox::run_simulation(run, std::cout, std::cerr);
}
