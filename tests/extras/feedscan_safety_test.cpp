// Box detection never harms a print, never acts on one box's data for another, and says
// once, not every poll, what it cannot do.
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/host/print_job.h"
#include "tests/extras/feedscan_session.h"

namespace {

using testing_support::ScanSession;
using testing_support::usb_link;
using testing_support::write_file;

constexpr const char* kImageFolder = "/home/zur/";

void put_image(ScanSession& scan, const std::string& version, const std::string& bytes = "image") {
  for (const auto& entry : std::filesystem::directory_iterator(scan.path(kImageFolder))) {
    if (entry.path().filename().string().rfind("mcu_box_to_v1", 0) == 0)
      std::filesystem::remove(entry.path());
  }
  write_file(scan.path(kImageFolder) + "mcu_box_to_v1_" + version + ".bin", bytes);
}

bool flashed(ScanSession& scan) {
  return std::filesystem::exists(scan.path(feedbox::kFlashLog));
}

TEST(FeedscanSafety, APausedPrintIsNotRewrittenFlashedOrRestartedUntilItEnds) {
  ScanSession scan(1);
  scan.poll_for(1);
  auto& job = scan.session->host().printer().lookup_object<sim::SimPrintJob>("virtual_sdcard");
  job.start("paused.gcode", {"PAUSE", "G4 P1000"});
  scan.session->host().run_until([&] { return job.is_paused(); }, 60);
  ASSERT_TRUE(job.is_paused());

  const std::string live = scan.live();
  scan.command("SIM_USB ACTION=plug BOX=2");
  put_image(scan, "1.2.3");
  scan.session->advance(60);
  EXPECT_EQ(scan.session->restarts(), 0);
  EXPECT_EQ(scan.live(), live);
  EXPECT_FALSE(flashed(scan));
  EXPECT_TRUE(
      scan.session->host().printer().lookup_object<sim::SimPrintJob>("virtual_sdcard").is_paused());

  scan.command("CANCEL_PRINT");
  scan.session->advance(80);
  EXPECT_TRUE(flashed(scan));
  EXPECT_GE(scan.session->restarts(), 1);
  EXPECT_TRUE(scan.has_object("feedlane slot7"));
}

TEST(FeedscanSafety, FirmwareVersionsCompareNumberByNumber) {
  ScanSession scan(1);
  scan.poll_for(1);
  scan.command("SIM_USB ACTION=plug BOX=1 VERSION=1.1.0");
  put_image(scan, "1.0.10");
  scan.session->advance(40);
  EXPECT_FALSE(flashed(scan)) << "1.0.10 is older than 1.1.0";
  EXPECT_NE(scan.live().find(usb_link(1, "1.1.0")), std::string::npos);

  scan.command("SIM_USB ACTION=plug BOX=1 VERSION=1.0.10");
  put_image(scan, "1.2.3");
  scan.session->advance(40);
  ASSERT_TRUE(flashed(scan));
  EXPECT_NE(scan.file(feedbox::kFlashLog).find("mcu_box_to_v1_1.2.3.bin " + usb_link(1, "1.0.10")),
            std::string::npos);
}

TEST(FeedscanSafety, AnImageWhoseVersionDoesNotParseIsNeverFlashed) {
  ScanSession scan(1);
  scan.poll_for(1);
  scan.command("SIM_USB ACTION=plug BOX=2 VERSION=2.0.0");
  write_file(scan.path(kImageFolder) + "mcu_box_to_v1_latest.bin", "image");
  scan.session->advance(40);
  EXPECT_FALSE(flashed(scan));
}

TEST(FeedscanSafety, ABoxWithoutAVersionInItsLinkStaysConfiguredAndIsNotFlashed) {
  ScanSession scan(0);
  put_image(scan, "1.2.3");
  scan.command("SIM_USB ACTION=plug BOX=1 VERSION=none");
  scan.session->advance(12);
  EXPECT_EQ(scan.session->restarts(), 1);
  EXPECT_NE(scan.live().find(usb_link(1, "none")), std::string::npos);
  scan.poll_for(30);
  EXPECT_EQ(scan.session->restarts(), 1);
  EXPECT_FALSE(flashed(scan));
  EXPECT_NE(scan.variables().find("box_count = 1\n"), std::string::npos);
}

TEST(FeedscanSafety, UnpluggingBoxOneForgetsWhatWasSavedForTheMovedBox) {
  ScanSession scan(2);
  scan.poll_for(1);
  for (const char* line : {"SAVE_VARIABLE VARIABLE=filament_slot0 VALUE=3",
                           "SAVE_VARIABLE VARIABLE=value_t0 "
                           "VALUE=\"'slot1'\"",
                           "SAVE_VARIABLE VARIABLE=color_slot5 VALUE=\"'00ff00'\"",
                           "SAVE_VARIABLE VARIABLE=value_t3 VALUE=\"'slot6'\"",
                           "SAVE_VARIABLE VARIABLE=value_t9 VALUE=\"'slot9'\""})
    scan.command(line);
  scan.output.clear();
  scan.command("SIM_USB ACTION=unplug BOX=1");
  scan.poll_for(12);
  ASSERT_EQ(scan.session->restarts(), 1);
  EXPECT_EQ(scan.live().find(usb_link(1)), std::string::npos);
  EXPECT_NE(scan.live().find("[mcu mcu_box1]\nserial : " + usb_link(2)), std::string::npos);
  const std::string variables = scan.variables();
  for (const char* key : {"filament_slot0", "value_t0", "color_slot5", "value_t3"})
    EXPECT_EQ(variables.find(std::string(key) + " ="), std::string::npos) << key << variables;
  EXPECT_NE(variables.find("value_t9 = 'slot9'"), std::string::npos) << variables;
  EXPECT_EQ(scan.output_count("Box 1 now is " + usb_link(2)), 1);
  EXPECT_EQ(scan.output_count("Box 2 now is unplugged"), 1);
  EXPECT_EQ(scan.log_count("slots 0 to 3 are forgotten"), 1);
}

TEST(FeedscanSafety, ABoxGivenAnotherNumberTakesItsSpoolsAlong) {
  ScanSession scan(2);
  scan.poll_for(1);
  // Box 2's second slot is empty, every slot of box 1 holds a spool.
  scan.command("SIM_SPOOL SLOT=5 ACTION=remove");
  scan.command("SIM_USB ACTION=unplug BOX=1");
  scan.poll_for(12);
  ASSERT_EQ(scan.session->restarts(), 1);
  ASSERT_NE(scan.live().find("[mcu mcu_box1]\nserial : " + usb_link(2)), std::string::npos);
  const klippy::Value status(scan.session->host().collect_status());
  // The runout button of an empty slot is pressed.
  auto empty = [&](const char* lane) {
    return status.find(lane)->find("runout_button")->as_int() == 1;
  };
  EXPECT_FALSE(empty("feedlane slot0"));
  EXPECT_TRUE(empty("feedlane slot1")) << "box 1 is the box whose second slot is empty";
  scan.output.clear();
  scan.command("SIM_STATE");
  const std::string state = scan.output.empty() ? "" : scan.output[0];
  EXPECT_NE(state.find("slot1 (1B): no spool"), std::string::npos) << state;
  EXPECT_NE(state.find("slot5 (2B): PLA"), std::string::npos) << "the unplugged box keeps its own";
}

TEST(FeedscanSafety, PluggingABoxIntoAnEarlierPortRenumbersNoOther) {
  ScanSession scan(1);
  scan.poll_for(1);
  scan.command("SAVE_VARIABLE VARIABLE=filament_slot1 VALUE=4");
  scan.command("SIM_USB ACTION=unplug BOX=1");
  scan.command("SIM_USB ACTION=plug BOX=1 PORT=5");
  // Box 2 on port 1 is listed first, as libudev lists devices by their USB path.
  scan.command("SIM_USB ACTION=plug BOX=2 PORT=1");
  const auto devices = scan.session->host()
                           .printer()
                           .lookup_object<sim::SimUsbBoxes>("system_services")
                           .list_tty_devices();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].devlinks.back(), usb_link(2));
  scan.output.clear();
  scan.poll_for(12);
  ASSERT_EQ(scan.session->restarts(), 1);
  EXPECT_NE(scan.live().find("[mcu mcu_box1]\nserial : " + usb_link(1)), std::string::npos);
  EXPECT_NE(scan.live().find("[mcu mcu_box2]\nserial : " + usb_link(2)), std::string::npos);
  EXPECT_NE(scan.variables().find("filament_slot1 = 4"), std::string::npos);
  EXPECT_EQ(scan.output_count("Box 1 now is"), 0);
  EXPECT_EQ(scan.output_count("Box 2 now is " + usb_link(2)), 1);
}

TEST(FeedscanSafety, ARefusedTemplateChangesNoFileAndIsReportedOnce) {
  ScanSession scan(1, [](const std::string& dir) {
    write_file(dir + "/home/zur/cfg_with_2", "[include box1.cfg]\n[mcu mcu_box1]\nserial: x\n");
  });
  scan.poll_for(1);
  const std::string live = scan.live();
  const std::string variables = scan.variables();
  scan.command("SIM_USB ACTION=plug BOX=2");
  scan.session->advance(60);
  EXPECT_EQ(scan.session->restarts(), 0);
  EXPECT_EQ(scan.live(), live);
  EXPECT_EQ(scan.variables(), variables) << "box_count still says what is configured";
  EXPECT_EQ(scan.log_count("does not include 2 box files"), 1);
  EXPECT_EQ(scan.output_count("does not include 2 box files"), 1);

  // Edited, still without box 2's section: said again, once.
  write_file(scan.path("/home/zur/cfg_with_2"),
             "[include box1.cfg]\n[include box2.cfg]\n[mcu mcu_box1]\nserial: x\n");
  scan.session->advance(60);
  EXPECT_EQ(scan.live(), live);
  EXPECT_EQ(scan.output_count("has no [mcu mcu_box2] section"), 1);
}

TEST(FeedscanSafety, ABoxStuckInItsBootloaderIsSaidOnce) {
  ScanSession scan(1);
  scan.poll_for(1);
  scan.command("SIM_USB ACTION=bootloader BOX=1");
  scan.session->advance(60);
  EXPECT_EQ(scan.output_count("is in its bootloader"), 1);
  EXPECT_EQ(scan.log_count("is in its bootloader"), 1);
  EXPECT_EQ(scan.output_count("unplug it and plug it in again"), 1);
  scan.command("SIM_USB ACTION=plug BOX=1");
  scan.session->advance(12);
  scan.command("SIM_USB ACTION=bootloader BOX=1");
  scan.session->advance(12);
  EXPECT_EQ(scan.output_count("is in its bootloader"), 2);
}

TEST(FeedscanSafety, AFailedFlashIsLoggedAndNotRetriedUntilTheImageChanges) {
  ScanSession scan(1, [](const std::string& dir) {
    const std::string script = dir + "/home/zur/mcu_update_BOX_to_v1.sh";
    write_file(script,
               "#!/bin/sh\necho run >> \"$(dirname \"$0\")/tries\"\n"
               "echo 'no device answers on' \"$2\" >&2\nexit 3\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  });
  scan.poll_for(1);
  put_image(scan, "1.2.3");
  scan.session->advance(120);
  EXPECT_EQ(scan.file("/home/zur/tries"), "run\n");
  EXPECT_NE(scan.log().find("exit status 3"), std::string::npos) << scan.log();
  EXPECT_NE(scan.log().find("no device answers on " + usb_link(1)), std::string::npos);
  EXPECT_EQ(scan.output_count("failed (exit status 3"), 1);
  EXPECT_EQ(scan.session->restarts(), 0) << "the box stays configured on its old firmware";

  put_image(scan, "1.2.3", "rebuilt image");
  scan.session->advance(12);
  EXPECT_EQ(scan.file("/home/zur/tries"), "run\nrun\n");
}

}  // namespace
