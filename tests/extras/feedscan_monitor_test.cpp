// One-shot detection: which devices count, and what it writes into the live box
// configuration and the saved box count.
#include <gtest/gtest.h>

#include "klippy/extras/feedscan/monitor.h"
#include "tests/support/test_host.h"

namespace {

using testing_support::read_file;
using testing_support::write_file;

const std::string kBoxA = "/dev/serial/by-id/usb-Klipper_ZEKA_BOX_V1_1.0.0_A-if00";
const std::string kBoxB = "/dev/serial/by-id/usb-Klipper_ZEKA_BOX_V1_1.0.0_B-if00";

class FakeSystem final : public klippy::SystemServices {
 public:
  std::vector<klippy::TtyDevice> devices;
  std::vector<klippy::TtyDevice> list_tty_devices() override { return devices; }
};

class RecordingLog final : public klippy::Logger {
 public:
  std::vector<std::string> lines;
  void log(klippy::LogLevel level, const std::string& message) override {
    const char* names[] = {"debug", "info", "warning", "error"};
    lines.push_back(std::string(names[static_cast<int>(level)]) + ": " + message);
  }
  bool has(const std::string& text) const {
    for (const auto& line : lines)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
};

std::string box_template(int boxes) {
  std::string text = "# template\n";
  for (int i = 1; i <= boxes; ++i) text += "[include box" + std::to_string(i) + ".cfg]\n";
  for (int i = 1; i <= boxes; ++i)
    text += "[mcu mcu_box" + std::to_string(i) + "]\nserial: /dev/null\nrestart_method: command\n";
  return text;
}

class FeedscanMonitor : public testing::Test {
 protected:
  FeedscanMonitor() {
    feedscan::BoxFiles& files = env.files;
    files.dst_box_cfg = dir.path() + "/box.cfg";
    for (int n = 0; n <= feedscan::kMaxBoxes; ++n) {
      files.src_box_cfg_with[static_cast<std::size_t>(n)] =
          dir.path() + "/cfg_with_" + std::to_string(n);
      write_file(files.src_box_cfg_with[static_cast<std::size_t>(n)], box_template(n));
    }
    files.saved_variables = dir.path() + "/saved_variables.cfg";
    write_file(files.saved_variables, "[Variables]\nbox_count = 1\nslot0 = 1\n");
    write_file(files.dst_box_cfg, "# live\n");
  }
  void plug(const std::string& node, std::vector<std::string> links) {
    system.devices.push_back({node, std::move(links)});
  }
  std::string live() { return read_file(env.files.dst_box_cfg); }
  std::string variables() { return read_file(env.files.saved_variables); }

  testing_support::TempDir dir;
  FakeSystem system;
  RecordingLog log;
  feedscan::ScanEnv env{system, log, {}};
};

TEST_F(FeedscanMonitor, TwoBoxesTakeTheTwoBoxTemplateInReverseEnumerationOrder) {
  plug("/dev/ttyACM0", {"/dev/serial/by-path/pci-0:1", kBoxA});
  plug("/dev/ttyS0", {});
  plug("/dev/ttyACM1", {kBoxB});
  feedscan::monitor_serial_devices(env);
  EXPECT_EQ(live(), "[include box1.cfg]\n\n[include box2.cfg]\n\n[mcu mcu_box1]\nserial : " +
                        kBoxB + "\nrestart_method : command\n\n[mcu mcu_box2]\nserial : " + kBoxA +
                        "\nrestart_method : command\n\n");
  EXPECT_EQ(variables(), "[Variables]\nbox_count = 2\nslot0 = 1\n\n");
  EXPECT_TRUE(log.has("info: Updated new device path: " + kBoxA));
  EXPECT_TRUE(log.has("info: Detected 2 devices"));
}

TEST_F(FeedscanMonitor, NoBoxRestoresTheEmptyTemplateAndCountsZero) {
  feedscan::monitor_serial_devices(env);
  EXPECT_EQ(live(), box_template(0));
  EXPECT_EQ(variables(), "[Variables]\nbox_count = 0\nslot0 = 1\n\n");
  EXPECT_TRUE(feedscan::is_monitor_config_file_empty(env, env.files.dst_box_cfg));
  EXPECT_TRUE(feedscan::is_monitor_config_file_empty(env, dir.path() + "/missing"));
  EXPECT_FALSE(feedscan::is_monitor_config_file_empty(env, env.files.src_box_cfg_with[1]));
}

TEST_F(FeedscanMonitor, ABootloaderOrTooManyBoxesChangeNothing) {
  plug("/dev/ttyACM0", {kBoxA, "/dev/serial/by-id/usb-ZUR_COLOR0_BOOT-if00"});
  feedscan::monitor_serial_devices(env);
  EXPECT_EQ(live(), "# live\n");
  EXPECT_TRUE(log.lines.empty());

  system.devices.clear();
  for (int i = 0; i < 5; ++i) plug("/dev/ttyACM" + std::to_string(i), {kBoxA + std::to_string(i)});
  feedscan::monitor_serial_devices(env);
  EXPECT_EQ(live(), "# live\n");
  EXPECT_EQ(variables(), "[Variables]\nbox_count = 1\nslot0 = 1\n");
  EXPECT_TRUE(log.has("warning: Unexpected device count or mismatch detected."));
}

TEST_F(FeedscanMonitor, FileErrorsAreLoggedAndEarlierWritesStay) {
  plug("/dev/ttyACM0", {kBoxA});
  write_file(env.files.saved_variables, "box_count = 1\n");  // no section: unreadable
  feedscan::monitor_serial_devices(env);
  EXPECT_NE(live().find("serial : " + kBoxA), std::string::npos);
  EXPECT_TRUE(log.has("error: Error monitoring serial devices: "));

  write_file(env.files.src_box_cfg_with[1], "[include box1.cfg]\n");  // no MCU section
  log.lines.clear();
  feedscan::monitor_serial_devices(env);
  EXPECT_TRUE(log.has("error: Error monitoring serial devices: No section [mcu mcu_box1]"));
}

}  // namespace
