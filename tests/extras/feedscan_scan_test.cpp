// The detection poll inside the simulated printer: USB boxes plugged, unplugged, in their
// bootloader or on old firmware, and the restarts that the poll asks for.
#include <gtest/gtest.h>

#include <filesystem>

#include "apps/feedbox/box_templates.h"
#include "klippy/extras/feedscan/feedscan.h"
#include "tests/extras/feedscan_session.h"

namespace {

using testing_support::read_file;
using testing_support::ScanSession;
using testing_support::usb_link;
using testing_support::write_file;

std::string link(int box, const std::string& version = "1.0.0") {
  return usb_link(box, version);
}

TEST(FeedscanScan, MatchingBoxesChangeNothingButTheSavedCount) {
  ScanSession scan(1);
  const std::string before = scan.live();
  scan.poll_for(12);
  EXPECT_EQ(scan.session->restarts(), 0);
  EXPECT_EQ(scan.live(), before);
  EXPECT_NE(scan.variables().find("box_count = 1\n"), std::string::npos) << scan.variables();
}

TEST(FeedscanScan, AFirstBoxIsDetectedOnAnIdlePrinterThatNeverMoved) {
  ScanSession scan(0);
  scan.command("SIM_USB ACTION=plug BOX=1");
  scan.session->advance(12);
  EXPECT_EQ(scan.session->restarts(), 1);
  EXPECT_TRUE(scan.has_object("feedlane slot0"));
}

TEST(FeedscanScan, DetectionWaitsForARunningCommandToEnd) {
  ScanSession scan(1);
  scan.poll_for(1);
  scan.command("SIM_USB ACTION=plug BOX=2");
  auto& host = scan.session->host();
  bool exit_during_command = true;
  auto probe = host.reactor().register_timer(
      [&](double) {
        exit_during_command = host.exit_requested();
        return klippy::Reactor::NEVER;
      },
      host.reactor().monotonic() + 15);
  // The dwell holds the G-code lock for 20 s, as a long load would.
  scan.command("G4 P20000");
  EXPECT_FALSE(exit_during_command);
  scan.session->advance(6);
  EXPECT_EQ(scan.session->restarts(), 1);
}

TEST(FeedscanScan, ALineSentWhileTheHostRestartsRunsOnTheNextHost) {
  ScanSession scan(1);
  scan.poll_for(1);
  scan.command("SIM_USB ACTION=plug BOX=2");
  // Detection waits for the dwell, then restarts the host before it takes the next line.
  scan.command("G4 P20000");
  ASSERT_EQ(scan.session->restarts(), 0);
  scan.command("SAVE_VARIABLE VARIABLE=sent_meanwhile VALUE=1");
  EXPECT_EQ(scan.session->restarts(), 1);
  EXPECT_NE(scan.variables().find("sent_meanwhile = 1"), std::string::npos) << scan.variables();
}

TEST(FeedscanScan, ASecondBoxRewritesTheConfigurationAndRestartsWithItsSlots) {
  ScanSession scan(1);
  EXPECT_FALSE(scan.has_object("feedlane slot7"));
  scan.command("SIM_USB ACTION=plug BOX=2");
  scan.poll_for(12);
  EXPECT_EQ(scan.session->restarts(), 1);
  EXPECT_EQ(scan.live(), "[include box1.cfg]\n\n[include box2.cfg]\n\n[mcu mcu_box1]\nserial : " +
                             link(1) + "\n\n[mcu mcu_box2]\nserial : " + link(2) + "\n\n");
  EXPECT_NE(scan.variables().find("box_count = 2\n"), std::string::npos);
  EXPECT_TRUE(scan.has_object("feedlane slot7"));
  // The spools and the USB devices stayed where they were.
  EXPECT_TRUE(scan.has_object("feedscan"));
  scan.poll_for(12);
  EXPECT_EQ(scan.session->restarts(), 1) << "the new configuration matches";
}

TEST(FeedscanScan, UnpluggingEveryBoxRestoresTheEmptyTemplate) {
  ScanSession scan(2);
  scan.command("SIM_USB ACTION=unplug BOX=1");
  scan.command("SIM_USB ACTION=unplug BOX=2");
  scan.poll_for(12);
  EXPECT_EQ(scan.session->restarts(), 1);
  EXPECT_EQ(scan.live(), scan.file("/home/zur/cfg_with_0"));
  EXPECT_NE(scan.variables().find("box_count = 0\n"), std::string::npos);
  EXPECT_FALSE(scan.has_object("feedlane slot0"));
}

TEST(FeedscanScan, AWrongSerialIsRewrittenWithoutSavingTheCount) {
  ScanSession scan(1);
  const std::string live_path = scan.session->host().printer().resolve_path(feedbox::kLiveBoxCfg);
  write_file(live_path, "[include box1.cfg]\n[mcu mcu_box1]\nserial: /dev/serial/by-id/old\n");
  scan.command("SAVE_VARIABLE VARIABLE=box_count VALUE=1");
  scan.output.clear();
  scan.poll_for(12);
  EXPECT_EQ(scan.session->restarts(), 1);
  EXPECT_EQ(scan.live(), "[include box1.cfg]\n\n[mcu mcu_box1]\nserial : " + link(1) + "\n\n");
  EXPECT_NE(scan.log().find("Updated new device path: " + link(1)), std::string::npos);
}

TEST(FeedscanScan, ABoxInItsBootloaderStopsDetection) {
  ScanSession scan(1);
  scan.command("SIM_USB ACTION=plug BOX=2");
  scan.command("SIM_USB ACTION=bootloader BOX=1");
  scan.poll_for(12);
  EXPECT_EQ(scan.session->restarts(), 0);
  scan.command("SIM_USB ACTION=plug BOX=1");
  scan.poll_for(12);
  EXPECT_EQ(scan.session->restarts(), 1);
}

TEST(FeedscanScan, FiveBoxesChangeNothingAndKeepTheSavedCountValid) {
  ScanSession scan(4);
  scan.poll_for(6);
  scan.command("SIM_USB ACTION=plug BOX=5");
  const std::string before = scan.live();
  scan.poll_for(12);
  EXPECT_EQ(scan.session->restarts(), 0);
  EXPECT_EQ(scan.live(), before);
  EXPECT_NE(scan.variables().find("box_count = 4\n"), std::string::npos) << scan.variables();
}

TEST(FeedscanScan, ASecondGenerationBoxIsFlashedWithTheImageAndThenDetected) {
  ScanSession scan(1, [](const std::string& dir) {
    write_file(dir + "/home/zur/mcu_box_to_v1_1.0.0.bin", "image");
  });
  scan.command("SIM_USB ACTION=plug BOX=2 VERSION=2.0.0");
  scan.poll_for(6);
  const std::string home = scan.session->host().printer().resolve_path("/home/zur/");
  EXPECT_EQ(scan.file(feedbox::kFlashLog),
            home + "mcu_box_to_v1_1.0.0.bin " + link(2, "2.0.0") + "\n");
  EXPECT_NE(scan.log().find("Start updated box mcu"), std::string::npos);
  EXPECT_EQ(scan.session->restarts(), 0);
  // The flashed box comes back on the image's firmware and is counted on the next poll.
  scan.poll_for(35);
  EXPECT_EQ(scan.session->restarts(), 1);
  EXPECT_NE(scan.live().find(link(2, "1.0.0")), std::string::npos);
}

TEST(FeedscanScan, OnlyAnOlderFirstGenerationBoxIsFlashed) {
  ScanSession scan(1, [](const std::string& dir) {
    write_file(dir + "/home/zur/mcu_box_to_v1_1.0.0.bin", "image");
  });
  scan.poll_for(12);
  EXPECT_FALSE(
      std::filesystem::exists(scan.session->host().printer().resolve_path(feedbox::kFlashLog)));

  write_file(scan.session->host().printer().resolve_path("/home/zur/mcu_box_to_v1_1.0.0.bin"), "");
  std::filesystem::rename(
      scan.session->host().printer().resolve_path("/home/zur/mcu_box_to_v1_1.0.0.bin"),
      scan.session->host().printer().resolve_path("/home/zur/mcu_box_to_v1_1.0.10.bin"));
  scan.poll_for(6);
  EXPECT_NE(scan.file(feedbox::kFlashLog).find("mcu_box_to_v1_1.0.10.bin " + link(1)),
            std::string::npos);
}

TEST(FeedscanScan, AnImageNameCannotInjectShellCommands) {
  ScanSession scan(1, [](const std::string& dir) {
    write_file(dir + "/home/zur/mcu_box_to_v1_9.9.9.bin;touch injected", "image");
  });
  scan.poll_for(6);
  EXPECT_FALSE(std::filesystem::exists(scan.dir.path() + "/injected"));
  EXPECT_FALSE(std::filesystem::exists("injected"));
  EXPECT_NE(scan.file(feedbox::kFlashLog).find("9.9.9.bin;touch injected " + link(1)),
            std::string::npos);
}

TEST(FeedscanScan, ATemplateWithTheWrongBoxCountIsNotRestartedInto) {
  ScanSession scan(1, [](const std::string& dir) {
    write_file(dir + "/home/zur/cfg_with_2", "[include box1.cfg]\n[mcu mcu_box1]\nserial: x\n");
  });
  scan.command("SIM_USB ACTION=plug BOX=2");
  scan.poll_for(12);
  EXPECT_EQ(scan.session->restarts(), 0);
  EXPECT_NE(scan.log().find("does not include 2 box files"), std::string::npos);
}

TEST(FeedscanScan, SimUsbRefusesWhatCannotBeDone) {
  ScanSession scan(1);
  scan.command("SIM_USB ACTION=unplug BOX=3");
  scan.command("SIM_USB ACTION=plug BOX=1");
  scan.command("SIM_USB ACTION=plug BOX=2 VERSION=1.x");
  scan.command("SIM_USB ACTION=wiggle BOX=2");
  ASSERT_EQ(scan.output.size(), 4u);
  EXPECT_EQ(scan.output[0], "!! Box 3 is not plugged in; plug it first");
  EXPECT_NE(scan.output[1].find("plugged in already"), std::string::npos);
  EXPECT_NE(scan.output[2].find("VERSION must read x.y.z"), std::string::npos);
  EXPECT_NE(scan.output[3].find("ACTION must be plug, unplug or bootloader"), std::string::npos);
}

TEST(FeedscanScan, RestartKeepsTheFilamentWhereItWas) {
  ScanSession scan(1);
  scan.command("SIM_SPOOL SLOT=1 ACTION=remove");
  scan.command("RESTART");
  EXPECT_EQ(scan.session->restarts(), 1);
  scan.output.clear();
  scan.command("SIM_SPOOL SLOT=1 ACTION=remove");
  ASSERT_FALSE(scan.output.empty());
  EXPECT_NE(scan.output[0].find("holds no spool"), std::string::npos);
}

TEST(FeedscanScan, ARestartIntoABrokenConfigurationKeepsTheHostRunning) {
  ScanSession scan(1);
  scan.command("SIM_SPOOL SLOT=2 ACTION=remove");
  const std::string live_path = scan.session->host().printer().resolve_path(feedbox::kLiveBoxCfg);
  const std::string good = scan.live();
  write_file(live_path, "[include box9.cfg]\n");
  scan.command("RESTART");
  ASSERT_FALSE(scan.output.empty());
  EXPECT_NE(scan.output.back().find("!! Configuration error after the restart: "),
            std::string::npos);
  EXPECT_NE(scan.output.back().find("box9.cfg"), std::string::npos);
  EXPECT_FALSE(scan.has_object("feedhub"));

  write_file(live_path, good);
  scan.command("RESTART");
  EXPECT_EQ(scan.session->restarts(), 2);
  EXPECT_TRUE(scan.has_object("feedlane slot3"));
  scan.output.clear();
  scan.command("SIM_SPOOL SLOT=2 ACTION=remove");
  ASSERT_FALSE(scan.output.empty());
  EXPECT_NE(scan.output[0].find("holds no spool"), std::string::npos) << "the spool stays out";
}

}  // namespace
