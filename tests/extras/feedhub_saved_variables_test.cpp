#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "klippy/host/file_writer.h"
#include "klippy/host/variables_file.h"
#include "tests/extras/feedhub_fixture.h"

namespace {

using feedhub_test::BoxHost;
using klippy::Value;

class FeedhubSavedVariables : public ::testing::Test {
 protected:
  void start(const std::string& variables = "") {
    box_.start(feedhub_test::box_config(), variables);
  }
  feedhub::FeedHub& hub() { return box_.hub(); }

  BoxHost box_;
};

TEST_F(FeedhubSavedVariables, WritesTheWholeFileSortedAndReadsItBack) {
  start("[Variables]\nslot0 = 1\nbox_count = 1\n");
  hub().variables().save_variable("slot_sync", "slot-1");
  hub().variables().save_variable("retry_step", Value());
  hub().variables().save_variable("value_t0", "slot2");
  hub().variables().save_variable("last_load_slot", "slot2");
  EXPECT_EQ(box_.variables_file(),
            "[Variables]\nbox_count = 1\nlast_load_slot = 'slot2'\nretry_step = None\nslot0 = 1\n"
            "slot_sync = 'slot-1'\nvalue_t0 = 'slot2'\n\n");
  EXPECT_TRUE(hub().variables().get_value_by_key("retry_step", 7).is_none());
  EXPECT_EQ(hub().variables().get_value_by_key("slot_sync"), Value("slot-1"));
}

TEST_F(FeedhubSavedVariables, AnAbsentKeyReadsAsTheDefault) {
  start();
  EXPECT_EQ(hub().variables().get_value_by_key("never_written"), Value(0));
  EXPECT_TRUE(hub().variables().get_value_by_key("never_written").is_int());
  EXPECT_EQ(hub().variables().get_value_by_key("slot_sync", "slot-1"), Value("slot-1"));
}

TEST_F(FeedhubSavedVariables, AFailedWriteLeavesFileAndValuesAsTheyWere) {
  start("[Variables]\nslot3 = 0\n");
  // The variables file's folder becomes a regular file: nothing can be created in it.
  namespace fs = std::filesystem;
  fs::path folder = fs::path(box_.test().path(feedhub_test::kVariablesPath)).parent_path();
  fs::path moved = folder.string() + ".moved";
  fs::rename(folder, moved);
  testing_support::write_file(folder.string(), "not a folder\n");
  try {
    hub().variables().save_variable("slot3", 1);
    FAIL() << "expected a command error";
  } catch (const klippy::CommandError& e) {
    // The console shows the cause, not only the log.
    const std::string message = e.what();
    EXPECT_EQ(message.rfind("Unable to save variable slot3 as 1: Unable to write file '", 0), 0u)
        << message;
    EXPECT_NE(message.find("Not a directory"), std::string::npos) << message;
  }
  EXPECT_THROW(hub().variables().save_variable("slot_sync", "slot2"), klippy::CommandError);
  EXPECT_EQ(hub().variables().get_value_by_key("slot3"), Value(0));
  EXPECT_EQ(hub().variables().get_value_by_key("slot_sync", "none"), Value("none"));
  EXPECT_EQ(testing_support::read_file((moved / "saved_variables.cfg").string()),
            "[Variables]\nslot3 = 0\n");
}

TEST_F(FeedhubSavedVariables, KeyByValueTakesTheFirstMatchingKeyInKeyOrder) {
  start("[Variables]\nvalue_t2 = 'slot3'\nvalue_t1 = 3\nvalue_t0 = 'slot3'\nactive = 'slot3'\n");
  EXPECT_EQ(hub().variables().get_key_by_value("slot3", "value_t3", "value_t"), "value_t0");
  EXPECT_EQ(hub().variables().get_key_by_value(3, "none", "value_t"), "value_t1")
      << "typed equality";
  EXPECT_EQ(hub().variables().get_key_by_value("slot5", "value_t5", "value_t"), "value_t5");
  EXPECT_EQ(hub().variables().get_key_by_value("slot3", "none", "act"), "active");
}

TEST_F(FeedhubSavedVariables, SlotSearchCoversOnlyTheAttachedBoxes) {
  start("[Variables]\nslot0 = 2\nslot8 = 1\n");
  EXPECT_EQ(search_index_by_value(hub(), 2), -1) << "no box_count: no slot is examined";
  hub().variables().save_variable("box_count", 2);
  EXPECT_EQ(search_index_by_value(hub(), 2), 0);
  EXPECT_EQ(search_index_by_value(hub(), 1), -1) << "slot8 is in the third box";
  EXPECT_EQ(search_index_by_value(hub(), 0), 1) << "a never-written slot reads as 0";
  hub().variables().save_variable("slot5", 1);
  EXPECT_EQ(search_index_by_value(hub(), 1), 5);
}

TEST_F(FeedhubSavedVariables, ASlotWithoutTagDataUsesTheFirstFilamentType) {
  testing_support::write_file(box_.test().path(feedhub::kFilamentTablePath),
                              "[fila1]\nmin_temp: 190\nmax_temp: 230\n"
                              "[fila2]\nmin_temp: 220\nmax_temp: 260\n");
  start("[Variables]\nfilament_slot1 = 2\n");
  EXPECT_EQ(hub().heating().slot_filament_temps(0, feedhub::TempPurpose::Nozzle)->min_temp, 190);
  EXPECT_EQ(hub().heating().slot_filament_temps(1, feedhub::TempPurpose::Nozzle)->min_temp, 220);
}

TEST_F(FeedhubSavedVariables, NamesAndValuesThatWouldNotReadBackAreRefusedBeforeWriting) {
  start("[Variables]\nslot0 = 1\n");
  const std::string before = box_.variables_file();
  for (const std::string name : {"[x]", "", "a:b", "Slot1", "a b"}) {
    try {
      hub().variables().save_variable(name, 1);
      FAIL() << name;
    } catch (const klippy::CommandError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to save variable " + name +
                                           " as 1: the name may hold only lower-case letters, "
                                           "digits and '_'");
    }
  }
  for (const Value& value : {Value(HUGE_VAL), Value(-HUGE_VAL), Value(std::nan("")),
                             Value(Value::List{Value(HUGE_VAL)})}) {
    try {
      hub().variables().save_variable("slot0", value);
      FAIL() << value.repr();
    } catch (const klippy::CommandError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to save variable slot0 as " + value.str() +
                                           ": its written form " + value.repr() +
                                           " does not read back as the same value");
    }
  }
  EXPECT_EQ(box_.variables_file(), before);
  EXPECT_EQ(hub().variables().get_value_by_key("slot0"), Value(1));
}

// Saves keep the values in memory rather than reading the file back: what the host holds
// after saves of its own and of the box must be what the next start reads, key for key.
TEST_F(FeedhubSavedVariables, AfterSavesOfHostAndBoxTheHeldValuesAreWhatTheFileReadsAsAtStart) {
  constexpr int kUserKeys = 3000;
  std::string file = "[Variables]\nUser_Mixed = 3\n";
  for (int i = 0; i < kUserKeys; ++i)
    file += "user_" + std::to_string(10000 + i) + " = [" + std::to_string(i) +
            ", 'a\\nb', {'t': 0.1}]\n";
  start(file);
  ASSERT_TRUE(box_.test().command("SAVE_VARIABLE VARIABLE=user_macro VALUE=\"{'n': 2}\"").empty());
  hub().variables().save_variable("slot_sync", "slot-1");
  ASSERT_TRUE(box_.test().command("SAVE_VARIABLE VARIABLE=user_10000 VALUE=1.5").empty());
  hub().variables().save_variable("slot0", 1);
  hub().variables().save_variable("user_10001", Value());

  const klippy::VariableMap at_next_start =
      klippy::parse_variables(box_.variables_file(), "saved_variables.cfg");
  const auto& store = box_.host().printer().lookup_object<klippy::SaveVariables>("save_variables");
  EXPECT_EQ(store.all_variables(), at_next_start);
  EXPECT_EQ(at_next_start.at("user_macro"), Value(Value::Dict{{Value("n"), Value(2)}}));
  EXPECT_EQ(at_next_start.at("user_10000"), Value(1.5));
  EXPECT_TRUE(at_next_start.at("user_10001").is_none());
  EXPECT_EQ(at_next_start.at("slot_sync"), Value("slot-1"));
  EXPECT_EQ(at_next_start.at("slot0"), Value(1));
  EXPECT_EQ(at_next_start.at("user_mixed"), Value(3));
  for (int i = 2; i < kUserKeys; ++i)
    ASSERT_EQ(at_next_start.at("user_" + std::to_string(10000 + i)).as_list().at(1), Value("a\nb"))
        << i;
}

// Every save of CLEAR_RUNOUT_NUM meets a disk that stays busy until the host's loop has run
// a 2 ms timer five more times: a save that held up the loop would never get its fsync done.
TEST(FeedhubSaveOffTheEventLoop, TimersKeepFiringWhileSavesWaitOnASlowDisk) {
  BoxHost box(sim::ClockKind::Real);
  box.start(feedhub_test::box_config(), "[Variables]\nrunout_0 = 3\n");
  klippy::Reactor& reactor = box.host().reactor();
  std::atomic<int> ticks{0};
  auto timer = reactor.register_timer([&](double eventtime) { return ++ticks, eventtime + 0.002; },
                                      klippy::Reactor::NOW);
  std::atomic<int> slow_fsyncs{0};
  std::atomic<bool> disk_gave_up{false};
  box.host().printer().file_writer().set_fsync_hook([&] {
    ++slow_fsyncs;
    const int target = ticks + 5;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ticks < target && !(disk_gave_up = std::chrono::steady_clock::now() > give_up))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  box.host().run_command("CLEAR_RUNOUT_NUM");
  reactor.unregister_timer(timer);
  EXPECT_FALSE(disk_gave_up) << "the loop stood still while a save waited";
  EXPECT_EQ(slow_fsyncs, 16);
  for (int slot = 0; slot < 16; ++slot)
    EXPECT_EQ(box.hub().variables().get_value_by_key("runout_" + std::to_string(slot), 7), Value(0))
        << slot;
  EXPECT_NE(box.variables_file().find("runout_15 = 0\n"), std::string::npos);
}

TEST(FeedhubSaveOffTheEventLoop, AFailedWriteEndsTheCommandWithItsErrorAndChangesNothing) {
  BoxHost box;
  box.start(feedhub_test::box_config(), "[Variables]\nrunout_2 = 4\nrunout_3 = 5\n");
  std::atomic<int> fsyncs{0};
  box.host().printer().file_writer().set_fsync_hook([&] {
    if (++fsyncs == 4) throw std::runtime_error("disk full");
  });
  box.host().run_command("CLEAR_RUNOUT_NUM");
  EXPECT_TRUE(box.output_contains("!! Unable to save variable runout_3 as 0: disk full"));
  EXPECT_EQ(box.hub().variables().get_value_by_key("runout_2"), Value(0))
      << "saved before the failure";
  EXPECT_EQ(box.hub().variables().get_value_by_key("runout_3"), Value(5));
  EXPECT_EQ(box.hub().variables().get_value_by_key("runout_4", 7), Value(7))
      << "the command ended there";
  const std::string file = box.variables_file();
  EXPECT_NE(file.find("runout_3 = 5\n"), std::string::npos) << file;
  EXPECT_EQ(file.find("runout_4"), std::string::npos) << file;
  const auto folder = std::filesystem::path(box.test().path(feedhub_test::kVariablesPath));
  for (const auto& entry : std::filesystem::directory_iterator(folder.parent_path()))
    EXPECT_EQ(entry.path().filename().string().find(".saved_variables.cfg.tmp"), std::string::npos)
        << "a temporary file was left behind";
}

}  // namespace
