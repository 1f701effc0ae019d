// A feedbox saving a stream of variables, killed at random moments: the variables file
// always reads back whole, with the old or the new values, and the next start removes the
// temporary files that the killed writes left behind; the same for the box's own saves and
// records, which its file writer writes off the event loop. Also the command line's
// refusals, which need the real program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "apps/feedbox/record_file.h"
#include "klippy/host/ini.h"
#include "klippy/host/variables_file.h"
#include "tests/support/test_host.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;
using testing_support::write_file;

constexpr const char* kVariables = "/home/zur/printer_data/config/saved_variables.cfg";
constexpr int kKills = 30;
constexpr int kSavesPerRun = 3000;
constexpr int kPaddingKeys = 200;

pid_t spawn(const std::vector<std::string>& args, bool quiet = true) {
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (quiet) {
      ::freopen("/dev/null", "w", stdout);
      ::freopen("/dev/null", "w", stderr);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

int wait_for(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

// Starts the program and kills it after a random delay in [min_us, max_us]; whether it was
// still running then.
bool killed_while_running(const std::vector<std::string>& args, std::mt19937& random, int min_us,
                          int max_us) {
  const pid_t pid = spawn(args);
  if (pid <= 0) throw std::runtime_error("fork failed");
  std::this_thread::sleep_for(
      std::chrono::microseconds(std::uniform_int_distribution<int>(min_us, max_us)(random)));
  ::kill(pid, SIGKILL);
  return WIFSIGNALED(wait_for(pid));
}

std::vector<std::string> leftovers(const fs::path& folder,
                                   const std::string& prefix = ".saved_variables.cfg.tmp") {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().filename().string().rfind(prefix, 0) == 0)
      names.push_back(entry.path().filename().string());
  return names;
}

TEST(CrashSafety, AKilledWriterLeavesTheOldOrTheNewFileAndNoTemporaryFile) {
  TempDir dir;
  const std::string config = dir.path() + "/printer.cfg";
  write_file(config, std::string("[save_variables]\nfilename: ") + kVariables + "\n");
  const std::string vars_path = dir.path() + kVariables;
  // Every run saves the padding (so that a write takes a while) and then a rising counter.
  std::string stream;
  for (int i = 0; i < kPaddingKeys; ++i)
    stream += "SAVE_VARIABLE VARIABLE=pad" + std::to_string(i) + " VALUE=\"'" +
              std::string(40, 'x') + "'\"\n";
  for (int n = 1; n <= kSavesPerRun; ++n)
    stream += "SAVE_VARIABLE VARIABLE=counter VALUE=" + std::to_string(n) + "\n";
  write_file(dir.path() + "/stream.gcode", stream);
  const std::vector<std::string> args = {
      FEEDBOX_BINARY, "run",        "--config",
      config,         "--data-dir", dir.path(),
      "--settle",     "0",          dir.path() + "/stream.gcode"};

  std::mt19937 random(12345);
  int killed_mid_run = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    if (killed_while_running(args, random, 2000, 150000)) ++killed_mid_run;
    if (!fs::exists(vars_path)) continue;  // killed before the file was first created
    const klippy::VariableMap vars =
        klippy::parse_variables(klippy::read_text_file(vars_path), vars_path);
    // Whole: every padding key written so far is there, and nothing but known keys.
    for (const auto& [key, value] : vars) {
      if (key == "counter") {
        ASSERT_TRUE(value.is_int()) << value.repr();
        EXPECT_GE(value.as_int(), 1);
        EXPECT_LE(value.as_int(), kSavesPerRun);
      } else {
        ASSERT_EQ(key.rfind("pad", 0), 0u) << key;
        EXPECT_EQ(value, klippy::Value(std::string(40, 'x'))) << key;
      }
    }
    if (vars.count("counter")) {
      EXPECT_EQ(vars.size(), static_cast<std::size_t>(kPaddingKeys) + 1);
    }
  }
  EXPECT_GT(killed_mid_run, kKills / 2) << "most kills should land during the stream";

  // A start on its own, to the end: it clears what the killed writes left.
  const pid_t pid =
      spawn({FEEDBOX_BINARY, "run", "--config", config, "--data-dir", dir.path(), "--settle", "0"});
  const int status = wait_for(pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(leftovers(fs::path(vars_path).parent_path()), std::vector<std::string>{});
}

TEST(CrashSafety, AKilledBoxLeavesItsSavesAndRecordsWholeAndNoTemporaryFile) {
  constexpr int kBoxKills = 10;
  constexpr int kRounds = 400;
  TempDir dir;
  // The embedded printer with its box: each round maps tool 0 to the other slot (a save of
  // the box's own) and writes a record of the box's history.
  std::string stream;
  for (int n = 0; n < kRounds; ++n)
    stream += std::string("BOX_MAP_TOOL T=0 SLOT=") + (n % 2 ? "1A" : "1B") + "\nBOX_RECORD_DUMP\n";
  write_file(dir.path() + "/box.gcode", stream);
  const std::vector<std::string> args = {
      FEEDBOX_BINARY, "run", "--data-dir", dir.path(), "--settle", "0", dir.path() + "/box.gcode"};
  const std::string vars_path = dir.path() + kVariables;
  const fs::path logs = dir.path() + "/home/zur/printer_data/logs";

  std::mt19937 random(4242);
  int killed_mid_run = 0, records_seen = 0;
  for (int kill = 0; kill < kBoxKills; ++kill) {
    if (killed_while_running(args, random, 150000, 1000000)) ++killed_mid_run;
    if (fs::exists(vars_path)) {
      const klippy::VariableMap vars =
          klippy::parse_variables(klippy::read_text_file(vars_path), vars_path);
      if (vars.count("value_t0")) {
        const klippy::Value& tool = vars.at("value_t0");
        EXPECT_TRUE(tool == klippy::Value("slot0") || tool == klippy::Value("slot1"))
            << tool.repr();
      }
    }
    if (!fs::is_directory(logs)) continue;
    for (const auto& entry : fs::directory_iterator(logs)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("box_record_", 0) != 0) continue;
      std::ifstream in(entry.path());
      EXPECT_NO_THROW(feedbox::read_record_dump(in, name)) << name;
      ++records_seen;
    }
  }
  EXPECT_GT(killed_mid_run, kBoxKills / 2) << "most kills should land during the stream";
  EXPECT_GT(records_seen, 0) << "kills should land after records were written";

  const pid_t pid = spawn({FEEDBOX_BINARY, "run", "--data-dir", dir.path(), "--settle", "0"});
  const int status = wait_for(pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(leftovers(fs::path(vars_path).parent_path()), std::vector<std::string>{});
  EXPECT_EQ(leftovers(logs, ".box_record_"), std::vector<std::string>{});
}

// Runs the program to its end; its exit code and what it wrote to stderr.
std::pair<int, std::string> run_to_end(const std::vector<std::string>& args) {
  TempDir dir;
  const std::string err_path = dir.path() + "/err.txt";
  std::vector<std::string> full = {"/bin/sh", "-c", ""};
  std::string command = "'" + std::string(FEEDBOX_BINARY) + "'";
  for (const auto& arg : args) command += " '" + arg + "'";
  full[2] = command + " >/dev/null 2>'" + err_path + "'";
  const int status = wait_for(spawn(full, false));
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, klippy::read_text_file(err_path)};
}

TEST(FeedboxCommandLine, SimulatedSpansMustBeFiniteAndBounded) {
  for (const auto& [option, value] :
       std::vector<std::pair<std::string, std::string>>{{"--after", "1e15"},
                                                        {"--settle", "1e300"},
                                                        {"--settle", "nan"},
                                                        {"--after", "inf"},
                                                        {"--settle", "-1"},
                                                        {"--after", "10s"}}) {
    const auto [code, err] = run_to_end({"run", option, value});
    EXPECT_EQ(code, 2) << option << " " << value;
    EXPECT_NE(err.find("seconds"), std::string::npos) << err;
  }
}

}  // namespace
