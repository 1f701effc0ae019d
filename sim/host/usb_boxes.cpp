#include "sim/host/usb_boxes.h"

#include <algorithm>
#include <regex>
#include <sstream>

#include "klippy/host/printer.h"

namespace sim {
namespace {

const std::regex& version_pattern() {
  static const std::regex pattern(R"(^\d{1,6}\.\d{1,6}\.\d{1,6}$)");
  return pattern;
}

std::string version_in_link(const std::string& link) {
  static const std::regex pattern(R"(V\d_(\d+\.\d+\.\d+))");
  std::smatch match;
  return std::regex_search(link, match, pattern) ? match[1].str() : SimUsbBoxes::kNoVersion;
}

// Shell words of a simple command line, with single quotes removed.
std::vector<std::string> shell_words(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (char c : command) {
    if (c == '\'') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

}  // namespace

SimUsbBoxes::SimUsbBoxes(klippy::ConfigSection& root) {
  static const std::regex box_section(R"(^mcu mcu_box(\d)$)");
  std::vector<UsbBox> configured;
  for (klippy::ConfigSection* section : root.get_prefix_sections("mcu ")) {
    const auto serial = section->get_optional("serial");
    if (!serial || serial->find("/dev/serial/by-id/") == std::string::npos) continue;
    std::smatch match;
    const std::string& name = section->get_name();
    if (std::regex_match(name, match, box_section)) {
      const int box = std::stoi(match[1].str());
      configured.push_back({box, *serial, version_in_link(*serial), false, box, 0});
    } else {
      fixed_links_.push_back(*serial);
    }
  }
  std::sort(configured.begin(), configured.end(),
            [](const UsbBox& a, const UsbBox& b) { return a.box < b.box; });
  for (std::size_t i = 0; i < configured.size(); ++i)
    configured[i].tty = static_cast<int>(fixed_links_.size() + i);
  auto* carried =
      root.get_printer().lookup_object_or_null<SimCarriedHardware>(SimCarriedHardware::kName);
  boxes_ = carried && carried->state().usb_boxes ? *carried->state().usb_boxes : configured;
  std::sort(boxes_.begin(), boxes_.end(),
            [](const UsbBox& a, const UsbBox& b) { return a.box < b.box; });

  auto& gcode = root.get_printer().lookup_object<klippy::GCodeDispatch>("gcode");
  gcode.register_command(
      "SIM_USB", [this](klippy::GCodeCommand& g) { cmd_SIM_USB(g); },
      "Plug, unplug or reboot a box controller into its bootloader: SIM_USB "
      "ACTION=plug|unplug|bootloader BOX=n [VERSION=x.y.z|none] [PORT=n]");
}

std::vector<klippy::TtyDevice> SimUsbBoxes::list_tty_devices() {
  std::vector<klippy::TtyDevice> devices;
  // The fixed MCUs sit on the board's own bus, whose device paths sort first.
  for (std::size_t i = 0; i < fixed_links_.size(); ++i)
    devices.push_back({"/dev/ttyACM" + std::to_string(i), {fixed_links_[i]}});
  std::vector<const UsbBox*> by_port;
  for (const auto& box : boxes_) by_port.push_back(&box);
  std::sort(by_port.begin(), by_port.end(),
            [](const UsbBox* a, const UsbBox* b) { return a->port < b->port; });
  for (const UsbBox* box : by_port) {
    const std::string by_path =
        "/dev/serial/by-path/platform-xhci-hcd.0-usb-0:" + std::to_string(box->port) + ":1.0";
    devices.push_back({"/dev/ttyACM" + std::to_string(box->tty),
                       {by_path, box->in_bootloader ? bootloader_link(box->box) : box->link}});
  }
  return devices;
}

klippy::ShellResult SimUsbBoxes::run_shell(const std::string& command) {
  auto result = klippy::run_system_shell(command);
  if (result.status == 0) flashed(shell_words(command));
  return result;
}

// "<script> <image> <link>": the box behind the link restarts on the image's firmware.
void SimUsbBoxes::flashed(const std::vector<std::string>& words) {
  static const std::regex image_pattern(R"(v1_(\d+\.\d+\.\d+)\.bin$)");
  if (words.size() != 3) return;
  std::smatch match;
  if (!std::regex_search(words[1], match, image_pattern)) return;
  for (auto& box : boxes_) {
    if (box.link != words[2] || box.in_bootloader) continue;
    box.version = match[1].str();
    box.link = box_link(box.box, box.version);
  }
}

UsbBox* SimUsbBoxes::find(int box) {
  for (auto& candidate : boxes_)
    if (candidate.box == box) return &candidate;
  return nullptr;
}

bool SimUsbBoxes::port_taken(int port) const {
  return std::any_of(boxes_.begin(), boxes_.end(),
                     [port](const UsbBox& b) { return b.port == port; });
}

int SimUsbBoxes::free_tty() const {
  int tty = static_cast<int>(fixed_links_.size());
  while (std::any_of(boxes_.begin(), boxes_.end(), [tty](const UsbBox& b) { return b.tty == tty; }))
    ++tty;
  return tty;
}

void SimUsbBoxes::cmd_SIM_USB(klippy::GCodeCommand& gcmd) {
  const std::string action = gcmd.get("ACTION");
  const int box = static_cast<int>(gcmd.get_int("BOX", {}, {.minval = 1, .maxval = kMaxBox}));
  UsbBox* existing = find(box);
  if (action == "unplug" || action == "bootloader") {
    if (!existing)
      throw gcmd.error("Box " + std::to_string(box) + " is not plugged in; plug it first");
    if (action == "unplug") {
      std::erase_if(boxes_, [box](const UsbBox& b) { return b.box == box; });
    } else {
      existing->in_bootloader = true;
    }
    return;
  }
  if (action != "plug")
    throw gcmd.error("ACTION must be plug, unplug or bootloader, not '" + action + "'");
  const std::string version =
      gcmd.get("VERSION", existing ? existing->version : std::string(kDefaultVersion));
  if (version != kNoVersion && !std::regex_match(version, version_pattern()))
    throw gcmd.error("VERSION must read x.y.z in digits (for example 1.0.2) or " +
                     std::string(kNoVersion) + ", not '" + version + "'");
  if (existing && !existing->in_bootloader && !gcmd.has("VERSION"))
    throw gcmd.error("Box " + std::to_string(box) +
                     " is plugged in already; unplug it first or give a VERSION to replug");
  if (!existing) {
    int default_port = box;
    for (int p = 1; port_taken(default_port) && p <= kMaxPort; ++p) default_port = p;
    const int port =
        static_cast<int>(gcmd.get_int("PORT", default_port, {.minval = 1, .maxval = kMaxPort}));
    if (port_taken(port))
      throw gcmd.error("USB port " + std::to_string(port) + " is taken; give another PORT");
    boxes_.push_back({box, "", version, false, port, free_tty()});
    std::sort(boxes_.begin(), boxes_.end(),
              [](const UsbBox& a, const UsbBox& b) { return a.box < b.box; });
    existing = find(box);
  }
  existing->version = version;
  existing->link = box_link(box, version);
  existing->in_bootloader = false;
}

std::optional<klippy::Value> SimUsbBoxes::get_status(double /*eventtime*/) {
  klippy::Value::List boxes;
  for (const auto& box : boxes_) {
    boxes.emplace_back(
        klippy::Value::Dict{{"box", box.box},
                            {"link", box.in_bootloader ? bootloader_link(box.box) : box.link},
                            {"version", box.version},
                            {"bootloader", box.in_bootloader}});
  }
  return klippy::Value(klippy::Value::Dict{{"usb_boxes", klippy::Value(std::move(boxes))}});
}

klippy::ExtraModule sim_usb_module() {
  klippy::ExtraModule module;
  module.name = "sim_usb";
  module.add_printer_objects = [](klippy::ConfigSection& root) {
    root.get_printer().add_object(klippy::SystemServices::kObjectName,
                                  std::make_shared<SimUsbBoxes>(root));
  };
  return module;
}

}  // namespace sim
