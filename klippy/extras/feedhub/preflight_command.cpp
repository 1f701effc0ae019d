#include "klippy/extras/feedhub/preflight_command.h"

#include <filesystem>
#include <fstream>
#include <optional>

#include "klippy/extras/feedhub/box_commands.h"
#include "klippy/extras/feedhub/feedhub.h"
#include "klippy/extras/feedhub/preflight.h"
#include "klippy/extras/feedhub/print_plan.h"
#include "klippy/host/paths.h"

namespace feedhub {
namespace {

constexpr const char* kHelp =
    "Check a print file against the box: BOX_PREFLIGHT FILE=<file of the print folder> "
    "[TOLERANCE=<colour distance 0-442, default 80>] [ON_FAIL=warn|error, default warn]";
constexpr double kMaxColourDistance = 442.0;

// The host's print folder, as its virtual SD card names it ("~" is the user's home).
std::string print_folder(klippy::ConfigSection& config) {
  if (!config.has_section("virtual_sdcard")) return "";
  const std::string path = klippy::expand_user(config.getsection("virtual_sdcard").get("path", ""));
  return path.empty() ? "" : config.get_printer().resolve_path(path);
}

// The file as the host's SDCARD_PRINT_FILE finds it: relative to the print folder, never
// outside it.
std::filesystem::path resolve_print_file(const std::string& folder, const std::string& name) {
  if (folder.empty())
    throw klippy::CommandError(
        "BOX_PREFLIGHT needs the print folder: add a [virtual_sdcard] section with its path");
  // The host's status names the printing file by its full path (virtual_sdcard.file_path)
  // or relative to the folder (print_stats.filename): both are taken.
  std::string inside = name;
  const std::string folder_prefix = folder + (folder.back() == '/' ? "" : "/");
  if (inside.rfind(folder_prefix, 0) == 0) inside = inside.substr(folder_prefix.size());
  const std::filesystem::path relative = std::filesystem::path(inside).relative_path();
  for (const auto& part : relative)
    if (part == "..")
      throw klippy::CommandError("BOX_PREFLIGHT FILE='" + name +
                                 "' leaves the print folder; name a file inside " + folder);
  std::filesystem::path path = std::filesystem::path(folder) / relative;
  std::error_code ec;
  if (relative.empty() || !std::filesystem::is_regular_file(path, ec))
    throw klippy::CommandError("BOX_PREFLIGHT: no file '" + name + "' in the print folder " +
                               folder + "; give FILE= as SDCARD_PRINT_FILE takes it");
  return path;
}

// Also the status object of the last check, so that a front end can draw its table and offer
// the slot that matches without reading the console.
class PreflightCommand : public klippy::PrinterObject {
 public:
  PreflightCommand(klippy::ConfigSection& config, std::weak_ptr<FeedHub> hub)
      : hub_(std::move(hub)), folder_(print_folder(config)) {}

  std::optional<klippy::Value> get_status(double /*eventtime*/) override { return last_; }

  void run(klippy::GCodeCommand& gcmd) {
    const std::string name = gcmd.get("FILE");
    const double tolerance = gcmd.get_float("TOLERANCE", kDefaultColourTolerance,
                                            klippy::FloatLimits{0.0, kMaxColourDistance});
    const std::string on_fail = gcmd.get("ON_FAIL", "warn");
    if (on_fail != "warn" && on_fail != "error")
      throw gcmd.error("BOX_PREFLIGHT ON_FAIL must be warn or error, not '" + on_fail + "'");
    std::shared_ptr<FeedHub> hub = hub_.lock();
    if (!hub) return;
    const std::filesystem::path path = resolve_print_file(folder_, name);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw gcmd.error("BOX_PREFLIGHT: cannot read '" + path.string() + "'");
    klippy::Reactor& reactor = hub->reactor();
    // Large files take a while: let the host's timers run between chunks.
    const PrintPlan plan = read_print_plan(in, [&reactor] { reactor.pause(reactor.monotonic()); });
    if (in.bad()) throw gcmd.error("BOX_PREFLIGHT: reading '" + path.string() + "' failed");
    const PreflightReport report = check_print_plan(*hub, plan, tolerance);
    last_ = status_of(name, report.to_value());
    if (!plan.overlong_lines_note().empty())
      gcmd.respond_info("BOX_PREFLIGHT: " + plan.overlong_lines_note());
    gcmd.respond_info(report.table() + report.verdict_line());
    if (report.verdict() == ToolVerdict::Fail && on_fail == "error")
      throw gcmd.error(report.verdict_line() + " (BOX_PREFLIGHT ON_FAIL=error)");
  }

 private:
  static klippy::Value status_of(const std::string& file, const klippy::Value& report) {
    klippy::Value::Dict status{{"file", file}};
    for (const auto& [key, value] : report.as_dict()) status.emplace_back(key, value);
    return klippy::Value(std::move(status));
  }

  std::weak_ptr<FeedHub> hub_;
  std::string folder_;
  // No check yet: no file, no verdict.
  klippy::Value last_ = klippy::Value(klippy::Value::Dict{
      {"file", ""}, {"verdict", ""}, {"summary", ""}, {"tools", klippy::Value::List{}}});
};

}  // namespace

void register_preflight_command(klippy::ConfigSection& config, std::weak_ptr<FeedHub> hub) {
  const std::shared_ptr<FeedHub> owner = hub.lock();
  if (!owner) return;
  auto command = std::make_shared<PreflightCommand>(config, std::move(hub));
  config.get_printer().add_object(kPreflightObjectName, command);
  klippy::GCodeDispatch& gcode = config.get_printer().lookup_object<klippy::GCodeDispatch>("gcode");
  register_box_command(
      gcode, owner->black_box(), "BOX_PREFLIGHT",
      [command](klippy::GCodeCommand& gcmd) { command->run(gcmd); }, kHelp);
}

}  // namespace feedhub
