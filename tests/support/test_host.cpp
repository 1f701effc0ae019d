#include "tests/support/test_host.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "feedbox-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

TestHost::TestHost(sim::ClockKind clock)
    : clock_(clock), host_(std::make_unique<sim::SimHost>(options())) {}

sim::HostOptions TestHost::options() {
  sim::HostOptions options;
  options.clock = clock_;
  options.data_dir = dir_.path();
  options.python = python_;
  options.output = [this](const std::string& text) { output_.push_back(text); };
  return options;
}

void TestHost::start(const std::string& config_text) {
  host_->start(sim::ConfigText::from_text(config_text, "test.cfg", dir_.path()));
}

void TestHost::restart(const std::string& config_text,
                       const std::function<void(sim::SimHost&)>& prepare) {
  sim::HostOptions next = options();
  next.carried = std::make_shared<const sim::CarriedHardware>(host_->carry_hardware());
  // The old host lets go of its files and timers before the new one starts.
  host_.reset();
  host_ = std::make_unique<sim::SimHost>(std::move(next));
  if (prepare) prepare(*host_);
  start(config_text);
}

std::vector<std::string> TestHost::command(const std::string& line) {
  size_t before = output_.size();
  host_->run_command(line);
  return {output_.begin() + static_cast<long>(before), output_.end()};
}

std::string TestHost::path(const std::string& product_path) const {
  return host_->printer().resolve_path(product_path);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << content;
}

std::vector<std::string> without_advice(std::vector<std::string> lines) {
  std::erase_if(lines, [](const std::string& line) {
    return line.starts_with("// What to do (") || line.starts_with("// action:prompt_") ||
           line.starts_with("// Sensors now: ") || line.starts_with("!! Print paused by the box.");
  });
  return lines;
}

}  // namespace testing_support
