#include "klippy/host/ini.h"

#include <gtest/gtest.h>

#include <string>

namespace klippy {
namespace {

std::string error_of(std::string_view text) {
  try {
    parse_ini(text, "printer.cfg");
  } catch (const IniError& e) {
    return e.what();
  }
  return "no error";
}

TEST(IniParse, ReadsSectionsOptionsAndLines) {
  const IniDocument doc = parse_ini(
      "# heading comment\n"
      "[printer]\n"
      "kinematics: cartesian\n"
      "max_velocity = 300\n"
      "\n"
      "[ extruder_stepper  belt ]\r\n"
      "Step_Pin : PA1 \r\n"
      "url: http://host:80/x=1\n",
      "printer.cfg");
  ASSERT_EQ(doc.sections.size(), 2u);
  const IniSection* printer = doc.find("printer");
  ASSERT_NE(printer, nullptr);
  EXPECT_EQ(printer->line, 2);
  ASSERT_NE(printer->find("max_velocity"), nullptr);
  EXPECT_EQ(printer->find("max_velocity")->value, "300");
  EXPECT_EQ(printer->find("max_velocity")->line, 4);
  EXPECT_EQ(printer->options[0].key, "kinematics");

  EXPECT_EQ(doc.find("extruder_stepper  belt"), nullptr) << "the blanks inside the brackets stay";
  const IniSection* belt = doc.find(" extruder_stepper  belt ");
  ASSERT_NE(belt, nullptr);
  ASSERT_NE(belt->find("Step_Pin"), nullptr) << "keys keep their case";
  EXPECT_EQ(belt->find("Step_Pin")->value, "PA1");
  EXPECT_EQ(belt->find("url")->value, "http://host:80/x=1") << "only the first ':' splits";
  EXPECT_EQ(doc.find("missing"), nullptr);
}

// Expected values are those of Python's configparser, alone and as the printer's host
// feeds it (every line cut at its first '#').
TEST(IniParse, JoinsIndentedContinuationLinesKeepingTheBlankLinesBetween) {
  const std::string text =
      "[gcode_macro START]\n"
      "gcode:\n"
      "  G28\n"
      "\n"
      "  # a comment inside the macro\n"
      "\tG1 X10 ; move\n"
      "\n"
      "\n"
      "description: first\n"
      "  second\n"
      "  ; not a blank line\n"
      "  third\n"
      "after: 1\n";
  const IniDocument doc = parse_ini(text, "printer.cfg");
  const IniSection& macro = doc.sections.at(0);
  EXPECT_EQ(macro.find("gcode")->value, "\nG28\n\nG1 X10");
  EXPECT_EQ(macro.find("description")->value, "first\nsecond\nthird");
  EXPECT_EQ(macro.find("after")->value, "1");
  EXPECT_EQ(macro.find("after")->line, 13);

  const IniDocument host = parse_ini(text, "printer.cfg", {.hash_ends_line = true});
  EXPECT_EQ(host.sections.at(0).find("gcode")->value, "\nG28\n\n\nG1 X10");
  EXPECT_EQ(host.sections.at(0).find("description")->value, "first\nsecond\nthird");
  EXPECT_EQ(parse_ini("[f]\nname: a#b;c\n", "p.cfg", {.hash_ends_line = true})
                .sections.at(0)
                .find("name")
                ->value,
            "a");
}

TEST(IniParse, IndentedOptionsAfterAHeaderAreOptions) {
  const IniDocument doc = parse_ini("[a]\n  x: 1\n  y: 2\n    more\n", "t.cfg");
  EXPECT_EQ(doc.sections.at(0).find("x")->value, "1");
  EXPECT_EQ(doc.sections.at(0).find("y")->value, "2\nmore");
}

TEST(IniParse, StripsCommentsOnlyAfterWhiteSpace) {
  const std::string text =
      "; full line\n"
      "[fan] # the fan\n"
      "pin: PA1  # inline\n"
      "name: a#b;c\n"
      "other: x ;y\n";
  const IniDocument doc = parse_ini(text, "t.cfg");
  const IniSection* fan = doc.find("fan");
  ASSERT_NE(fan, nullptr);
  EXPECT_EQ(fan->find("pin")->value, "PA1");
  EXPECT_EQ(fan->find("name")->value, "a#b;c");
  EXPECT_EQ(fan->find("other")->value, "x");

  const IniDocument raw = parse_ini("[v]\ns = 'slot #1' ;x\n", "t.cfg", {.inline_comments = false});
  EXPECT_EQ(raw.sections.at(0).find("s")->value, "'slot #1' ;x");
}

TEST(IniParse, RepeatsReplaceOptionsAndMergeSections) {
  const IniDocument doc = parse_ini("[a]\nx: 1\ny: 2\n[b]\nz: 3\n[a]\nx: 4\nw: 5\n", "t.cfg");
  ASSERT_EQ(doc.sections.size(), 2u);
  const IniSection& a = doc.sections[0];
  ASSERT_EQ(a.options.size(), 3u);
  EXPECT_EQ(a.options[0].key, "x");
  EXPECT_EQ(a.options[0].value, "4");
  EXPECT_EQ(a.options[0].line, 7);
  EXPECT_EQ(a.options[2].key, "w");
  EXPECT_EQ(a.line, 1);
}

TEST(IniParse, ErrorsNameSourceAndLine) {
  EXPECT_EQ(error_of("# c\nkey: 1\n").rfind("printer.cfg:2: option 'key: 1' appears before", 0),
            0u);
  EXPECT_EQ(error_of("[a]\nx: 1\njust words\n").rfind("printer.cfg:3: line 'just words'", 0), 0u);
  EXPECT_EQ(error_of("[a]\n[b\n").rfind("printer.cfg:2: section header '[b'", 0), 0u);
  EXPECT_EQ(error_of("[a]\n: 1\n").rfind("printer.cfg:2:", 0), 0u);
  EXPECT_EQ(error_of("[]\n").rfind("printer.cfg:1: empty section name", 0), 0u);
  EXPECT_EQ(error_of("[ \t]\n").rfind("printer.cfg:1: empty section name", 0), 0u);
  try {
    parse_ini("[a]\n\n\n = x\n", "box.cfg");
    FAIL();
  } catch (const IniError& e) {
    EXPECT_EQ(e.source(), "box.cfg");
    EXPECT_EQ(e.line(), 4);
  }
}

TEST(IniFormat, WritesWhatParseReadsBack) {
  IniDocument doc;
  doc.section("box").set("count", "2");
  doc.section("macro").set("gcode", "\nG28\nG1 X1");
  doc.section("box").set("count", "3");
  doc.section("box").set("empty", "");
  const std::string text = format_ini(doc);
  EXPECT_EQ(text, "[box]\ncount = 3\nempty = \n\n[macro]\ngcode = \n\tG28\n\tG1 X1\n\n");
  const IniDocument back = parse_ini(text, "t.cfg");
  EXPECT_EQ(back.find("macro")->find("gcode")->value, "\nG28\nG1 X1");
  EXPECT_EQ(back.find("box")->find("empty")->value, "");
}

TEST(IniReadFile, MissingFileNamesThePath) {
  try {
    read_text_file("/nonexistent-dir/printer.cfg");
    FAIL();
  } catch (const std::runtime_error& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find("/nonexistent-dir/printer.cfg"), std::string::npos);
    EXPECT_NE(message.find("No such file"), std::string::npos);
  }
}

TEST(Ini, AValueStartingWithACommentSignReadsBack) {
  IniDocument doc;
  doc.section("s").set("hash", "#ff0000");
  doc.section("s").set("semi", ";x");
  doc.section("s").set("plain", "a");
  const std::string text = format_ini(doc);
  EXPECT_EQ(text, "[s]\nhash =#ff0000\nsemi =;x\nplain = a\n\n");
  const IniDocument back = parse_ini(text, "s.cfg");
  EXPECT_EQ(back.find("s")->find("hash")->value, "#ff0000");
  EXPECT_EQ(back.find("s")->find("semi")->value, ";x");
}

TEST(Ini, AByteOrderMarkIsNamedNotHidden) {
  try {
    parse_ini("\xEF\xBB\xBF[s]\nk = v\n", "bom.cfg");
    FAIL();
  } catch (const IniError& e) {
    EXPECT_EQ(e.line(), 1);
    EXPECT_NE(std::string(e.what()).find("byte-order mark (bytes EF BB BF)"), std::string::npos);
  }
}

TEST(Ini, RepeatedOptionsAndSectionsMergeInPlace) {
  const IniDocument doc = parse_ini("[a]\nx = 1\ny = 2\n[b]\nz = 3\n[a]\nx = 4\n  more\n", "r.cfg");
  ASSERT_EQ(doc.sections.size(), 2u);
  const IniSection& a = *doc.find("a");
  ASSERT_EQ(a.options.size(), 2u);
  EXPECT_EQ(a.options[0].key, "x");
  EXPECT_EQ(a.options[0].value, "4\nmore");
  EXPECT_EQ(a.options[0].line, 7);
  EXPECT_EQ(a.options[1].value, "2");
}

}  // namespace
}  // namespace klippy
