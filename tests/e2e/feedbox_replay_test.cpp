// Box records written by feedbox itself, and their replays: a clean record agrees with the
// model, a jam or a slipping feed gear shows where it happened; dumps are bounded and
// replace files atomically; the replay starts where the history began.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "apps/feedbox/record_file.h"
#include "apps/feedbox/replay_command.h"
#include "apps/feedbox/replay_start.h"
#include "apps/feedbox/run_command.h"
#include "apps/feedbox/session.h"
#include "klippy/extras/feedhub/black_box.h"
#include "klippy/host/file_writer.h"
#include "tests/support/test_host.h"

namespace {

namespace fs = std::filesystem;
using feedbox::RunItem;
using testing_support::TempDir;

constexpr const char* kConfigDir = "/home/zur/printer_data/config";
constexpr const char* kLogsDir = "/home/zur/printer_data/logs";

struct Output {
  int code;
  std::string out, err;
};

std::vector<std::string> dumps_in(const std::string& data_dir) {
  std::vector<std::string> dumps;
  for (const auto& entry : fs::directory_iterator(data_dir + kLogsDir))
    if (entry.path().filename().string().rfind("box_record_", 0) == 0)
      dumps.push_back(entry.path().string());
  std::sort(dumps.begin(), dumps.end());
  return dumps;
}

Output run(const std::string& data_dir, const std::vector<std::string>& commands) {
  feedbox::RunOptions options;
  options.data_dir = data_dir;
  for (const std::string& line : commands) options.items.push_back({RunItem::Kind::Command, line});
  std::ostringstream out, err;
  const int code = feedbox::run_simulation(options, out, err);
  return {code, out.str(), err.str()};
}

Output replay(const std::string& dump) {
  feedbox::ReplayOptions options;
  options.dump_path = dump;
  std::ostringstream out, err;
  const int code = feedbox::run_replay(options, out, err);
  return {code, out.str(), err.str()};
}

feedbox::RecordDump read_dump(const std::string& path) {
  std::ifstream in(path);
  return feedbox::read_record_dump(in, path);
}

TEST(BoxRecord, ADumpOfFeedboxReplaysWithoutDifference) {
  TempDir dir;
  const Output run_output = run(dir.path(), {"RUN_STEPPER STEPPER=1", "G4 P3000",
                                             "EXTRUDER_LOAD SLOT=slot0", "BOX_RECORD_DUMP"});
  ASSERT_EQ(run_output.code, 0) << run_output.err;
  const std::vector<std::string> dumps = dumps_in(dir.path());
  ASSERT_EQ(dumps.size(), 1U) << run_output.out;
  // The record holds what happened: slot 1's pull-back cleared its runout sensor, and the
  // load's strand passed the outlet and reached the extruder entry.
  const feedbox::RecordDump dump = read_dump(dumps[0]);
  std::vector<std::string> changes;
  for (const auto& e : dump.events)
    if (e.kind == feedbox::RecordEvent::Kind::Sensor && e.time > 1005.0)
      changes.push_back(e.sensor + (e.slot >= 0 ? std::to_string(e.slot) : "") +
                        (e.filament ? "+" : "-"));
  EXPECT_EQ(changes, (std::vector<std::string>{"runout1-", "outlet+", "entry+"}));
  EXPECT_EQ(dump.variables.at("slot0"), "2");

  const Output replayed = replay(dumps[0]);
  EXPECT_EQ(replayed.code, 0) << replayed.out << replayed.err;
  EXPECT_NE(replayed.out.find("[1] RUN_STEPPER STEPPER=1: as the model expects"), std::string::npos)
      << replayed.out;
  EXPECT_NE(replayed.out.find("[2] EXTRUDER_LOAD SLOT=slot0: as the model expects"),
            std::string::npos);
  EXPECT_NE(replayed.out.find("No differences"), std::string::npos);
}

// A print's extrusion between two box commands pushes the loaded strand on, and past the
// cutter; a check of a print file reads a file that the record does not hold.
TEST(BoxRecord, WhatThePrintDidBetweenBoxCommandsIsNoDifference) {
  auto record = [](const std::string& data_dir, const std::string& fault) {
    testing_support::write_file(data_dir + "/home/zur/printer_data/gcodes/part.gcode",
                                "; filament_type = PLA\nG1 X10\n");
    const Output output = run(data_dir, {"M109 S210", "G28", "M83", "EXTRUDER_LOAD SLOT=slot0",
                                         "G1 E60 F300", "BOX_PREFLIGHT FILE=part.gcode", fault,
                                         "EXTRUDER_UNLOAD SLOT=slot0", "BOX_RECORD_DUMP"});
    EXPECT_EQ(output.code, 0) << output.out << output.err;
    const std::vector<std::string> dumps = dumps_in(data_dir);
    return dumps.empty() ? std::string() : dumps.back();
  };
  TempDir healthy;
  const Output clean = replay(record(healthy.path(), "G4 P10"));
  EXPECT_EQ(clean.code, 0) << clean.out << clean.err;
  EXPECT_NE(clean.out.find("[3] EXTRUDER_UNLOAD SLOT=slot0: as the model expects"),
            std::string::npos)
      << clean.out;
  EXPECT_NE(clean.out.find("[2] BOX_PREFLIGHT FILE=part.gcode: not modelled: it reads a print "
                           "file, which the record does not hold"),
            std::string::npos)
      << clean.out;
  EXPECT_NE(clean.out.find("No differences: the record agrees with the model (1 command not "
                           "modelled)"),
            std::string::npos)
      << clean.out;

  // The same run with a feed gear that slips on the way back still shows it.
  TempDir slipping;
  const Output differs = replay(record(slipping.path(), "SIM_FAULT SLOT=0 KIND=slip RATIO=0.2"));
  EXPECT_EQ(differs.code, 1) << differs.out << differs.err;
  EXPECT_NE(differs.out.find("[3] EXTRUDER_UNLOAD SLOT=slot0: differs from the model\n    outlet "
                             "sensor changed"),
            std::string::npos)
      << differs.out;
  EXPECT_NE(differs.out.find("later than the model expects: slipping feed gear"), std::string::npos)
      << differs.out;
}

TEST(BoxRecord, AJamIsRecordedByTheErrorAndTheReplayShowsWhere) {
  TempDir dir;
  const Output run_output =
      run(dir.path(), {"SIM_FAULT SLOT=0 KIND=jam", "EXTRUDER_LOAD SLOT=slot0"});
  ASSERT_NE(run_output.out.find("ZKE_004_006"), std::string::npos) << run_output.out;
  // The error report wrote the record by itself, with the failed step saved.
  const std::vector<std::string> dumps = dumps_in(dir.path());
  ASSERT_EQ(dumps.size(), 1U);
  const feedbox::RecordDump dump = read_dump(dumps[0]);
  EXPECT_EQ(dump.reason, "ZKE_004_006_0");
  EXPECT_EQ(dump.variables.at("retry_step"), "'ZKE_004_006_0'");

  const Output replayed = replay(dumps[0]);
  EXPECT_EQ(replayed.code, 1) << replayed.out << replayed.err;
  EXPECT_NE(replayed.out.find("outlet sensor never saw filament arrive; the model expects it "
                              "after 348 mm of slot0 feed: jammed or tangled filament"),
            std::string::npos)
      << replayed.out;
  EXPECT_NE(replayed.out.find("the box reported ZKE_004_006 where the model expects none"),
            std::string::npos);
}

TEST(BoxRecord, ASlippingFeedGearShowsAsALateSensorChange) {
  TempDir dir;
  run(dir.path(),
      {"SIM_FAULT SLOT=0 KIND=slip RATIO=0.1", "EXTRUDER_LOAD SLOT=slot0", "BOX_RECORD_DUMP"});
  const std::vector<std::string> dumps = dumps_in(dir.path());
  ASSERT_FALSE(dumps.empty());
  // 340 mm from the runout sensor's side to the outlet take 378 mm of a gear that slips 10 %.
  const Output replayed = replay(dumps.front());
  EXPECT_EQ(replayed.code, 1);
  EXPECT_NE(replayed.out.find("[1] EXTRUDER_LOAD SLOT=slot0: differs from the model\n    outlet "
                              "sensor changed 38 mm later than the model expects: slipping feed "
                              "gear or a longer tube"),
            std::string::npos)
      << replayed.out;
}

TEST(BoxRecord, DumpsAreBoundedAndReplacedWhole) {
  TempDir dir;
  std::vector<std::string> commands(feedhub::kMaxRecordDumps + 3, "BOX_RECORD_DUMP");
  const Output output = run(dir.path(), commands);
  const std::vector<std::string> dumps = dumps_in(dir.path());
  ASSERT_EQ(dumps.size(), static_cast<std::size_t>(feedhub::kMaxRecordDumps)) << output.out;
  // The oldest went; the newest is number 13, and no temporary file is left.
  EXPECT_EQ(fs::path(dumps.front()).filename(), "box_record_000004.jsonl");
  EXPECT_EQ(fs::path(dumps.back()).filename(), "box_record_000013.jsonl");
  for (const auto& entry : fs::directory_iterator(dir.path() + kLogsDir))
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  for (const std::string& dump : dumps) EXPECT_NO_THROW(read_dump(dump));
}

// Older versions wrote their records next to the saved variables: they stay readable
// there, a new record takes the next number after them, and they count among the kept.
TEST(BoxRecord, RecordsOfTheConfigFolderStayAndCountAmongTheKept) {
  TempDir dir;
  const std::string old_folder = dir.path() + kConfigDir;
  fs::create_directories(old_folder);
  for (const char* name : {"box_record_000006.jsonl", "box_record_000007.jsonl"})
    testing_support::write_file(old_folder + "/" + name, "{}\n");
  run(dir.path(), {"BOX_RECORD_DUMP"});
  EXPECT_TRUE(fs::exists(old_folder + "/box_record_000007.jsonl"));
  EXPECT_EQ(dumps_in(dir.path()),
            std::vector<std::string>{dir.path() + kLogsDir + "/box_record_000008.jsonl"});
  std::vector<std::string> more(feedhub::kMaxRecordDumps - 2, "BOX_RECORD_DUMP");
  run(dir.path(), more);
  EXPECT_FALSE(fs::exists(old_folder + "/box_record_000006.jsonl"));
  EXPECT_TRUE(fs::exists(old_folder + "/box_record_000007.jsonl"));
}

TEST(BoxRecord, AFailedWriteKeepsTheOldDumpsAndSaysWhatToDo) {
  TempDir dir;
  std::vector<std::string> responses;
  feedbox::SessionOptions options;
  options.data_dir = dir.path();
  options.output = [&](const std::string& text) { responses.push_back(text); };
  feedbox::Session session(options);
  session.advance(5);
  session.run_command("BOX_RECORD_DUMP");
  const std::vector<std::string> before = dumps_in(dir.path());
  ASSERT_EQ(before.size(), 1U);
  const std::string first = testing_support::read_file(before[0]);
  session.host().printer().file_writer().set_fsync_hook(
      [] { throw std::runtime_error("No space left on device"); });
  session.run_command("BOX_RECORD_DUMP");
  ASSERT_FALSE(responses.empty());
  EXPECT_EQ(responses.back().rfind("!! The box record could not be written: ", 0), 0U)
      << responses.back();
  EXPECT_NE(responses.back().find("No space left on device"), std::string::npos);
  EXPECT_EQ(dumps_in(dir.path()), before);
  EXPECT_EQ(testing_support::read_file(before[0]), first);
  // The host goes on: an error report after the failure still records.
  session.host().printer().file_writer().set_fsync_hook({});
  session.run_command("MOTION_TIPS");
  EXPECT_EQ(dumps_in(dir.path()).size(), 2U);
}

TEST(BoxRecord, AStartRemovesWhatKilledWritesOfRecordsAndTheBoxConfigurationLeft) {
  TempDir dir;
  const std::string folder = dir.path() + kConfigDir;
  fs::create_directories(folder);
  const std::vector<std::string> leftovers = {".box_record_000003.jsonl.tmp123456",
                                              ".box_record_000001.jsonl.tmp7", ".box.cfg.tmp42"};
  const std::vector<std::string> kept = {"box_record_000002.jsonl", ".box_record_000003.jsonl.tmpx",
                                         ".notes.cfg.tmp1", ".box_record_x.jsonl.tmp1"};
  for (const std::string& name : leftovers) testing_support::write_file(folder + "/" + name, "{");
  for (const std::string& name : kept) testing_support::write_file(folder + "/" + name, "{");
  feedbox::SessionOptions options;
  options.data_dir = dir.path();
  feedbox::Session session(options);
  for (const std::string& name : leftovers) EXPECT_FALSE(fs::exists(folder + "/" + name)) << name;
  for (const std::string& name : kept) EXPECT_TRUE(fs::exists(folder + "/" + name)) << name;
}

// A record the box could not have written is refused with exit status 2 before anything
// runs: absurd times would keep the replay waiting for ever, out-of-range numbers would be
// read as nonsense, and a command that is not the box's would print, restart or save.
TEST(BoxRecord, ARecordTheBoxCouldNotHaveWrittenIsRefused) {
  TempDir dir;
  const std::string path = dir.path() + "/record.jsonl";
  const std::string header = R"({"record":"header","format":1,"reason":"r","time":1020.0})";
  const std::string rest = R"({"record":"config","slots":["slot0","slot1","slot2","slot3"]}
{"record":"variables","values":{"box_count":"1"}}
{"seq":1,"time":1000.0,"record":"ready","print_time":0.0}
)";
  auto command = [](const std::string& line, const std::string& time = "1010.0") {
    return R"({"seq":2,"time":)" + time + R"(,"record":"command","line":")" + line +
           R"(","depth":0,"by_box":false}
{"seq":3,"time":1010.0,"record":"command_end","start_seq":2,"ok":true}
)";
  };
  auto replay_of = [&](const std::string& text) {
    testing_support::write_file(path, text);
    return replay(path);
  };
  EXPECT_EQ(replay_of(header + "\n" + rest + command("box_status")).code, 0);

  for (const char* time :
       {"1e15", "1e300", "-1e300", "18446744073709551615", "-9223372036854775808"}) {
    const Output refused = replay_of(header + "\n" + rest + command("BOX_STATUS", time));
    EXPECT_EQ(refused.code, 2) << time;
    EXPECT_NE(refused.err.find("line 5 is not a record of the box (time "), std::string::npos)
        << refused.err;
  }
  const std::string move =
      R"({"seq":4,"time":1010.0,"record":"move","slot":SLOT,"distance":10,"speed":50,"accel":50,"start":10,"end":11})";
  for (const std::string& bad :
       {std::string(R"({"record":"header","format":"abc","time":1020.0})") + "\n" + rest,
        std::string(R"({"record":"header","format":2,"time":1020.0})") + "\n" + rest,
        header + "\n" + rest + std::regex_replace(move, std::regex("SLOT"), "1e300") + "\n",
        header + "\n" + rest + std::regex_replace(move, std::regex("SLOT"), "16") + "\n",
        header + "\n" + rest + R"({"seq":4,"time":1010.0,"record":"error","code":1e300})" + "\n",
        header + "\n" + R"({"record":"config","slots":["slot99999999999"]})" + "\n"}) {
    const Output refused = replay_of(bad);
    EXPECT_EQ(refused.code, 2) << bad;
    EXPECT_TRUE(refused.out.empty()) << refused.out;
  }
  EXPECT_NE(replay_of(std::string(R"({"record":"header","format":2})") + "\n" + rest)
                .err.find("format 2, which this feedbox cannot read"),
            std::string::npos);

  for (const char* foreign : {"SDCARD_PRINT_FILE FILENAME=x.gcode", "FIRMWARE_RESTART",
                              "SAVE_VARIABLE VARIABLE=slot0 VALUE=2"}) {
    const Output refused = replay_of(header + "\n" + rest + command(foreign));
    EXPECT_EQ(refused.code, 2) << foreign;
    EXPECT_NE(refused.err.find("which is no box command"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out.find("[1]"), std::string::npos) << refused.out;
  }
}

TEST(BoxRecord, TheReplayStartsWhereTheHistoryBegan) {
  feedbox::RecordDump dump;
  dump.dropped = 500;
  dump.slots = {"slot0", "slot1", "slot2", "slot3"};
  dump.variables = {{"slot0", "1"}, {"slot1", "2"}, {"slot2", "3"}, {"box_count", "1"}};
  dump.start_sensors = {{"slot3", false}, {"entry", true}};
  // Within the history slot 2 was loaded into the box, and slot 1 was coupled.
  feedbox::RecordEvent slot2;
  slot2.kind = feedbox::RecordEvent::Kind::Variable;
  slot2.text = "slot2";
  slot2.value = "3";
  slot2.old = "1";
  feedbox::RecordEvent sync;
  sync.kind = feedbox::RecordEvent::Kind::Variable;
  sync.text = "slot_sync";
  sync.value = "'slot1'";
  dump.events = {slot2, sync};
  dump.variables["slot_sync"] = "'slot1'";

  const feedbox::ReplayStart start = feedbox::replay_start(dump);
  EXPECT_FALSE(start.from_host_start);
  EXPECT_EQ(start.boxes, 1);
  EXPECT_EQ(start.variables.at("slot2"), klippy::Value(1));
  EXPECT_EQ(start.variables.count("slot_sync"), 0U);
  EXPECT_DOUBLE_EQ(start.slots.at(0).tip_mm, 90.0);    // parked: 260 mm behind the outlet
  EXPECT_DOUBLE_EQ(start.slots.at(1).tip_mm, 1352.0);  // past the extruder-entry sensor
  EXPECT_DOUBLE_EQ(start.slots.at(2).tip_mm, 90.0);
  EXPECT_FALSE(start.slots.at(3).spool);
  const std::string world = feedbox::replay_world_file(1, start);
  EXPECT_NE(world.find("slot1_tip_mm: 1352.0\n"), std::string::npos) << world;
  EXPECT_EQ(world.find("slot3_spool"), std::string::npos);

  // Saved values that no box could have moved by leave the strands where the box's own
  // defaults would, instead of sending the simulated path to absurd lengths.
  dump.events.clear();
  dump.variables["slot_load_length_3"] = "1e300";
  dump.variables["slot2"] = "1e300";
  const feedbox::ReplayStart odd = feedbox::replay_start(dump);
  EXPECT_DOUBLE_EQ(odd.slots.at(0).tip_mm, 90.0);
  EXPECT_DOUBLE_EQ(odd.slots.at(2).tip_mm, 10.0);
  ASSERT_FALSE(odd.notes.empty());
  EXPECT_NE(odd.notes.front().find("slot_load_length_3 is no length the box moves by"),
            std::string::npos)
      << odd.notes.front();
}

}  // namespace
