// The status a front end reads and BOX_STATUS on the embedded printer: they follow where
// the filament really is, which motor follows the extruder, what the box is doing, its last
// error, and its heaters.
#include <gtest/gtest.h>

#include <set>

#include "sim/host/print_job.h"
#include "tests/extras/feedhub_session_fixture.h"

namespace {

using box_session::BoxSession;
using box_session::kGeometry;
using box_session::mentions;
using klippy::Value;

const Value& key(const Value& dict, const std::string& name) {
  const Value* found = dict.find(name);
  if (!found) throw std::runtime_error("no status key " + name);
  return *found;
}

const Value& slot_of(const Value& hub, int slot) {
  return key(hub, "slots").as_list().at(static_cast<size_t>(slot));
}

class BoxStatus : public ::testing::Test {
 protected:
  Value hub() { return box_.status("feedhub"); }
  Value lane(int slot) { return box_.status("feedlane slot" + std::to_string(slot)); }
  // Runs `line` and notes the status's action every 0.2 s meanwhile.
  std::set<std::string> actions_during(const std::string& line) {
    std::set<std::string> seen;
    klippy::Reactor& reactor = box_.host().reactor();
    auto timer = reactor.register_timer(
        [&](double eventtime) {
          const Value status = hub();
          seen.insert(key(status, "action").str() + " " + key(status, "action_slot").str() + " " +
                      key(status, "action_text").str());
          return eventtime + 0.2;
        },
        reactor.monotonic());
    box_.command(line);
    reactor.unregister_timer(timer);
    return seen;
  }

  BoxSession box_;
};

TEST_F(BoxStatus, AFreshBoxShowsEverySlotWithItsToolAndNothingLoaded) {
  const Value status = hub();
  const auto& entries = status.as_dict();
  ASSERT_GE(entries.size(), 3u);
  EXPECT_EQ(entries[0].first, Value("box_button_state"));
  EXPECT_EQ(entries[1].first, Value("b_endstop_state"));
  EXPECT_EQ(entries[2].first, Value("e_endstop_state"));
  EXPECT_EQ(key(status, "box_count"), Value(1));
  ASSERT_EQ(key(status, "slots").as_list().size(), 4u);
  for (int slot = 0; slot < 4; ++slot) {
    const Value& entry = slot_of(status, slot);
    EXPECT_EQ(key(entry, "label"), Value(std::string(1, '1') + static_cast<char>('A' + slot)));
    EXPECT_EQ(key(entry, "name"), Value("slot" + std::to_string(slot)));
    EXPECT_EQ(key(entry, "filament_present"), Value(true)) << "every slot holds a spool";
    EXPECT_EQ(key(entry, "follows_extruder"), Value(false));
    EXPECT_EQ(key(entry, "tools"), Value(Value::List{slot}));
    EXPECT_TRUE(key(entry, "filament").is_none());
  }
  Value::List tools;
  for (int tool = 0; tool < 16; ++tool) tools.emplace_back(tool);
  EXPECT_EQ(key(status, "tool_map"), Value(tools));
  EXPECT_EQ(key(status, "extruder_slot"), Value(-1));
  EXPECT_EQ(key(status, "action"), Value("idle"));
  EXPECT_EQ(key(key(status, "last_error"), "code"), Value(""));
  EXPECT_EQ(key(key(status, "last_error"), "retry_pending"), Value(false));
  const Value& box = key(status, "boxes").as_list().at(0);
  EXPECT_EQ(key(box, "heater"), Value("heater_box1"));
  EXPECT_EQ(key(box, "target"), Value(0.0));
  EXPECT_EQ(key(box, "drying"), Value(false));
}

TEST_F(BoxStatus, LoadsAndToolChangesShowWhereTheFilamentIsAndWhatTheBoxDoes) {
  const std::set<std::string> loading = actions_during("EXTRUDER_LOAD SLOT=slot1");
  EXPECT_TRUE(loading.count("extruder_load 1 loading 1B into the extruder"))
      << testing::PrintToString(loading);
  EXPECT_GT(box_.tip_mm(1), kGeometry.entry_mm());
  Value status = hub();
  EXPECT_EQ(key(status, "action"), Value("idle"));
  EXPECT_EQ(key(status, "extruder_slot"), Value(1));
  EXPECT_EQ(key(status, "extruder_slot_label"), Value("1B"));
  EXPECT_EQ(key(status, "e_endstop_state"), Value(1));
  EXPECT_EQ(key(slot_of(status, 1), "state_name"), Value("in_extruder"));
  EXPECT_EQ(key(slot_of(status, 1), "follows_extruder"), Value(true));
  EXPECT_EQ(key(lane(1), "state"), Value(2));
  EXPECT_EQ(key(lane(1), "follows_extruder"), Value(true));
  EXPECT_EQ(key(lane(0), "follows_extruder"), Value(false));

  // T2 cuts and withdraws slot 1, then loads slot 2: the coupling moves with the filament.
  const std::set<std::string> changing = actions_during("T2");
  EXPECT_TRUE(changing.count("extruder_unload 1 unloading 1B from the extruder"))
      << testing::PrintToString(changing);
  EXPECT_TRUE(changing.count("extruder_load 2 loading 1C into the extruder"));
  EXPECT_LT(box_.tip_mm(1), kGeometry.outlet_mm);
  EXPECT_GT(box_.tip_mm(2), kGeometry.entry_mm());
  status = hub();
  EXPECT_EQ(key(status, "extruder_slot"), Value(2));
  EXPECT_EQ(key(slot_of(status, 1), "state_name"), Value("parked"));
  EXPECT_EQ(key(slot_of(status, 1), "follows_extruder"), Value(false));
  EXPECT_EQ(key(slot_of(status, 2), "follows_extruder"), Value(true));
}

TEST_F(BoxStatus, AToolChangeBlockIsTheActionUntilItsEndOrTheEndOfItsPrint) {
  box_.command("TOOL_CHANGE_START F=0 T=1");
  EXPECT_EQ(key(hub(), "action"), Value("tool_change"));
  EXPECT_EQ(key(hub(), "action_text"), Value("changing tool T0 to T1"));
  box_.command("TOOL_CHANGE_END");
  EXPECT_EQ(key(hub(), "action"), Value("idle"));

  // A print that ends inside its block leaves no tool change behind.
  auto& job = box_.host().printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
  job.start("block.gcode", {"TOOL_CHANGE_START F=2 T=3", "G4 P20000"});
  box_.advance(5);
  EXPECT_EQ(key(hub(), "action_text"), Value("changing tool T2 to T3"));
  box_.host().run_until([&] { return !job.is_active(); }, 100);
  EXPECT_EQ(key(hub(), "action"), Value("idle"));
}

TEST_F(BoxStatus, AFailedStepStaysTheLastErrorAndShowsWhetherItsRetryWaits) {
  box_.command("SIM_FAULT SLOT=1 KIND=jam");
  const double before = box_.now();
  box_.command("EXTRUDER_LOAD SLOT=slot1");
  Value error = key(hub(), "last_error");
  EXPECT_EQ(key(error, "code"), Value("ZKE_004_006"));
  EXPECT_EQ(key(error, "message"), Value("Extruder loading failure."));
  EXPECT_EQ(key(error, "slot"), Value(1));
  EXPECT_EQ(key(error, "label"), Value("1B"));
  EXPECT_GE(key(error, "time").as_float(), before);
  EXPECT_EQ(key(error, "retry_pending"), Value(true));
  EXPECT_EQ(key(error, "retry_step"), Value("ZKE_004_006_1"));
  EXPECT_EQ(key(slot_of(hub(), 1), "state_name"), Value("extruder_failed"));

  box_.command("BOX_CLEAR_ERROR");
  error = key(hub(), "last_error");
  EXPECT_EQ(key(error, "code"), Value("ZKE_004_006"));
  EXPECT_EQ(key(error, "retry_pending"), Value(false));
  EXPECT_TRUE(key(error, "retry_step").is_none());
}

TEST(BoxStatusAfterRestart, AStepSavedBeforeTheRestartIsTheLastError) {
  BoxSession box(1, "[Variables]\nretry_step = 'ZKE_004_002_3'\n");
  const Value error = key(box.status("feedhub"), "last_error");
  EXPECT_EQ(key(error, "code"), Value("ZKE_004_002"));
  EXPECT_EQ(key(error, "message"), Value("Extruder has been loaded, cannot load 1D."));
  EXPECT_EQ(key(error, "label"), Value("1D"));
  EXPECT_TRUE(key(error, "time").is_none()) << "not known after a restart";
  EXPECT_EQ(key(error, "retry_pending"), Value(true));
}

TEST_F(BoxStatus, DryingShowsItsHeaterTargetAndTheTimeLeft) {
  box_.command("ENABLE_BOX_DRY BOX=1 TEMP=50 END_TIME=1");
  Value box = key(hub(), "boxes").as_list().at(0);
  EXPECT_EQ(key(box, "drying"), Value(true));
  EXPECT_EQ(key(box, "target"), Value(50.0));
  EXPECT_EQ(key(box, "dry_remaining_s"), Value(3600));
  EXPECT_EQ(key(slot_of(hub(), 3), "drying"), Value(true));
  box_.advance(600);
  box = key(hub(), "boxes").as_list().at(0);
  EXPECT_NEAR(key(box, "dry_remaining_s").as_float(), 3000, 2);
  EXPECT_GT(key(box, "temperature").as_float(), 30.0);
  box_.command("DISABLE_BOX_DRY BOX=1");
  box = key(hub(), "boxes").as_list().at(0);
  EXPECT_EQ(key(box, "drying"), Value(false));
  EXPECT_EQ(key(box, "target"), Value(0.0));
  EXPECT_EQ(key(slot_of(hub(), 3), "drying"), Value(false));
}

TEST_F(BoxStatus, SpoolDataShowsByNameWhetherReadFromTheTagOrSetByHand) {
  // The simulated spool of slot 2 is blue PLA, and its tag says so in codes.
  box_.command("RFID_READ SLOT=slot2");
  Value entry = slot_of(hub(), 2);
  EXPECT_EQ(key(entry, "filament"), Value(1));
  EXPECT_EQ(key(entry, "filament_name"), Value("PLA"));
  EXPECT_EQ(key(entry, "color"), Value(5));
  EXPECT_EQ(key(entry, "color_name"), Value("blue"));
  EXPECT_EQ(key(entry, "color_hex"), Value("#0050C8"));
  EXPECT_EQ(key(entry, "vendor"), Value(1));

  box_.command("BOX_SET_SLOT SLOT=1A FILAMENT=petg COLOR=light_blue");
  entry = slot_of(hub(), 0);
  EXPECT_EQ(key(entry, "filament_name"), Value("PETG"));
  EXPECT_EQ(key(entry, "color_name"), Value("light blue"));
  EXPECT_EQ(key(lane(0), "filament"), Value(2));
}

TEST_F(BoxStatus, BoxStatusDrawsSlotsToolsAndTheFilamentPath) {
  box_.command("BOX_SET_SLOT SLOT=1A FILAMENT=PLA COLOR=red");
  box_.command("LOAD_TOOL T=1");
  auto lines = box_.command("BOX_STATUS");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("// Box 1: heater ", 0), 0u) << lines[0];
  EXPECT_TRUE(
      mentions(lines, "1A   yes    inserted, not loaded  PLA       red          1       T0"))
      << testing::PrintToString(lines);
  EXPECT_TRUE(mentions(lines, "1B   yes    in the extruder"));
  EXPECT_TRUE(mentions(lines, "T1  <- extruder, follows it"));
  EXPECT_TRUE(mentions(
      lines, "// Filament path: slot 1B | box outlet: filament | extruder entry: filament"));
  EXPECT_TRUE(mentions(lines, "// Doing: nothing"));
  EXPECT_EQ(lines.back(), "// Last error: none");

  box_.command("SIM_FAULT SLOT=3 KIND=jam");
  box_.command("T3");
  lines = box_.command("BOX_STATUS");
  EXPECT_TRUE(mentions(lines, "1D   yes    extruder move failed")) << testing::PrintToString(lines);
  EXPECT_TRUE(mentions(lines, "// Last error: ZKE_004_006 (1D), "));
  EXPECT_TRUE(mentions(lines, "step ZKE_004_006_3 waits: TRY_MOVE_AGAIN repeats it"));
}

}  // namespace
