// The box configuration rewrite rules and the recognition of box links and versions.
#include <gtest/gtest.h>

#include "klippy/extras/feedscan/config_file.h"
#include "klippy/extras/feedscan/devices.h"
#include "klippy/host/ini.h"

namespace {

using feedscan::ConfigFileKind;

std::string rewrite(const std::string& text, ConfigFileKind kind = ConfigFileKind::box_config) {
  const klippy::IniSyntax syntax = feedscan::config_syntax(kind);
  return klippy::format_ini(klippy::parse_ini(text, "box.cfg", syntax), syntax);
}

TEST(FeedscanConfigFile, RewriteDropsCommentsLowersKeysAndEndsEverySectionWithABlankLine) {
  const std::string text =
      "# the boxes\n[include box1.cfg]\n[mcu mcu_box1]\n; a comment\nSerial:/dev/a\n"
      "restart_method:   command  \n[feedlane x]\ngcode:\n    G1 X1\n\n  G1 X2 # kept\n";
  EXPECT_EQ(rewrite(text),
            "[include box1.cfg]\n\n[mcu mcu_box1]\nserial : /dev/a\nrestart_method : command\n\n"
            "[feedlane x]\ngcode : \n\tG1 X1\n\tG1 X2 # kept\n\n");
}

TEST(FeedscanConfigFile, BoxFilesSplitOnlyAtColonsTheVariablesFileAtBoth) {
  EXPECT_EQ(rewrite("[a]\nx = 1: 2\n"), "[a]\nx = 1 : 2\n\n");
  EXPECT_EQ(rewrite("[Variables]\nbox_count = 1\nslot0: 2\nname = 'a:b'\n",
                    ConfigFileKind::saved_variables),
            "[Variables]\nbox_count = 1\nslot0 = 2\nname = 'a:b'\n\n");
}

TEST(FeedscanConfigFile, MalformedTextIsRefused) {
  for (const char* text : {"[a]\n[a]\n", "[a]\nx: 1\nX: 2\n", "x: 1\n[a]\n", "[a]\njust words\n",
                           "   indented first\n[a]\n", "[a]\n: no key\n"}) {
    EXPECT_THROW(
        klippy::parse_ini(text, "box.cfg", feedscan::config_syntax(ConfigFileKind::box_config)),
        klippy::IniError)
        << text;
  }
}

TEST(FeedscanConfigFile, SettingAnOptionNeedsItsSection) {
  auto doc = klippy::parse_ini("[mcu mcu_box1]\nserial: a\n", "box.cfg",
                               feedscan::config_syntax(ConfigFileKind::box_config));
  feedscan::set_existing_option(doc, "mcu mcu_box1", "serial", "b", "box.cfg");
  EXPECT_EQ(doc.sections[0].options[0].value, "b");
  EXPECT_THROW(feedscan::set_existing_option(doc, "mcu mcu_box2", "serial", "b", "box.cfg"),
               std::runtime_error);
}

TEST(FeedscanDevices, LinksCountByMarkerAndByIdFolderAnywhereInTheLink) {
  using feedscan::is_by_id_link;
  EXPECT_TRUE(is_by_id_link("/dev/serial/by-id/usb-ZEKA_BOX_V1_1.0.0-if00", "ZEKA_BOX_V1"));
  EXPECT_TRUE(is_by_id_link("/x/dev/serial/by-id/ZEKA_BOX_V1", "ZEKA_BOX_V1"));
  EXPECT_FALSE(is_by_id_link("/dev/serial/by-path/usb-ZEKA_BOX_V1", "ZEKA_BOX_V1"));
  EXPECT_FALSE(is_by_id_link("/dev/serial/by-id/usb-ZEKA_BOX_V2", "ZEKA_BOX_V1"));
  EXPECT_TRUE(feedscan::has_bootloader_link({"/a", "/dev/serial/by-id/usb-ZUR_COLOR0_BOOT"}));
  EXPECT_TRUE(feedscan::has_bootloader_link({"/dev/serial/by-id/usb-ZUR_COLOR_BOOT"}));
  EXPECT_FALSE(feedscan::has_bootloader_link({"/dev/serial/by-id/usb-ZUR_COLORBOOT"}));
}

feedscan::FirmwareVersion version(std::vector<unsigned long> parts) {
  return feedscan::FirmwareVersion{std::move(parts)};
}

TEST(FeedscanDevices, VersionsCompareNumberByNumber) {
  const auto v1_0_10 =
      feedscan::controller_version("/dev/serial/by-id/usb-ZEKA_BOX_V1_1.0.10_X-if00");
  const auto v1_1_0 = feedscan::controller_version("/dev/serial/by-id/usb-ZEKA_BOX_V1_1.1.0");
  ASSERT_TRUE(v1_0_10 && v1_1_0);
  EXPECT_EQ(*v1_0_10, version({1, 0, 10}));
  EXPECT_TRUE(v1_1_0->newer_than(*v1_0_10));
  EXPECT_FALSE(v1_0_10->newer_than(*v1_1_0));
  EXPECT_TRUE(version({1, 2, 3}).newer_than(version({1, 0, 10})));
  EXPECT_FALSE(version({1, 2, 3}).newer_than(version({1, 2, 3})));
  EXPECT_FALSE(version({1, 2}).newer_than(version({1, 2, 0})));
  EXPECT_TRUE(version({1, 2, 0, 1}).newer_than(version({1, 2})));
  EXPECT_EQ(feedscan::image_version("mcu_box_to_v1_1.2.3.bin"), version({1, 2, 3}));
  EXPECT_EQ(feedscan::image_version("mcu_box_to_v1_1.2.3"), version({1, 2, 3}));
}

TEST(FeedscanDevices, VersionsThatDoNotParseAreNone) {
  EXPECT_EQ(feedscan::controller_version("/dev/serial/by-id/usb-ZEKA_BOX_V1_beta"), std::nullopt);
  EXPECT_EQ(feedscan::controller_version("/dev/serial/by-id/usb-ZEKA_BOX_V1_1234567890.0.0"),
            std::nullopt);
  for (const char* name : {"mcu_box_to_v1_x.bin", "mcu_box_to_v1_1..2.bin", "mcu_box_to_v1_.bin",
                           "mcu_box_to_v1_99999999999999999999.bin", "mcu_box_to_v2.bin"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(feedscan::image_version(name), std::nullopt);
  }
}

TEST(FeedscanDevices, ABoxIdentityIgnoresItsFirmwareVersion) {
  EXPECT_EQ(feedscan::box_identity("/dev/serial/by-id/usb-K_ZEKA_BOX_V1_1.0.0_BOX1-if00"),
            feedscan::box_identity("/dev/serial/by-id/usb-K_ZEKA_BOX_V1_1.2.10_BOX1-if00"));
  EXPECT_EQ(feedscan::box_identity("/dev/serial/by-id/usb-K_ZEKA_BOX_V1_1.0.0_BOX1-if00"),
            feedscan::box_identity("/dev/serial/by-id/usb-K_ZEKA_BOX_V1_BOX1-if00"));
  EXPECT_NE(feedscan::box_identity("/dev/serial/by-id/usb-K_ZEKA_BOX_V1_1.0.0_BOX1-if00"),
            feedscan::box_identity("/dev/serial/by-id/usb-K_ZEKA_BOX_V1_1.0.0_BOX2-if00"));
}

TEST(FeedscanDevices, DetectedBoxesAreNumberedInReverseEnumerationOrder) {
  feedscan::DetectedDevices devices;
  devices.add("/dev/ttyACM0", "A");
  devices.add("/dev/ttyACM1", "B");
  devices.reverse();
  EXPECT_EQ(devices.link_of_box(1), "B");
  EXPECT_EQ(devices.link_of_box(2), "A");
  EXPECT_THROW(devices.link_of_box(3), std::out_of_range);
}

TEST(FeedscanDevices, ShellWordsQuoteWhatTheShellWouldInterpret) {
  EXPECT_EQ(feedscan::shell_word("/dev/serial/by-id/usb-ZEKA_BOX_V1_1.0.0-if00"),
            "/dev/serial/by-id/usb-ZEKA_BOX_V1_1.0.0-if00");
  EXPECT_EQ(feedscan::shell_word("a;rm -rf ~"), "'a;rm -rf ~'");
  EXPECT_EQ(feedscan::shell_word("it's"), "'it'\\''s'");
}

}  // namespace
