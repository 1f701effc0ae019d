#include "klippy/host/file_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "sim/reactor/reactor.h"

namespace klippy {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class FileWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "file_writer_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  static std::string read(const std::string& p) {
    std::ifstream in(p);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
  }
  // Runs `body` as a reactor task; the returned completion holds "ok" or the error text.
  static CompletionPtr in_task(sim::SimReactor& reactor, std::function<void()> body) {
    return reactor.register_callback([body = std::move(body)](double) -> Value {
      try {
        body();
        return Value("ok");
      } catch (const std::runtime_error& e) {
        return Value(std::string("error: ") + e.what());
      }
    });
  }

  fs::path dir_;
};

TEST_F(FileWriterTest, AWriteReturnsOnceTheFileHoldsItAndTakesNoSimulatedTime) {
  sim::SimReactor reactor;
  FileWriter writer(reactor);
  writer.set_fsync_hook([] { std::this_thread::sleep_for(20ms); });
  const double start = reactor.monotonic();
  bool timer_fired = false;
  reactor.register_timer([&](double) { return timer_fired = true, Reactor::NEVER; }, start + 1.0);
  std::string seen;
  auto done = in_task(reactor, [&] {
    writer.write(path("v.cfg"), "[Variables]\na = 1\n");
    seen = read(path("v.cfg"));
  });
  EXPECT_EQ(done->wait(start + 0.5), Value("ok"));
  EXPECT_EQ(seen, "[Variables]\na = 1\n");
  EXPECT_EQ(reactor.monotonic(), start) << "the virtual clock waited for the disk";
  EXPECT_FALSE(timer_fired);
  EXPECT_EQ(entries(), 1u);
}

TEST_F(FileWriterTest, TimersKeepFiringWhileAWriteWaitsOnASlowDisk) {
  sim::SimReactor reactor(sim::ClockKind::Real);
  FileWriter writer(reactor);
  std::atomic<int> ticks{0};
  reactor.register_timer([&](double eventtime) { return ++ticks, eventtime + 0.002; },
                         Reactor::NOW);
  // The disk stays busy until the loop has run its timer ten more times: a loop blocked by
  // the write would never get there.
  std::atomic<bool> disk_gave_up{false};
  writer.set_fsync_hook([&] {
    const int target = ticks + 10;
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    while (ticks < target) {
      if (std::chrono::steady_clock::now() > give_up) {
        disk_gave_up = true;
        return;
      }
      std::this_thread::sleep_for(1ms);
    }
  });
  auto done = in_task(reactor, [&] { writer.write(path("v.cfg"), "slow\n"); });
  EXPECT_EQ(done->wait(), Value("ok"));
  EXPECT_FALSE(disk_gave_up) << "no timer ran while the write waited";
  EXPECT_EQ(read(path("v.cfg")), "slow\n");
}

TEST_F(FileWriterTest, WritesLandInOrderAndAFailedOneLeavesTheFileAsItWas) {
  sim::SimReactor reactor;
  FileWriter writer(reactor);
  std::ofstream(path("v.cfg")) << "old\n";
  std::atomic<int> fsyncs{0};
  writer.set_fsync_hook([&] {
    if (++fsyncs == 2) throw std::runtime_error("Unable to write file 'v.cfg': disk full");
  });
  std::vector<std::string> seen;
  auto first = in_task(reactor, [&] {
    writer.write(path("v.cfg"), "first\n");
    seen.push_back(read(path("v.cfg")));
  });
  auto second = in_task(reactor, [&] { writer.write(path("v.cfg"), "second\n"); });
  auto third = in_task(reactor, [&] {
    writer.write(path("v.cfg"), "third\n");
    seen.push_back(read(path("v.cfg")));
  });
  EXPECT_EQ(first->wait(), Value("ok"));
  EXPECT_EQ(second->wait(), Value("error: Unable to write file 'v.cfg': disk full"));
  EXPECT_EQ(third->wait(), Value("ok"));
  // The worker may land the third write before the first task runs again; the failed
  // second one never lands.
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_THAT(seen[0], testing::AnyOf("first\n", "third\n"));
  EXPECT_EQ(seen[1], "third\n");
  EXPECT_EQ(entries(), 1u) << "no temporary file is left behind";
}

TEST_F(FileWriterTest, AFailedWriteNamesThePathAndCause) {
  sim::SimReactor reactor;
  FileWriter writer(reactor);
  auto done = in_task(reactor, [&] { writer.write(path("missing/v.cfg"), "x\n"); });
  const std::string result = done->wait().as_string();
  EXPECT_EQ(result.rfind("error: Unable to write file '" + path("missing/v.cfg") + "'", 0), 0u)
      << result;
  EXPECT_NE(result.find("No such file or directory"), std::string::npos) << result;
}

TEST_F(FileWriterTest, StoppingFinishesQueuedWritesAndLaterWritesNeedNoWorker) {
  sim::SimReactor reactor(sim::ClockKind::Real);
  reactor.register_timer([](double eventtime) { return eventtime + 0.001; }, Reactor::NOW);
  auto writer = std::make_unique<FileWriter>(reactor);
  writer->set_fsync_hook([] { std::this_thread::sleep_for(50ms); });
  auto done = in_task(reactor, [&] { writer->write(path("a.cfg"), "a\n"); });
  // Stopped while the worker is inside the write (its temporary file exists).
  ASSERT_TRUE(reactor.run_until([&] { return entries() > 0; }, 5.0));
  EXPECT_FALSE(fs::exists(path("a.cfg")));
  writer->stop();
  EXPECT_EQ(read(path("a.cfg")), "a\n");
  EXPECT_EQ(done->wait(), Value("ok"));
  writer->write(path("b.cfg"), "b\n");
  EXPECT_EQ(read(path("b.cfg")), "b\n");
  writer.reset();
}

}  // namespace
}  // namespace klippy
