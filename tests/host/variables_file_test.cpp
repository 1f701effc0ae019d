#include "klippy/host/variables_file.h"

#include <gtest/gtest.h>

#include <cmath>

#include "klippy/host/ini.h"

namespace klippy {
namespace {

TEST(VariablesFile, WritesSortedLowerCaseKeysByteForByte) {
  EXPECT_EQ(format_variables({{"foo", "abc"}, {"bar", Value::parse("{'a': [1, 2.5]}")}}),
            "[Variables]\nbar = {'a': [1, 2.5]}\nfoo = 'abc'\n\n");
  const VariableMap box = {
      {"slot_sync", "slot-1"}, {"value_t0", "slot2"}, {"slot0", 1},
      {"retry_step", nullptr}, {"box_count", 1},      {"last_load_slot", "slot2"}};
  EXPECT_EQ(format_variables(box),
            "[Variables]\n"
            "box_count = 1\n"
            "last_load_slot = 'slot2'\n"
            "retry_step = None\n"
            "slot0 = 1\n"
            "slot_sync = 'slot-1'\n"
            "value_t0 = 'slot2'\n"
            "\n");
  EXPECT_EQ(format_variables({}), "[Variables]\n\n");
  EXPECT_EQ(format_variables({{"Mixed", true}}), "[Variables]\nmixed = True\n\n");
}

TEST(VariablesFile, ReadsBackWhatItWrites) {
  const VariableMap vars = {{"a", 0.5},
                            {"b", "it's"},
                            {"c", "slot #1 ; not a comment"},
                            {"d", Value::parse("(1, [None, {'k': -2}])")},
                            {"e", false},
                            {"f", nullptr},
                            {"g", -7}};
  const VariableMap back = parse_variables(format_variables(vars), "vars.cfg");
  ASSERT_EQ(back.size(), vars.size());
  for (const auto& [key, value] : vars) {
    ASSERT_TRUE(back.count(key)) << key;
    EXPECT_EQ(back.at(key).repr(), value.repr()) << key;
  }
  EXPECT_TRUE(back.at("f").is_none());
  EXPECT_TRUE(back.at("e").is_bool());
}

TEST(VariablesFile, ReadsAnyIniWithTheSection) {
  EXPECT_TRUE(parse_variables("", "vars.cfg").empty());
  EXPECT_TRUE(parse_variables("[Other]\nx = 1\n", "vars.cfg").empty());
  const VariableMap vars = parse_variables(
      "# kept by hand\n[Other]\nx = junk\n[Variables]\nSlot0: 3\nbox_count=2\n", "vars.cfg");
  ASSERT_EQ(vars.size(), 2u);
  EXPECT_EQ(vars.at("slot0"), Value(3));
  EXPECT_EQ(vars.at("box_count"), Value(2));
}

TEST(VariablesFile, UnparsableFileNamesFileAndLine) {
  for (const auto& [text, line] :
       {std::pair{"[Variables]\nok = 1\nbad = slot3\n", 3}, std::pair{"[Variables]\nno value\n", 2},
        std::pair{"x = 1\n", 1}, std::pair{"[Variables]\nok = 1\nbig = 1e999\n", 3},
        std::pair{"[Variables]\nl = [1, -1e400]\n", 2}}) {
    try {
      parse_variables(text, "/data/vars.cfg");
      FAIL() << text;
    } catch (const IniError& e) {
      const std::string prefix = "Unable to parse existing variable file /data/vars.cfg: line " +
                                 std::to_string(line) + ": ";
      EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
      EXPECT_EQ(e.line(), line);
    }
  }
}

TEST(VariablesFile, OnlyNamesTheFileHoldsAsTheyAreAreValid) {
  for (const char* name : {"slot0", "box_count", "_", "value_t15", "9"})
    EXPECT_TRUE(is_valid_variable_name(name)) << name;
  for (const char* name : {"", "[x]", "a:b", "a=b", "[x", "a b", " a", "a\t", "Slot0", "a.b",
                           "caf\xc3\xa9", "a#b", "a;b"})
    EXPECT_FALSE(is_valid_variable_name(name)) << name;
}

TEST(VariablesFile, ValuesThatPrintAsNoLiteralDoNotReadBack) {
  for (const char* text : {"1", "-0.0", "1e-05", "'it\\'s'", "None", "[(1,), {'a': 2.5}]"})
    EXPECT_TRUE(reads_back(Value::parse(text))) << text;
  for (const char* text : {"1e999", "-1e999", "[1, 1e999]", "{'k': (1e999,)}"})
    EXPECT_FALSE(reads_back(Value::parse(text))) << text;
  EXPECT_FALSE(reads_back(Value(std::nan(""))));
  const VariableMap with_inf{{"a", Value(1)}, {"big", Value::parse("1e999")}};
  ASSERT_NE(find_unwritable(with_inf), nullptr);
  EXPECT_EQ(*find_unwritable(with_inf), "big");
  EXPECT_EQ(find_unwritable(parse_variables("[Variables]\na = 1\n", "v.cfg")), nullptr);
}

TEST(VariablesFile, ManyKeysReadAndWriteInOrder) {
  VariableMap vars;
  for (int i = 0; i < 20000; ++i) vars.emplace("key" + std::to_string(i), i);
  const VariableMap back = parse_variables(format_variables(vars), "v.cfg");
  ASSERT_EQ(back.size(), vars.size());
  EXPECT_EQ(back.at("key19999"), Value(19999));
  // A key repeated in a hand-edited file keeps its last value, as the host reads it.
  EXPECT_EQ(parse_variables("[Variables]\na = 1\nb = 2\na = 3\n", "v.cfg").at("a"), Value(3));
}

}  // namespace
}  // namespace klippy
