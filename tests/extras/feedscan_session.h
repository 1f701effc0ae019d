// A feedbox session with box detection running, for the detection tests: its data folder,
// console output, log and the files that detection writes.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "apps/feedbox/box_templates.h"
#include "apps/feedbox/session.h"
#include "sim/host/usb_boxes.h"
#include "tests/support/test_host.h"

namespace testing_support {

class ScanSession {
 public:
  explicit ScanSession(int boxes, const std::function<void(const std::string&)>& prepare = {}) {
    if (prepare) prepare(dir.path());
    feedbox::SessionOptions options;
    options.boxes = boxes;
    options.data_dir = dir.path();
    options.log_path = dir.path() + "/host.log";
    options.output = [this](const std::string& line) { output.push_back(line); };
    session = std::make_unique<feedbox::Session>(std::move(options));
  }
  // After a start the self-inspection (from 3 s on) moves the slots under the G-code lock;
  // the dwell waits for it, then detection polls.
  void poll_for(double seconds) {
    session->advance(3.5);
    session->run_command("G4 P10");
    session->advance(seconds);
  }
  void command(const std::string& line) { session->run_command(line); }
  std::string path(const std::string& product_path) {
    return session->host().printer().resolve_path(product_path);
  }
  std::string file(const std::string& product_path) { return read_file(path(product_path)); }
  std::string live() { return file(feedbox::kLiveBoxCfg); }
  std::string log() { return read_file(dir.path() + "/host.log"); }
  std::string variables() { return file("/home/zur/printer_data/config/saved_variables.cfg"); }
  bool has_object(const std::string& name) {
    return session->host().printer().find_object(name) != nullptr;
  }
  // Console lines that hold `text`.
  int output_count(const std::string& text) const {
    int count = 0;
    for (const auto& line : output) count += line.find(text) != std::string::npos;
    return count;
  }
  int log_count(const std::string& text) {
    const std::string all = log();
    int count = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
    return count;
  }

  TempDir dir;
  std::vector<std::string> output;
  std::unique_ptr<feedbox::Session> session;
};

inline std::string usb_link(int box, const std::string& version = "1.0.0") {
  return sim::SimUsbBoxes::box_link(box, version);
}

}  // namespace testing_support
