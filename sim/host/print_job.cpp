#include "sim/host/print_job.h"

#include "klippy/host/ini.h"
#include "klippy/host/paths.h"
#include "klippy/host/printer.h"

namespace sim {

std::vector<std::string> read_gcode_file(const std::string& path) {
  std::string text = klippy::read_text_file(path);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

SimPrintJob::SimPrintJob(klippy::ConfigSection& config)
    : printer_(config.get_printer()),
      reactor_(printer_.get_reactor()),
      gcode_(printer_.lookup_object<klippy::GCodeDispatch>("gcode")),
      print_stats_(printer_.load_object<SimPrintStats>(config, "print_stats")) {
  // The print folder, as the host's virtual SD card takes it ("~" is the user's home).
  folder_ = klippy::expand_user(config.get("path", ""));
  if (!folder_.empty()) folder_ = printer_.resolve_path(folder_);
  gcode_.register_command(
      "SDCARD_PRINT_FILE", [this](klippy::GCodeCommand& g) { cmd_SDCARD_PRINT_FILE(g); },
      "Run a G-code file as a print job");
  gcode_.register_command(
      "PAUSE", [this](klippy::GCodeCommand& g) { cmd_PAUSE(g); }, "Pauses the current print");
  gcode_.register_command(
      "RESUME", [this](klippy::GCodeCommand& g) { cmd_RESUME(g); }, "Resumes the print");
  gcode_.register_command(
      "CANCEL_PRINT", [this](klippy::GCodeCommand& g) { cmd_CANCEL_PRINT(g); },
      "Cancel the current print");
}

std::optional<klippy::Value> SimPrintJob::get_status(double /*eventtime*/) {
  double progress = lines_.empty() ? 0.0 : double(next_line_) / double(lines_.size());
  return klippy::Value(
      klippy::Value::Dict{{"file_path", name_}, {"progress", progress}, {"is_active", active_}});
}

void SimPrintJob::start(const std::string& name, std::vector<std::string> lines) {
  if (active_) throw klippy::CommandError("A print is already running; cancel it first");
  name_ = name;
  lines_ = std::move(lines);
  next_line_ = 0;
  active_ = true;
  paused_ = false;
  cancel_ = false;
  print_stats_.note_start(name_);
  reactor_.register_callback([this](double eventtime) { return run(eventtime); });
}

klippy::Value SimPrintJob::run(double /*eventtime*/) {
  std::string error;
  bool end_of_file = false;
  // A pause during the last line holds the print too: the host's job ends only once it has
  // resumed and read the end of the file.
  while (!cancel_) {
    if (paused_) {
      resumed_ = reactor_.completion();
      resumed_->wait();
      continue;
    }
    if (next_line_ >= lines_.size()) {
      end_of_file = true;
      gcode_.respond_raw("Done printing file");
      break;
    }
    const std::string& line = lines_[next_line_++];
    if (line_observer_) line_observer_(next_line_, line, LinePhase::Started);
    try {
      gcode_.run_script(line);
    } catch (const klippy::CommandError& e) {
      error = e.what();
      break;
    }
    if (line_observer_) line_observer_(next_line_, line, LinePhase::Finished);
  }
  active_ = false;
  if (!error.empty()) {
    print_stats_.note_error(error);
  } else if (!end_of_file) {
    print_stats_.note_cancel();
  } else {
    print_stats_.note_complete();
  }
  return {};
}

void SimPrintJob::cmd_SDCARD_PRINT_FILE(klippy::GCodeCommand& gcmd) {
  std::string path = gcmd.get("FILENAME");
  // As the host: the name is the file's place in the print folder, a leading '/' its root.
  if (!folder_.empty()) {
    if (path.rfind('/', 0) == 0) path.erase(0, 1);
    path = folder_ + "/" + path;
  }
  std::vector<std::string> lines;
  try {
    lines = read_gcode_file(path);
  } catch (const std::exception& e) {
    throw gcmd.error(std::string("Unable to open file: ") + e.what());
  }
  start(path, std::move(lines));
}

void SimPrintJob::cmd_PAUSE(klippy::GCodeCommand& gcmd) {
  if (paused_) {
    gcmd.respond_info("Print already paused");
    return;
  }
  paused_ = true;
  print_stats_.note_pause();
}

void SimPrintJob::cmd_RESUME(klippy::GCodeCommand& gcmd) {
  if (!paused_) {
    gcmd.respond_info("Print is not paused, resume aborted");
    return;
  }
  paused_ = false;
  print_stats_.note_resume();
  if (resumed_) resumed_->complete({});
}

void SimPrintJob::cmd_CANCEL_PRINT(klippy::GCodeCommand& /*gcmd*/) {
  cancel_ = true;
  if (paused_) {
    paused_ = false;
    if (resumed_) resumed_->complete({});
  }
  if (!active_) print_stats_.note_cancel();
}

}  // namespace sim
