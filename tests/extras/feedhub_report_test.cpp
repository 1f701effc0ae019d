#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "klippy/extras/feedhub/error_codes.h"
#include "klippy/extras/feedhub/error_report.h"
#include "klippy/extras/feedhub/filament_table.h"
#include "klippy/extras/feedhub/slots.h"
#include "tests/support/test_host.h"

namespace {

using feedhub::ErrorReport;
using feedhub::ReportWay;
using feedhub::TempPurpose;

TEST(FeedhubErrorReport, LabelsRunFromBoxOneSlotAToBoxFourSlotD) {
  EXPECT_EQ(feedhub::slot_label(0), "1A");
  EXPECT_EQ(feedhub::slot_label(3), "1D");
  EXPECT_EQ(feedhub::slot_label(6), "2C");
  EXPECT_EQ(feedhub::slot_label(15), "4D");
}

TEST(FeedhubErrorReport, TextCarriesThreeDigitCodeAndTheSlotLabel) {
  ErrorReport report{1, ReportWay::Error, "Slot %s failed to load."};
  EXPECT_EQ(feedhub::report_text(report, 5), "Code:ZKE_004_001; Message:Slot 2B failed to load.");
  ErrorReport no_slot{13, ReportWay::Info, "100%s sure"};
  EXPECT_EQ(feedhub::report_text(no_slot, std::nullopt), "Code:ZKE_004_013; Message:100%s sure");
}

TEST(FeedhubErrorReport, RetryStepNamesTheSlotOrDoubleZero) {
  EXPECT_EQ(feedhub::retry_step_for(1, 3), "ZKE_004_001_3");
  EXPECT_EQ(feedhub::retry_step_for(10, std::nullopt), "ZKE_004_010_00");
  EXPECT_EQ(feedhub::retry_step_for(23, 12), "ZKE_004_023_12");
}

class FeedhubFilamentTable : public ::testing::Test {
 protected:
  void write_table(const std::string& text) {
    testing_support::write_file(host_.path(feedhub::kFilamentTablePath), text);
  }
  std::optional<feedhub::TempRange> lookup(const klippy::Value& id, TempPurpose purpose) {
    return feedhub::lookup_filament_temps(host_.host().printer(), id, purpose);
  }

  testing_support::TestHost host_;
};

TEST_F(FeedhubFilamentTable, ReadsNozzleAndDryingRangesOfTheTypesSection) {
  write_table(
      "[fila1]\nmin_temp: 190\nmax_temp: 230\nbox_min_temp: 45\nbox_max_temp: 55\n"
      "[fila12]\nmin_temp = 250\nmax_temp = 280\nbox_min_temp = 60\nbox_max_temp = 70\n");
  auto nozzle = lookup(1, TempPurpose::Nozzle);
  ASSERT_TRUE(nozzle);
  EXPECT_EQ(nozzle->min_temp, 190);
  EXPECT_EQ(nozzle->max_temp, 230);
  auto box = lookup(klippy::Value("12"), TempPurpose::BoxDrying);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->min_temp, 60);
  EXPECT_EQ(box->max_temp, 70);

  write_table("[fila1]\nmin_temp: 195\nmax_temp: 225\n");
  EXPECT_EQ(lookup(1, TempPurpose::Nozzle)->max_temp, 225) << "read afresh, never cached";
}

TEST_F(FeedhubFilamentTable, MissingSectionFileOrMalformedFileFindsNothing) {
  EXPECT_FALSE(lookup(1, TempPurpose::Nozzle)) << "no table file";
  write_table("[fila1]\nmin_temp: 190\nmax_temp: 230\n");
  EXPECT_FALSE(lookup(2, TempPurpose::Nozzle));
  write_table("min_temp: 190 before any section\n");
  EXPECT_TRUE(feedhub::read_filament_table(host_.host().printer()).sections.empty());
  EXPECT_FALSE(lookup(1, TempPurpose::Nozzle));
}

TEST_F(FeedhubFilamentTable, ANonIntegerTemperatureIsACommandErrorNamingTheOption) {
  write_table("[fila3]\nmin_temp: 190.5\nmax_temp: 230\n");
  try {
    lookup(3, TempPurpose::Nozzle);
    FAIL() << "expected a command error";
  } catch (const klippy::CommandError& e) {
    EXPECT_NE(std::string(e.what()).find("'min_temp'"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("fila3"), std::string::npos) << e.what();
  }
  EXPECT_THROW(lookup(3, TempPurpose::BoxDrying), klippy::CommandError) << "options missing";
}

}  // namespace

namespace {

// TRY_MOVE_AGAIN finds a recorded step's action through its code in the table: every code
// with a retry must be found again by the name it records, and no two entries may share a
// code (the second would never be found).
TEST(ErrorCodes, EveryCodeWithARetryIsFoundWithItsAction) {
  std::set<int> codes;
  int with_retry = 0;
  for (const ErrorReport& report : feedhub::reports::kAll) {
    EXPECT_TRUE(codes.insert(report.code).second) << "code " << report.code << " twice";
    const auto found = feedhub::report_of_step(feedhub::step_name_for(report.code));
    ASSERT_TRUE(found.has_value()) << report.code;
    EXPECT_EQ(found->retry, report.retry) << report.code;
    if (report.retry != feedhub::RetryAction::None && report.retry != feedhub::RetryAction::Forget)
      ++with_retry;
  }
  EXPECT_EQ(with_retry, 7);
  EXPECT_EQ(feedhub::report_of_step("ZKE_004_005")->retry, feedhub::RetryAction::LoadExtruder);
  EXPECT_EQ(feedhub::report_of_step("ZKE_004_009")->retry, feedhub::RetryAction::UnloadExtruder);
  EXPECT_FALSE(feedhub::report_of_step("ZKE_004_999").has_value());
  EXPECT_FALSE(feedhub::report_of_step("ZKE_004_5").has_value());
}

}  // namespace

namespace {

// Users name codes as they see them: in a report, in retry_step, or by number.
TEST(ErrorCatalogue, CodesAreFoundHoweverTheUserWritesThem) {
  for (const char* text : {"6", "006", "zke_004_006", "ZKE_004_006", "ZKE_004_006_2"}) {
    const auto found = feedhub::report_of_code(text);
    ASSERT_TRUE(found.has_value()) << text;
    EXPECT_EQ(found->code, 6) << text;
  }
  for (const char* text : {"8", "0", "", "abc", "1234", "ZKE_004_", "ZKE_004_x06", "-6", "6.0"})
    EXPECT_FALSE(feedhub::report_of_code(text).has_value()) << text;
  EXPECT_EQ(feedhub::known_codes(), "1-7, 9-11, 13, 15-24");
}

// Every entry explains itself, and the line after a report names the slot the way commands
// take it, so that the user can copy it.
TEST(ErrorCatalogue, EveryEntrySaysWhatHappenedAndWhatToDo) {
  for (const ErrorReport& report : feedhub::reports::kAll) {
    EXPECT_FALSE(report.meaning.empty()) << report.code;
    EXPECT_TRUE(report.advice.ends_with(".")) << report.code;
    const std::string line = feedhub::advice_line(report, 5);
    EXPECT_EQ(line.find("%s"), std::string::npos) << line;
    EXPECT_EQ(line.find("slotN"), std::string::npos) << line;
    EXPECT_NE(line.find("TRY_MOVE_AGAIN"), std::string::npos) << line;
  }
  EXPECT_NE(feedhub::advice_line(feedhub::reports::kUnloadExtruderFirst, 5)
                .find("EXTRUDER_UNLOAD SLOT=slot5"),
            std::string::npos);
  const std::string table = feedhub::catalogue_markdown();
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 2 + feedhub::reports::kAll.size());
  EXPECT_EQ(table.find("%s"), std::string::npos);
}

}  // namespace
