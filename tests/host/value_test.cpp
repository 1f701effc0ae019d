#include "klippy/host/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace klippy {
namespace {

TEST(ValueLiteral, CanonicalTextReadsBackUnchanged) {
  for (const char* text : {"None",
                           "True",
                           "False",
                           "0",
                           "-1",
                           "9223372036854775807",
                           "-9223372036854775808",
                           "0.5",
                           "1e-05",
                           "100.0",
                           "1e+16",
                           "-0.0",
                           "'slot3'",
                           "\"it's\"",
                           R"('both \' and "')",
                           R"('back\\slash')",
                           R"('tab\t new\n cr\r ctl\x01')",
                           "''",
                           "[]",
                           "()",
                           "{}",
                           "[1, 'a']",
                           "(1,)",
                           "(1, 2)",
                           "{'k': 2}",
                           "{'a': [1, 2.5], 'b': (None, True), (1, 'x'): {}}",
                           "[[[]], [()]]"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Value::parse(text).repr(), text);
  }
}

TEST(ValueLiteral, AcceptsEveryNotationOfTheHostLanguage) {
  const std::pair<const char*, const char*> cases[] = {
      {"  [1,2,]  ", "[1, 2]"},
      {"\"abc\"", "'abc'"},
      {".5", "0.5"},
      {"5.", "5.0"},
      {"1E5", "100000.0"},
      {"+3", "3"},
      {"- 3", "-3"},
      {"-(1)", "-1"},
      {"-.5e-3", "-0.0005"},
      {"0x1f", "31"},
      {"0o17", "15"},
      {"0b101", "5"},
      {"1_000", "1000"},
      {"00", "0"},
      {"007.5", "7.5"},
      {"1e400", "inf"},
      {"-1e400", "-inf"},
      {"1e-400", "0.0"},
      {"'a' \"b\"", "'ab'"},
      {R"('\x41\u00e9\U0001F600\101')",
       "'A\xc3\xa9\xf0\x9f\x98\x80"
       "A'"},
      {R"('\q')", R"('\\q')"},
      {R"(r'\n')", R"('\\n')"},
      {"'''x'y'''", "\"x'y\""},
      {"(1)", "1"},
      {"((1, 2),)", "((1, 2),)"},
      {"{'a': 1, 'a': 2}", "{'a': 2}"},
      {"{1: 'x', 1.0: 'y', True: 'z'}", "{1: 'z'}"},
      {"[\n 1,  # first\n 2\n]", "[1, 2]"},
  };
  for (const auto& [text, repr] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Value::parse(text).repr(), repr);
  }
}

TEST(ValueLiteral, RefusesAnythingThatIsNotAPlainLiteral) {
  for (const char* text : {"",
                           "   ",
                           "[1,",
                           "abc",
                           "1 2",
                           "__import__('os')",
                           "'open",
                           "'a\nb'",
                           "{1, 2}",
                           "{[1]: 2}",
                           "{'a' 1}",
                           "[1 2]",
                           "(1 2)",
                           "01",
                           "--1",
                           "+-1",
                           "-True",
                           "-'a'",
                           "1 + 2",
                           "b'x'",
                           "f'x'",
                           "inf",
                           "nan",
                           "1j",
                           "1abc",
                           "1e",
                           "0x",
                           "1..2",
                           "9223372036854775808",
                           "-9223372036854775809",
                           R"('\x4')",
                           R"('\ud800')",
                           "[1]]",
                           "{'a': }",
                           ",",
                           "(,)",
                           "[,]",
                           "True()",
                           "None.x",
                           "x = 1"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(Value::parse(text), LiteralError);
  }
}

TEST(ValueLiteral, DeepNestingIsRefusedNotACrash) {
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  EXPECT_THROW(Value::parse(deep), LiteralError);
  const std::string signs = "-" + std::string(5000, '(') + "1" + std::string(5000, ')');
  EXPECT_THROW(Value::parse(signs), LiteralError);
}

TEST(ValueLiteral, ErrorNamesTheColumn) {
  try {
    Value::parse("[1, abc]");
    FAIL() << "no error";
  } catch (const LiteralError& e) {
    EXPECT_NE(std::string(e.what()).find("'abc' is not a literal"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("column 5"), std::string::npos) << e.what();
  }
}

TEST(ValueRepr, FloatsUseShortestRoundTripDigits) {
  const std::pair<double, const char*> cases[] = {
      {0.1, "0.1"},
      {0.5, "0.5"},
      {1e-05, "1e-05"},
      {0.0001, "0.0001"},
      {1e16, "1e+16"},
      {1e15, "1000000000000000.0"},
      {123456789012345678.0, "1.2345678901234568e+17"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {1234.5, "1234.5"},
      {-2.5e-7, "-2.5e-07"},
      {0.1 + 0.2, "0.30000000000000004"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {1e100, "1e+100"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "nan"},
  };
  for (const auto& [d, text] : cases) {
    EXPECT_EQ(format_float(d), text);
    EXPECT_EQ(Value(d).repr(), text);
  }
}

TEST(ValueRepr, StringsPickQuotesAndEscapeLikeTheHostLanguage) {
  EXPECT_EQ(Value("slot3").repr(), "'slot3'");
  EXPECT_EQ(Value("it's").repr(), "\"it's\"");
  EXPECT_EQ(Value("say \"hi\"").repr(), "'say \"hi\"'");
  EXPECT_EQ(Value("it's \"x\"").repr(), R"('it\'s "x"')");
  EXPECT_EQ(Value("a\\b").repr(), R"('a\\b')");
  EXPECT_EQ(Value("\"it's\\\"").repr(), R"('"it\'s\\"')");
  EXPECT_EQ(Value(std::string("nul\0del\x7f", 8)).repr(), R"('nul\x00del\x7f')");
  EXPECT_EQ(Value("caf\xc3\xa9").repr(), "'caf\xc3\xa9'");
  EXPECT_EQ(Value("nb\xc2\xa0sp").repr(), R"('nb\xa0sp')");
  for (const char* s : {"it's", "say \"hi\"", "it's \"x\"", "a\\b", "\n\t\r\x01", "\xc2\x85"}) {
    EXPECT_EQ(Value::parse(Value(s).repr()), Value(s)) << s;
  }
}

TEST(ValueRepr, StrShowsStringsBare) {
  EXPECT_EQ(Value("slot2").str(), "slot2");
  EXPECT_EQ(Value(1).str(), "1");
  EXPECT_EQ(Value(2.0).str(), "2.0");
  EXPECT_EQ(Value(nullptr).str(), "None");
  EXPECT_EQ(Value(Value::List{Value("a")}).str(), "['a']");
}

TEST(ValueEquality, NumbersCompareByValueAcrossTypes) {
  EXPECT_EQ(Value(true), Value(1));
  EXPECT_EQ(Value(1), Value(1.0));
  EXPECT_EQ(Value(false), Value(0.0));
  EXPECT_NE(Value(0.5), Value(0));
  EXPECT_NE(Value(2), Value(true));
  const std::int64_t big = (std::int64_t{1} << 53) + 1;
  EXPECT_NE(Value(big), Value(static_cast<double>(big)));
  EXPECT_EQ(Value(std::int64_t{1} << 62), Value(std::ldexp(1.0, 62)));
  EXPECT_NE(Value(std::numeric_limits<std::int64_t>::max()), Value(std::ldexp(1.0, 63)));
  EXPECT_NE(Value(std::nan("")), Value(std::nan("")));
  EXPECT_EQ(Value(-0.0), Value(0));
}

TEST(ValueEquality, OtherKindsCompareOnlyWithTheirOwnKind) {
  EXPECT_NE(Value("3"), Value(3));
  EXPECT_EQ(Value("3"), Value(std::string("3")));
  EXPECT_EQ(Value(nullptr), Value());
  EXPECT_NE(Value(nullptr), Value(0));
  EXPECT_NE(Value(nullptr), Value(""));
  EXPECT_EQ(Value::parse("[1, 'a']"), Value::parse("[1.0, 'a']"));
  EXPECT_NE(Value::parse("[1]"), Value::parse("(1,)"));
  EXPECT_NE(Value::parse("[1]"), Value::parse("[1, 1]"));
  EXPECT_EQ(Value::parse("{'a': 1, 'b': 2}"), Value::parse("{'b': 2, 'a': True}"));
  EXPECT_NE(Value::parse("{'a': 1}"), Value::parse("{'a': 2}"));
  EXPECT_NE(Value::parse("{'a': 1}"), Value::parse("{'b': 1}"));
}

TEST(ValueAccess, AccessorsCheckTheKind) {
  EXPECT_EQ(Value(2.9).as_int(), 2);
  EXPECT_EQ(Value(-2.9).as_int(), -2);
  EXPECT_EQ(Value(true).as_int(), 1);
  EXPECT_DOUBLE_EQ(Value(3).as_float(), 3.0);
  EXPECT_THROW(Value("1").as_int(), std::logic_error);
  EXPECT_THROW(Value(1e300).as_int(), std::logic_error);
  EXPECT_THROW(Value(1).as_string(), std::logic_error);
  EXPECT_THROW(Value(1).as_bool(), std::logic_error);
  EXPECT_THROW(Value::parse("(1,)").as_list(), std::logic_error);
  const Value dict = Value::parse("{'a': 1, 2: 'b'}");
  ASSERT_NE(dict.find("a"), nullptr);
  EXPECT_EQ(*dict.find("a"), Value(1));
  EXPECT_EQ(dict.find("2"), nullptr);
  EXPECT_EQ(Value("a").find("a"), nullptr);
}

TEST(ValueAccess, TruthFollowsTheHostLanguage) {
  for (const char* falsy : {"None", "False", "0", "0.0", "-0.0", "''", "[]", "()", "{}"})
    EXPECT_FALSE(Value::parse(falsy).truthy()) << falsy;
  for (const char* truthy : {"True", "-1", "0.1", "'0'", "[0]", "(None,)", "{0: 0}"})
    EXPECT_TRUE(Value::parse(truthy).truthy()) << truthy;
}

TEST(Value, LoneBytesThatAreNoUtf8SurviveARoundTrip) {
  for (const std::string& text :
       {std::string("\xc2"),
        std::string("\xc2"
                    "A"),
        std::string("a\xff"), std::string("\xc2\xc2\x80"), std::string("\xc2 x")}) {
    const Value v(text);
    EXPECT_EQ(Value::parse(v.repr()).as_string(), text) << v.repr();
  }
  EXPECT_EQ(Value(std::string("\xc2\x85")).repr(), "'\\x85'");
}

}  // namespace
}  // namespace klippy
