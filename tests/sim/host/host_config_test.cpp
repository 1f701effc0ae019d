#include <gtest/gtest.h>

#include "klippy/host/errors.h"
#include "sim/host/config.h"
#include "tests/support/test_host.h"

namespace {

using testing_support::TempDir;
using testing_support::TestHost;
using testing_support::write_file;

TEST(ConfigText, IncludesAreResolvedRelativeToTheIncludingFileInOrder) {
  TempDir dir;
  write_file(dir.path() + "/printer.cfg", "[first]\na: 1\n[include parts/*.cfg]\n[last]\nz: 26\n");
  write_file(dir.path() + "/parts/b.cfg", "[from_b]\nb: 2\n[first]\na: overridden\n");
  write_file(dir.path() + "/parts/a.cfg", "[from_a]\nvalue:\n  line one\n  line two\n");
  auto config = sim::ConfigText::from_file(dir.path() + "/printer.cfg");
  std::vector<std::string> names;
  for (const auto& s : config.sections()) names.push_back(s.name);
  EXPECT_EQ(names, (std::vector<std::string>{"first", "from_a", "from_b", "last"}));
  EXPECT_EQ(config.sections()[0].options[0].value, "overridden");
  // As the host's reader does, a value that starts on the next line keeps a leading newline.
  EXPECT_EQ(config.sections()[1].options[0].value, "\nline one\nline two");
}

TEST(ConfigText, MissingIncludeFileIsAnErrorButAnEmptyGlobIsNot) {
  TempDir dir;
  write_file(dir.path() + "/a.cfg", "[include nothing/*.cfg]\n[x]\n");
  EXPECT_NO_THROW(sim::ConfigText::from_file(dir.path() + "/a.cfg"));
  write_file(dir.path() + "/b.cfg", "[include missing.cfg]\n");
  EXPECT_THROW(sim::ConfigText::from_file(dir.path() + "/b.cfg"), klippy::ConfigError);
}

TEST(ConfigText, SyntaxErrorNamesFileAndLine) {
  try {
    sim::ConfigText::from_text("[ok]\nthis line has no separator\n", "bad.cfg", ".");
    FAIL() << "expected a configuration error";
  } catch (const klippy::ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("bad.cfg:2"), std::string::npos) << e.what();
  }
}

class ConfigGetters : public ::testing::Test {
 protected:
  void SetUp() override {
    host.start("[gcode_macro probe]\ngcode:\n  G4 P1\n");
    section = &host.host().printer().config().get_or_create("numbers");
  }
  klippy::ConfigSection& load(const std::string& text) {
    configs.push_back(std::make_unique<sim::SimConfig>(
        host.host().printer(), sim::ConfigText::from_text(text, "t.cfg", ".")));
    return *configs.back()->sections().front();
  }
  TestHost host;
  sim::SimConfigSection* section = nullptr;
  std::vector<std::unique_ptr<sim::SimConfig>> configs;
};

TEST_F(ConfigGetters, TypedGettersCheckValuesAndNameSectionAndOption) {
  auto& s = load("[stepper]\nmicrosteps: 16\nrotation_distance = 22.5\nflag: True\nmode: fast\n");
  EXPECT_EQ(s.getint("microsteps", {}, {.minval = 1}), 16);
  EXPECT_DOUBLE_EQ(s.getfloat("rotation_distance", {}, {.above = 0.0}), 22.5);
  EXPECT_TRUE(s.getboolean("flag"));
  EXPECT_EQ(s.getchoice("mode", {"fast", "slow"}), "fast");
  EXPECT_EQ(s.getint("absent", 7), 7);
  try {
    s.getint("microsteps", {}, {.maxval = 8});
    FAIL();
  } catch (const klippy::ConfigError& e) {
    EXPECT_STREQ(e.what(), "Option 'microsteps' in section 'stepper' must have maximum of 8");
  }
  try {
    s.get("missing");
    FAIL();
  } catch (const klippy::ConfigError& e) {
    EXPECT_STREQ(e.what(), "Option 'missing' in section 'stepper' must be specified");
  }
  EXPECT_THROW(s.getfloat("mode"), klippy::ConfigError);
  EXPECT_THROW(s.getchoice("mode", {"a", "b"}), klippy::ConfigError);
}

TEST(PrinterStart, OptionsNobodyReadsFailTheStartAndUnknownSectionsAreIgnored) {
  TestHost host;
  try {
    host.start("[idle_timeout]\ntimeout: 5\ntypo_option: 1\n");
    FAIL() << "expected a configuration error";
  } catch (const klippy::ConfigError& e) {
    EXPECT_STREQ(e.what(), "Option 'typo_option' is not valid in section 'idle_timeout'");
  }
  TestHost other;
  other.start("[some_future_section]\nanything: goes\n");
  EXPECT_EQ(other.host().printer().ignored_sections(),
            std::vector<std::string>{"some_future_section"});
}

TEST(PrinterStart, ObjectRegistryRefusesDuplicatesAndUnknownLookups) {
  TestHost host;
  host.start("");
  auto& printer = host.host().printer();
  EXPECT_THROW(printer.add_object("gcode", nullptr), klippy::ConfigError);
  try {
    printer.lookup_object<klippy::PrinterObject>("nothing here");
    FAIL();
  } catch (const klippy::ConfigError& e) {
    EXPECT_STREQ(e.what(), "Unknown config object 'nothing here'");
  }
  EXPECT_NE(printer.lookup_object_or_null<klippy::PrinterObject>("print_stats"), nullptr);
}

TEST(PrinterStart, ReadyEventRunsAfterEveryObjectExists) {
  TestHost host;
  bool saw_macro_at_ready = false;
  host.host().printer().register_event_handler("klippy:ready", [&] {
    saw_macro_at_ready = host.host().printer().find_object("gcode_macro LATE") != nullptr;
  });
  host.start("[gcode_macro LATE]\ngcode:\n  G4 P1\n");
  EXPECT_TRUE(saw_macro_at_ready);
}

TEST(PrinterStart, FixedProductPathsLiveUnderTheDataDirectory) {
  TestHost host;
  EXPECT_EQ(host.path("/home/zur/a.cfg"), host.data_dir() + "/home/zur/a.cfg");
  EXPECT_EQ(host.path("relative.cfg"), "relative.cfg");
}

}  // namespace
