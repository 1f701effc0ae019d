#include "apps/feedbox/session.h"

#include <stdlib.h>

#include <fstream>
#include <stdexcept>

#include "apps/feedbox/box_config.h"
#include "apps/feedbox/embedded_files.h"
#include "apps/feedbox/product_modules.h"
#include "klippy/host/errors.h"

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

const std::string& embedded_file(const std::string& name) {
  for (const auto& file : embedded_files()) {
    if (file.name == name) return file.content;
  }
  throw std::out_of_range("no embedded file '" + name + "'");
}

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
    throw klippy::ConfigError("Unable to create a temporary data directory");
  }
  path_ = pattern;
  temporary_ = true;
}

DataDir::~DataDir() {
  if (!temporary_) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Session::Session(SessionOptions options) : data_dir_(options.data_dir) {
  sim::HostOptions host_options;
  host_options.clock = options.clock;
  host_options.data_dir = data_dir_.path();
  host_options.log_path = options.log_path;
  host_options.output = std::move(options.output);
  host_ = std::make_unique<sim::SimHost>(std::move(host_options));
  for (auto& module : product_modules()) host_->add_module(std::move(module));

  sim::ConfigText config;
  if (options.config_path.empty()) {
    seed_file(host_->printer(), kFilamentTablePath, embedded_file("officiall_filas_list.cfg"));
    std::string text = embedded_file("printer.cfg") + "\n" + box_sections(options.boxes) +
                       "[filament_world]\n" + box_world_options(options.boxes);
    config = sim::ConfigText::from_text(text, "<embedded printer.cfg>", data_dir_.path());
  } else {
    config = sim::ConfigText::from_file(options.config_path);
  }
  host_->start(config);
}

}  // namespace feedbox
