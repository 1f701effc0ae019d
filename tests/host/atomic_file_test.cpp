#include "klippy/host/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "klippy/host/ini.h"

namespace klippy {
namespace {

namespace fs = std::filesystem;

class AtomicFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "atomic_file_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  static void put(const std::string& p, const std::string& content) { std::ofstream(p) << content; }
  static mode_t mode_of(const std::string& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    return st.st_mode & 07777;
  }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
  }

  fs::path dir_;
};

mode_t current_umask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Umask:", 0) == 0)
      return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
  return 022;
}

TEST_F(AtomicFileTest, CreatesNewFileWithDefaultPermissions) {
  write_file_atomically(path("vars.cfg"), "[Variables]\n\n");
  EXPECT_EQ(read_text_file(path("vars.cfg")), "[Variables]\n\n");
  EXPECT_EQ(mode_of(path("vars.cfg")), 0644 & ~current_umask());
  EXPECT_EQ(entries(), 1u) << "no temporary file left behind";
}

TEST_F(AtomicFileTest, ReplacesContentAndKeepsPermissions) {
  put(path("vars.cfg"), "old content that is longer than the new one\n");
  ASSERT_EQ(::chmod(path("vars.cfg").c_str(), 0600), 0);
  write_file_atomically(path("vars.cfg"), "new\n");
  EXPECT_EQ(read_text_file(path("vars.cfg")), "new\n");
  EXPECT_EQ(mode_of(path("vars.cfg")), 0600u);
  write_file_atomically(path("vars.cfg"), "");
  EXPECT_EQ(read_text_file(path("vars.cfg")), "");
  EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicFileTest, WritesThroughSymlinksAndKeepsThem) {
  fs::create_directory(dir_ / "real");
  put(path("real/vars.cfg"), "old");
  fs::create_symlink("real/vars.cfg", dir_ / "hop");    // relative link
  fs::create_symlink(dir_ / "hop", dir_ / "link.cfg");  // absolute link to a link
  write_file_atomically(path("link.cfg"), "new");
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.cfg"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "hop"));
  EXPECT_EQ(read_text_file(path("real/vars.cfg")), "new");

  fs::create_symlink("absent.cfg", dir_ / "dangling");
  write_file_atomically(path("dangling"), "created");
  EXPECT_TRUE(fs::is_symlink(dir_ / "dangling"));
  EXPECT_EQ(read_text_file(path("absent.cfg")), "created");
}

TEST_F(AtomicFileTest, FailureNamesPathAndLeavesOldFile) {
  put(path("plain"), "not a folder");
  const std::string bad = path("plain/vars.cfg");
  try {
    write_file_atomically(bad, "x");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("Not a directory"), std::string::npos) << e.what();
  }
  EXPECT_EQ(read_text_file(path("plain")), "not a folder");

  // A folder in the way of the rename: the temporary file must be cleaned up.
  fs::create_directory(dir_ / "occupied");
  put(path("occupied/keep"), "kept");
  EXPECT_THROW(write_file_atomically(path("occupied"), "x"), std::runtime_error);
  EXPECT_EQ(read_text_file(path("occupied/keep")), "kept");
  EXPECT_EQ(entries(), 2u) << "temporary file removed";
}

TEST(WriteFailureMessage, AFullDiskIsNamedRatherThanTheFolderBlamed) {
  for (const int full : {ENOSPC, EDQUOT}) {
    const std::string message = write_failure_message("/data/vars.cfg", "writing", full);
    EXPECT_EQ(message.rfind("Unable to write file '/data/vars.cfg' (writing): ", 0), 0u);
    EXPECT_NE(message.find("free space"), std::string::npos) << message;
    EXPECT_EQ(message.find("writable"), std::string::npos) << message;
  }
  EXPECT_NE(write_failure_message("/data/vars.cfg", "writing", ENOSPC).find("disk is full"),
            std::string::npos);
  EXPECT_NE(write_failure_message("/data/vars.cfg", "creating a temporary file", EACCES)
                .find("Permission denied; check that its folder exists and is writable"),
            std::string::npos);
}

}  // namespace
}  // namespace klippy
