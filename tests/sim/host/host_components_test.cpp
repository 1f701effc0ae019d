#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "klippy/host/components.h"
#include "klippy/host/errors.h"
#include "sim/host/print_job.h"
#include "tests/support/test_host.h"

namespace {

using Lines = std::vector<std::string>;
using testing_support::read_file;
using testing_support::TestHost;
using testing_support::write_file;

constexpr const char* kVarsPath = "/home/zur/printer_data/config/saved_variables.cfg";
const std::string kSaveConfig = std::string("[save_variables]\nfilename: ") + kVarsPath + "\n";

TEST(SaveVariables, WritesSortedLiteralsAndReloads) {
  TestHost host;
  host.start(kSaveConfig);
  host.command("SAVE_VARIABLE VARIABLE=slot_sync VALUE=\"'slot-1'\"");
  host.command("SAVE_VARIABLE VARIABLE=box_count VALUE=1");
  host.command("SAVE_VARIABLE VARIABLE=retry_step VALUE=None");
  host.command("SAVE_VARIABLE VARIABLE=nested VALUE=\"{'a': [1, 2.5]}\"");
  EXPECT_EQ(read_file(host.path(kVarsPath)),
            "[Variables]\nbox_count = 1\nnested = {'a': [1, 2.5]}\nretry_step = None\n"
            "slot_sync = 'slot-1'\n\n");
  auto& vars = host.host().printer().lookup_object<klippy::SaveVariables>("save_variables");
  EXPECT_EQ(vars.all_variables().at("box_count"), klippy::Value(1));
  EXPECT_TRUE(vars.all_variables().at("retry_step").is_none());
}

TEST(SaveVariables, MalformedCommandsChangeNothing) {
  TestHost host;
  host.start(kSaveConfig);
  host.command("SAVE_VARIABLE VARIABLE=x VALUE=5");
  std::string before = read_file(host.path(kVarsPath));
  EXPECT_EQ(host.command("SAVE_VARIABLE VARIABLE=y VALUE=[1,"),
            (Lines{"!! Unable to parse '[1,' as a literal"}));
  EXPECT_EQ(host.command("SAVE_VARIABLE VARIABLE=Y VALUE=1"),
            (Lines{"!! VARIABLE must not contain upper case"}));
  EXPECT_EQ(host.command("SAVE_VARIABLE VALUE=1"),
            (Lines{"!! Error on 'SAVE_VARIABLE VALUE=1': missing VARIABLE"}));
  EXPECT_EQ(host.command("SAVE_VARIABLE VARIABLE=z VALUE=__import__('os')").size(), 1u);
  EXPECT_EQ(read_file(host.path(kVarsPath)), before);
}

TEST(SaveVariables, NamesAndValuesThatWouldNotReadBackAreRefusedBeforeWriting) {
  TestHost host;
  host.start(kSaveConfig);
  host.command("SAVE_VARIABLE VARIABLE=box_count VALUE=1");
  host.command("SAVE_VARIABLE VARIABLE=slot0 VALUE=1");
  const std::string before = read_file(host.path(kVarsPath));
  // "[x]" would read back as a section header and hide every key after it.
  for (const std::string name :
       {"[x]", "a:b", "a=b", "\"[x\"", "\"a b\"", "\" x\"", "\"\"", "caf\xc3\xa9", "a.b"}) {
    const Lines lines = host.command("SAVE_VARIABLE VARIABLE=" + name + " VALUE=5");
    ASSERT_EQ(lines.size(), 1u) << name;
    EXPECT_EQ(lines[0].rfind("!! VARIABLE '", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("use only lower-case letters, digits and '_'"), std::string::npos);
  }
  for (const std::string value : {"1e999", "-1e999", "[1e999]", "{'a': (1, 1e400)}"}) {
    EXPECT_EQ(host.command("SAVE_VARIABLE VARIABLE=x VALUE=\"" + value + "\""),
              (Lines{"!! Unable to parse '" + value + "' as a literal"}));
  }
  EXPECT_EQ(read_file(host.path(kVarsPath)), before);
  host.restart(kSaveConfig);
  auto& vars = host.host().printer().lookup_object<klippy::SaveVariables>("save_variables");
  EXPECT_EQ(vars.all_variables().size(), 2u);
}

TEST(SaveVariables, AnInfinityInTheFileFailsTheStartNamingKeyAndLine) {
  TestHost host;
  const std::string text = "[Variables]\nslot0 = 1\nbig = 1e999\n";
  write_file(host.path(kVarsPath), text);
  try {
    host.start(kSaveConfig);
    FAIL() << "start-up should fail";
  } catch (const klippy::ConfigError& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find("line 3: big = 1e999 reads as inf, which cannot be saved again; "
                           "correct or delete that line"),
              std::string::npos)
        << message;
  }
  EXPECT_EQ(read_file(host.path(kVarsPath)), text);
}

TEST(SaveVariables, AStartRemovesTheTemporaryFilesOfAKilledWriter) {
  TestHost host;
  const std::string vars = host.path(kVarsPath);
  const std::string folder = std::filesystem::path(vars).parent_path().string();
  write_file(vars, "[Variables]\nslot0 = 1\n");
  write_file(folder + "/.saved_variables.cfg.tmp123456", "[Variables]\nslot0 = ");
  write_file(folder + "/.saved_variables.cfg.tmp7", "");
  write_file(folder + "/.saved_variables.cfg.tmpx", "not ours");
  write_file(folder + "/.box.cfg.tmp1", "not ours either");
  host.start(kSaveConfig);
  EXPECT_FALSE(std::filesystem::exists(folder + "/.saved_variables.cfg.tmp123456"));
  EXPECT_FALSE(std::filesystem::exists(folder + "/.saved_variables.cfg.tmp7"));
  EXPECT_TRUE(std::filesystem::exists(folder + "/.saved_variables.cfg.tmpx"));
  EXPECT_TRUE(std::filesystem::exists(folder + "/.box.cfg.tmp1"));
  EXPECT_EQ(read_file(vars), "[Variables]\nslot0 = 1\n");
}

TEST(SaveVariables, AByteOrderMarkIsNamedInTheStartError) {
  TestHost host;
  write_file(host.path(kVarsPath), "\xEF\xBB\xBF[Variables]\nslot0 = 1\n");
  try {
    host.start(kSaveConfig);
    FAIL() << "start-up should fail";
  } catch (const klippy::ConfigError& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find("byte-order mark (bytes EF BB BF)"), std::string::npos) << message;
    EXPECT_EQ(message.find("\xEF"), std::string::npos) << "no invisible character";
  }
}

TEST(SaveVariables, UnparsableFileFailsTheStartAndIsKept) {
  TestHost host;
  std::string broken = "[Variables]\ngood = 1\nbad = [1,\n";
  write_file(host.path(kVarsPath), broken);
  try {
    host.start(kSaveConfig);
    FAIL() << "start-up should fail";
  } catch (const klippy::ConfigError& e) {
    std::string message = e.what();
    EXPECT_NE(message.find("Unable to parse existing variable file"), std::string::npos);
    EXPECT_NE(message.find("line 3"), std::string::npos) << message;
  }
  EXPECT_EQ(read_file(host.path(kVarsPath)), broken);
}

TEST(SaveVariables, MissingFileIsCreatedEmpty) {
  TestHost host;
  host.start(kSaveConfig);
  EXPECT_TRUE(std::filesystem::exists(host.path(kVarsPath)));
  EXPECT_TRUE(host.host()
                  .printer()
                  .lookup_object<klippy::SaveVariables>("save_variables")
                  .all_variables()
                  .empty());
}

const std::string kMacros =
    "[gcode_macro SAY]\nvariable_word: 'hello'\ngcode:\n  RESPOND_ECHO TEXT={word}-{params.NAME}\n"
    "[gcode_macro LOOP]\ngcode:\n  LOOP\n"
    "[gcode_macro PICK]\ngcode:\n"
    "  RESPOND_ECHO TEXT={params.T|default('none')}:{params.N|int}:{params.X|d(params.N)|int}\n";

class Macros : public ::testing::Test {
 protected:
  void SetUp() override {
    host.start(kMacros);
    static_cast<klippy::GCodeDispatch&>(host.host().gcode())
        .register_command("RESPOND_ECHO",
                          [](klippy::GCodeCommand& g) { g.respond_info(g.get("TEXT")); });
  }
  TestHost host;
};

TEST_F(Macros, SubstituteParametersAndVariables) {
  EXPECT_EQ(host.command("SAY NAME=box"), (Lines{"// hello-box"}));
  host.command("SET_GCODE_VARIABLE MACRO=SAY VARIABLE=word VALUE=\"'bye'\"");
  EXPECT_EQ(host.command("SAY NAME=x"), (Lines{"// bye-x"}));
  EXPECT_EQ(host.command("SET_GCODE_VARIABLE MACRO=SAY VARIABLE=nope VALUE=1"),
            (Lines{"!! Unknown gcode_macro variable 'nope'"}));
  EXPECT_EQ(host.command("SET_GCODE_VARIABLE MACRO=SAY VARIABLE=word VALUE=[").size(), 1u);
  EXPECT_EQ(host.command("LOOP").back(), "!! Macro LOOP called recursively");
}

// As in the host's templates: default() replaces only what is undefined, int reads a
// number from a text (0 when there is none).
TEST_F(Macros, DefaultAndIntFiltersWorkAsInTheHostsTemplates) {
  EXPECT_EQ(host.command("PICK N=3.7"), (Lines{"// none:3:3"}));
  EXPECT_EQ(host.command("PICK T=slot2 N=abc X=12"), (Lines{"// slot2:0:12"}));
  EXPECT_EQ(host.command("PICK T= N=-4"), (Lines{"// :-4:-4"}));
}

class PrintJob : public ::testing::Test {
 protected:
  void SetUp() override {
    host.start("[virtual_sdcard]\npath: /tmp\n");
    job = &host.host().printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
    static_cast<klippy::GCodeDispatch&>(host.host().gcode())
        .register_command("STEP", [this](klippy::GCodeCommand& g) { steps.push_back(g.get("N")); });
  }
  std::string state() {
    return host.host().printer().lookup_object<klippy::PrintStats>("print_stats").state();
  }
  TestHost host;
  sim::SimPrintJob* job = nullptr;
  std::vector<std::string> steps;
};

TEST_F(PrintJob, RunsEveryLineAndCompletes) {
  job->start("demo", {"STEP N=1", "G4 P1", "STEP N=2"});
  EXPECT_EQ(state(), "printing");
  host.host().run_until([&] { return !job->is_active(); }, 60);
  EXPECT_EQ(steps, (Lines{"1", "2"}));
  EXPECT_EQ(state(), "complete");
}

TEST_F(PrintJob, PauseStopsBeforeTheNextLineAndResumeContinues) {
  job->start("demo", {"STEP N=1", "PAUSE", "STEP N=2"});
  host.host().run_until([&] { return job->is_paused(); }, 60);
  host.host().advance(5);
  EXPECT_EQ(steps, (Lines{"1"}));
  EXPECT_EQ(state(), "paused");
  EXPECT_EQ(host.command("PAUSE"), (Lines{"// Print already paused"}));
  host.command("RESUME");
  host.host().run_until([&] { return !job->is_active(); }, 60);
  EXPECT_EQ(steps, (Lines{"1", "2"}));
  EXPECT_EQ(state(), "complete");
}

// The host says it has read the whole file, and only then: not after a cancel, and not
// while a pause taken in the last line holds the print.
TEST_F(PrintJob, DonePrintingFileIsSaidAtTheEndOfTheFileOnly) {
  job->start("demo", {"STEP N=1", "PAUSE"});
  host.host().run_until([&] { return job->is_paused(); }, 60);
  host.host().advance(5);
  EXPECT_TRUE(job->is_active());
  EXPECT_EQ(state(), "paused");
  EXPECT_THAT(host.output(), testing::Not(testing::Contains("Done printing file")));
  host.command("RESUME");
  host.host().run_until([&] { return !job->is_active(); }, 60);
  EXPECT_EQ(state(), "complete");
  EXPECT_EQ(std::count(host.output().begin(), host.output().end(), "Done printing file"), 1);

  host.output().clear();
  job->start("cancelled", {"STEP N=1", "PAUSE", "STEP N=2"});
  host.host().run_until([&] { return job->is_paused(); }, 60);
  host.command("CANCEL_PRINT");
  host.host().run_until([&] { return !job->is_active(); }, 60);
  EXPECT_EQ(state(), "cancelled");
  EXPECT_THAT(host.output(), testing::Not(testing::Contains("Done printing file")));
}

TEST_F(PrintJob, AFailingLineEndsThePrintInError) {
  job->start("demo", {"STEP N=1", "STEP", "STEP N=3"});
  host.host().run_until([&] { return !job->is_active(); }, 60);
  EXPECT_EQ(steps, (Lines{"1"}));
  EXPECT_EQ(state(), "error");
  EXPECT_EQ(host.command("RESUME"), (Lines{"// Print is not paused, resume aborted"}));
  job->start("again", {"G4 P100000"});
  EXPECT_THROW(job->start("twice", {}), klippy::CommandError);
}

}  // namespace
