#include "sim/host/logger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/test_host.h"

namespace {

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::TempDir;

// The box log is bounded: past its size it moves to .1, .1 to .2, and the oldest beyond the
// kept copies goes; the newest line is always in the file itself, and none is split.
TEST(BoxLog, RotatesPastItsSizeAndKeepsABoundedNumberOfCopies) {
  TempDir dir;
  const std::string path = dir.path() + "/logs/box.log";
  sim::RotatingLogFile log(path, 100, 2);
  for (int i = 0; i < 20; ++i) log.write("line " + std::to_string(i) + " of the box log\n");
  // 23-byte lines: four to a file.
  EXPECT_EQ(read_file(path),
            "line 16 of the box log\nline 17 of the box log\n"
            "line 18 of the box log\nline 19 of the box log\n");
  EXPECT_EQ(read_file(path + ".1").rfind("line 15 of the box log\n"), 3 * 23U);
  EXPECT_TRUE(fs::exists(path + ".2"));
  EXPECT_FALSE(fs::exists(path + ".3"));
  for (const char* suffix : {"", ".1", ".2"})
    EXPECT_LE(fs::file_size(path + suffix), 100U) << suffix;
}

// The simulated printer keeps the box log where a printer does, under its data directory,
// and a restarted host goes on in the same file.
TEST(BoxLog, LivesUnderTheDataDirectoryAndOutlivesARestart) {
  TempDir dir;
  const std::string path = dir.path() + "/home/zur/printer_data/logs/box.log";
  sim::SimLogger(
      {}, [] { return 1.5; }, path)
      .info("first host");
  sim::SimLogger(
      {}, [] { return 0.5; }, path)
      .warning("after the restart");
  EXPECT_EQ(read_file(path), "[1.500] INFO: first host\n[0.500] WARNING: after the restart\n");
}

}  // namespace
