// The embedded printer of feedbox with its filament world, for tests of what a user and a
// front end see: its console, the status objects and where each strand really is.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "apps/feedbox/session.h"
#include "klippy/host/value.h"
#include "sim/world/world_geometry.h"
#include "tests/support/test_host.h"

namespace box_session {

// The printer's filament world places its sensors where the world puts them by default:
// a parked strand stands behind the outlet, one in the extruder past the entry.
inline constexpr sim::WorldGeometry kGeometry{};

class BoxSession {
 public:
  // `variables`, when given, is the saved-variables file the printer starts with.
  explicit BoxSession(int boxes = 1, const std::string& variables = "") {
    if (!variables.empty())
      testing_support::write_file(dir_.path() + "/home/zur/printer_data/config/saved_variables.cfg",
                                  variables);
    feedbox::SessionOptions options;
    options.boxes = boxes;
    options.data_dir = dir_.path();
    options.output = [this](const std::string& text) {
      size_t start = 0;
      for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        output_.push_back(text.substr(start, end - start));
        start = end + 1;
      }
      if (start < text.size()) output_.push_back(text.substr(start));
    };
    session_ = std::make_unique<feedbox::Session>(std::move(options));
    // Past the start-up tag reads and self-inspection.
    session_->advance(100);
  }

  sim::SimHost& host() { return session_->host(); }
  double now() { return host().reactor().monotonic(); }
  // The console lines a command printed, one per line.
  std::vector<std::string> command(const std::string& line) {
    output_.clear();
    session_->run_command(line);
    return output_;
  }
  void advance(double seconds) { session_->advance(seconds); }
  klippy::Value status(const std::string& object) {
    return *host().printer().find_object(object)->get_status(now());
  }
  klippy::Value variable(const std::string& name) {
    const klippy::Value saved = status("save_variables");
    const klippy::Value* found = saved.find("variables")->find(name);
    return found ? *found : klippy::Value();
  }
  // The strand's leading end, mm along the filament path.
  double tip_mm(int slot) {
    const klippy::Value world = status("filament_world");
    return world.find("strands")->find("slot" + std::to_string(slot))->find("tip_mm")->as_float();
  }

 private:
  testing_support::TempDir dir_;
  std::vector<std::string> output_;
  std::unique_ptr<feedbox::Session> session_;
};

inline bool mentions(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

}  // namespace box_session
