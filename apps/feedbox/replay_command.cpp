#include "apps/feedbox/replay_command.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string_view>

#include "apps/feedbox/box_templates.h"
#include "apps/feedbox/record_file.h"
#include "apps/feedbox/replay_compare.h"
#include "apps/feedbox/replay_extrusion.h"
#include "apps/feedbox/replay_start.h"
#include "apps/feedbox/session.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/host/errors.h"
#include "klippy/host/variables_file.h"

namespace feedbox {
namespace {

// Longer pauses between recorded commands are cut to this: nothing the box does by itself
// takes longer, apart from drying, which the replay does not compare.
constexpr double kMaxPauseS = 600.0;
// Simulated time after the last command, for what it left running.
constexpr double kAfterLastS = 1.0;
// Box commands whose outcome hangs on a file of the print folder, which the record does not
// hold. They only read it, so the replay leaves them out and says so.
constexpr std::array<std::string_view, 1> kReadPrintFiles = {"BOX_PREFLIGHT"};

void write_text(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path);
  out << text;
  if (!out) throw klippy::ConfigError("Unable to write '" + path.string() + "'");
}

// The saved variables and the spools of the history's start, where the simulated printer
// reads them at its start.
void lay_out_start(const std::string& data_dir, const ReplayStart& start) {
  const std::filesystem::path config_dir =
      std::filesystem::path(data_dir) / std::string(kPrinterConfigDir).substr(1);
  write_text(config_dir / "saved_variables.cfg", klippy::format_variables(start.variables));
  for (int box = 1; box <= start.boxes; ++box)
    write_text(config_dir / per_box_world_name(box), replay_world_file(box, start));
}

// The command's name as the host dispatches it: its first word, in upper case.
std::string command_name(const std::string& line) {
  const std::size_t begin = std::min(line.find_first_not_of(" \t"), line.size());
  std::string name = line.substr(begin, line.find_first_of(" \t", begin) - begin);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

feedhub::FeedHub* hub_of(Session& session) {
  return session.host().printer().lookup_object_or_null<feedhub::FeedHub>(
      feedhub::FeedHub::kObjectName);
}

std::uint64_t last_seq(feedhub::FeedHub& hub) {
  const feedhub::RecordSnapshot snapshot = hub.black_box().ring().snapshot();
  return snapshot.entries.empty() ? 0 : snapshot.entries.back().seq;
}

bool reads_print_file(const std::string& name) {
  return std::find(kReadPrintFiles.begin(), kReadPrintFiles.end(), name) != kReadPrintFiles.end();
}

// The extruder position the first command's extrusion counts from: the host's, at its start.
std::optional<double> ready_extruder(const RecordDump& dump, const ReplayStart& start) {
  if (!start.from_host_start) return std::nullopt;
  for (const RecordEvent& e : dump.events)
    if (e.kind == RecordEvent::Kind::Ready) return e.extruder_mm;
  return std::nullopt;
}

std::string mm_text(double mm) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", mm);
  return text;
}

// Puts back what the print extruded between the previous command and `recorded`, within
// the recorded pause, then lets the rest of the pause pass. Returns what the replay could not
// put back.
std::vector<std::string> pass_pause(Session& session, const CommandSegment& recorded,
                                    std::optional<double> extruder_mm, double pause_s) {
  std::vector<std::string> not_modelled;
  const double started = session.host().reactor().monotonic();
  if (extruder_mm && recorded.extruder_start_mm) {
    const double extruded_mm = *recorded.extruder_start_mm - *extruder_mm;
    const double moved_mm = replay_extrusion(session, extruded_mm, pause_s);
    if (std::abs(extruded_mm - moved_mm) > 1.0)
      not_modelled.push_back("the print moved the extruder " + mm_text(extruded_mm) +
                             " mm before this command; the replay moves it " + mm_text(moved_mm) +
                             " mm, which leaves every strand the extruder " +
                             "grips as far along, but not the filament left on its spool");
  }
  const double elapsed = session.host().reactor().monotonic() - started;
  session.advance(std::max(0.0, pause_s - elapsed));
  return not_modelled;
}

void describe_start(const RecordDump& dump, const ReplayStart& start, std::ostream& out) {
  out << "History: " << dump.events.size() << " events, "
      << (start.from_host_start ? "from the host's start"
                                : std::to_string(dump.dropped) + " older events dropped")
      << "\n";
  for (const auto& [slot, s] : start.slots) {
    out << "Start: " << feedhub::slot_name(slot) << " ";
    if (!s.spool) {
      out << "empty\n";
      continue;
    }
    char tip[32];
    std::snprintf(tip, sizeof tip, "%.1f", s.tip_mm);
    out << "strand tip at " << tip << " mm, " << s.where << "\n";
  }
  for (const std::string& note : start.notes) out << "Note: " << note << "\n";
}

}  // namespace

int run_replay(const ReplayOptions& options, std::ostream& out, std::ostream& err) {
  RecordDump dump;
  try {
    std::ifstream in(options.dump_path);
    if (!in) {
      err << "feedbox: cannot read the box record '" << options.dump_path << "'\n";
      return 2;
    }
    dump = read_record_dump(in, options.dump_path);
  } catch (const std::runtime_error& e) {
    err << "feedbox: " << e.what() << '\n';
    return 2;
  }
  const ReplayStart start = replay_start(dump);
  if (start.boxes == 0) {
    err << "feedbox: the record names no slot feeder, so there is no box to replay\n";
    return 2;
  }
  const std::vector<CommandSegment> commands = recorded_commands(dump);

  try {
    // The printer goes before its folder.
    const DataDir data_dir(options.data_dir);
    std::unique_ptr<Session> session;
    lay_out_start(data_dir.path(), start);
    SessionOptions session_options;
    session_options.boxes = start.boxes;
    session_options.embedded_overrides = replay_printer_overrides();
    session_options.data_dir = data_dir.path();
    session_options.log_path = options.log_path;
    if (options.verbose)
      session_options.output = [&out](const std::string& text) { out << "  | " << text << '\n'; };
    session = std::make_unique<Session>(std::move(session_options));
    // A box records only its own commands: anything else was put into the record by other
    // hands, and the replay must not print, restart or save at its word.
    if (feedhub::FeedHub* hub = hub_of(*session)) {
      for (const CommandSegment& recorded : commands) {
        const std::string name = command_name(recorded.line);
        if (hub->black_box().is_box_command(name)) continue;
        err << "feedbox: " << options.dump_path << " holds the command " << name
            << ", which is no box command; a box records only its own, so give a "
               "box_record_NNNNNN.jsonl file as the box wrote it\n";
        return 2;
      }
    }
    out << "Replaying " << options.dump_path << " (" << dump.reason << "): " << commands.size()
        << " box command" << (commands.size() == 1 ? "" : "s") << "\n";
    describe_start(dump, start, out);
    const bool extrusion_told = std::any_of(commands.begin(), commands.end(), [](const auto& c) {
      return c.extruder_start_mm.has_value();
    });
    if (!commands.empty() && !extrusion_told)
      out << "Note: the record does not tell how far the print moved the extruder between box "
             "commands (an older box wrote it); a strand the print moved stands elsewhere in "
             "the model, which is not modelled\n";

    int differing = 0, differences = 0, left_out = 0;
    std::optional<double> extruder_mm = ready_extruder(dump, start);
    for (std::size_t i = 0; i < commands.size(); ++i) {
      const CommandSegment& recorded = commands[i];
      const double pause_s =
          i == 0 ? start.settle_s : recorded.start_time - commands[i - 1].end_time;
      const std::vector<std::string> not_modelled =
          pass_pause(*session, recorded, extruder_mm, std::clamp(pause_s, 0.0, kMaxPauseS));
      extruder_mm = recorded.extruder_end_mm;
      if (reads_print_file(command_name(recorded.line))) {
        out << "[" << i + 1 << "] " << recorded.line
            << ": not modelled: it reads a print file, which the record does not hold; not run "
               "again\n";
        ++left_out;
        continue;
      }
      feedhub::FeedHub* hub = hub_of(*session);
      if (!hub) {
        err << "feedbox: the simulated printer has no box controller\n";
        return 2;
      }
      const std::uint64_t before = last_seq(*hub);
      session->run_command(recorded.line);
      hub = hub_of(*session);
      const CommandSegment model =
          hub ? model_command(events_of(hub->black_box().ring().snapshot()), before)
              : CommandSegment{};
      const std::vector<std::string> lines = compare_command(recorded, model);
      out << "[" << i + 1 << "] " << recorded.line << ": "
          << (lines.empty() ? "as the model expects" : "differs from the model") << "\n";
      for (const std::string& line : lines) out << "    " << line << "\n";
      for (const std::string& line : not_modelled) out << "    not modelled: " << line << "\n";
      if (!lines.empty()) {
        if (differing == 0 && i + 1 < commands.size())
          out << "    (the box now stands elsewhere than the model's: later commands may "
                 "differ because of this one)\n";
        ++differing;
        differences += static_cast<int>(lines.size());
      }
    }
    session->advance(kAfterLastS);
    const std::string left_out_text = left_out == 0
                                          ? ""
                                          : " (" + std::to_string(left_out) + " command" +
                                                (left_out == 1 ? "" : "s") + " not modelled)";
    if (differences == 0) {
      out << "No differences: the record agrees with the model" << left_out_text << "\n";
      return 0;
    }
    out << differences << " difference" << (differences == 1 ? "" : "s") << " in " << differing
        << " of " << commands.size() << " commands" << left_out_text << "\n";
    return 1;
  } catch (const klippy::ConfigError& e) {
    err << "feedbox: the replay printer cannot start: " << e.what() << '\n';
    return 2;
  }
}

}  // namespace feedbox
