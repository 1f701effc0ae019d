#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

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
  hub().save_variable("slot_sync", "slot-1");
  hub().save_variable("retry_step", Value());
  hub().save_variable("value_t0", "slot2");
  hub().save_variable("last_load_slot", "slot2");
  EXPECT_EQ(box_.variables_file(),
            "[Variables]\nbox_count = 1\nlast_load_slot = 'slot2'\nretry_step = None\nslot0 = 1\n"
            "slot_sync = 'slot-1'\nvalue_t0 = 'slot2'\n\n");
  EXPECT_TRUE(hub().get_value_by_key("retry_step", 7).is_none());
  EXPECT_EQ(hub().get_value_by_key("slot_sync"), Value("slot-1"));
}

TEST_F(FeedhubSavedVariables, AnAbsentKeyReadsAsTheDefault) {
  start();
  EXPECT_EQ(hub().get_value_by_key("never_written"), Value(0));
  EXPECT_TRUE(hub().get_value_by_key("never_written").is_int());
  EXPECT_EQ(hub().get_value_by_key("slot_sync", "slot-1"), Value("slot-1"));
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
    hub().save_variable("slot3", 1);
    FAIL() << "expected a command error";
  } catch (const klippy::CommandError& e) {
    // The console shows the cause, not only the log.
    const std::string message = e.what();
    EXPECT_EQ(message.rfind("Unable to save variable slot3 as 1: Unable to write file '", 0), 0u)
        << message;
    EXPECT_NE(message.find("Not a directory"), std::string::npos) << message;
  }
  EXPECT_THROW(hub().save_variable("slot_sync", "slot2"), klippy::CommandError);
  EXPECT_EQ(hub().get_value_by_key("slot3"), Value(0));
  EXPECT_EQ(hub().get_value_by_key("slot_sync", "none"), Value("none"));
  EXPECT_EQ(testing_support::read_file((moved / "saved_variables.cfg").string()),
            "[Variables]\nslot3 = 0\n");
}

TEST_F(FeedhubSavedVariables, KeyByValueTakesTheFirstMatchingKeyInKeyOrder) {
  start("[Variables]\nvalue_t2 = 'slot3'\nvalue_t1 = 3\nvalue_t0 = 'slot3'\nactive = 'slot3'\n");
  EXPECT_EQ(hub().get_key_by_value("slot3", "value_t3", "value_t"), "value_t0");
  EXPECT_EQ(hub().get_key_by_value(3, "none", "value_t"), "value_t1") << "typed equality";
  EXPECT_EQ(hub().get_key_by_value("slot5", "value_t5", "value_t"), "value_t5");
  EXPECT_EQ(hub().get_key_by_value("slot3", "none", "act"), "active");
}

TEST_F(FeedhubSavedVariables, SlotSearchCoversOnlyTheAttachedBoxes) {
  start("[Variables]\nslot0 = 2\nslot8 = 1\n");
  EXPECT_EQ(hub().search_index_by_value(2), -1) << "no box_count: no slot is examined";
  hub().save_variable("box_count", 2);
  EXPECT_EQ(hub().search_index_by_value(2), 0);
  EXPECT_EQ(hub().search_index_by_value(1), -1) << "slot8 is in the third box";
  EXPECT_EQ(hub().search_index_by_value(0), 1) << "a never-written slot reads as 0";
  hub().save_variable("slot5", 1);
  EXPECT_EQ(hub().search_index_by_value(1), 5);
}

TEST_F(FeedhubSavedVariables, ASlotWithoutTagDataUsesTheFirstFilamentType) {
  testing_support::write_file(box_.test().path(feedhub::kFilamentTablePath),
                              "[fila1]\nmin_temp: 190\nmax_temp: 230\n"
                              "[fila2]\nmin_temp: 220\nmax_temp: 260\n");
  start("[Variables]\nfilament_slot1 = 2\n");
  EXPECT_EQ(hub().slot_filament_temps(0, feedhub::TempPurpose::Nozzle)->min_temp, 190);
  EXPECT_EQ(hub().slot_filament_temps(1, feedhub::TempPurpose::Nozzle)->min_temp, 220);
}

TEST_F(FeedhubSavedVariables, NamesAndValuesThatWouldNotReadBackAreRefusedBeforeWriting) {
  start("[Variables]\nslot0 = 1\n");
  const std::string before = box_.variables_file();
  for (const std::string name : {"[x]", "", "a:b", "Slot1", "a b"}) {
    try {
      hub().save_variable(name, 1);
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
      hub().save_variable("slot0", value);
      FAIL() << value.repr();
    } catch (const klippy::CommandError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to save variable slot0 as " + value.str() +
                                           ": its written form " + value.repr() +
                                           " does not read back as the same value");
    }
  }
  EXPECT_EQ(box_.variables_file(), before);
  EXPECT_EQ(hub().get_value_by_key("slot0"), Value(1));
}

}  // namespace
