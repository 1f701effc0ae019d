// The pseudo-terminal a host opens in place of a serial port.
#include "sim/mcu_emu/pty_link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace mcu_emu {
namespace {

TEST(PtyLink, CarriesBytesBothWaysAndDropsWhatNobodyReads) {
  const auto folder =
      std::filesystem::temp_directory_path() / ("pty_link_test_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "mcu").string();
  {
    PtyLink link(path);
    const int host = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(host, 0);
    ASSERT_EQ(write(host, "\x7e\x05", 2), 2);
    usleep(10000);
    EXPECT_EQ(link.read_available(), "\x7e\x05") << "raw: no echo, no line editing";

    link.write_all("\x0a\x0d\x11");
    char buffer[8] = {};
    ASSERT_EQ(read(host, buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 3), "\x0a\x0d\x11") << "no newline translation";

    // A host that stops reading must not stall the emulator: a megabyte returns.
    link.write_all(std::string(1 << 20, 'x'));
    close(host);
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)))
      << "the link goes with the emulator";
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace mcu_emu
