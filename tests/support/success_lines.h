// The one line each box operation says when it succeeds: "// Loaded 1B into the extruder in
// 14.2 s." on the console, with a detail after a colon for some.
#pragma once

#include <gmock/gmock.h>

#include <regex>
#include <string>
#include <vector>

namespace testing_support {

// What a duration looks like in those lines.
inline constexpr const char* kDurationPattern =
    "([0-9]+\\.[0-9] s|[0-9]+ min [0-9]{2} s|[0-9]+ h [0-9]{2} min)";

inline std::string regex_escaped(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

// The success line of `what` ("Loaded 1B into the extruder"), with any duration; `detail`,
// when given, must follow it exactly. As the console shows it ("// ...") or as sent.
inline testing::Matcher<std::string> SuccessLine(const std::string& what,
                                                 const std::string& detail = "") {
  const std::string tail = detail.empty() ? "(: .*)?" : ": " + regex_escaped(detail);
  return testing::ContainsRegex("^(// )?" + regex_escaped(what) + " in " + kDurationPattern + tail +
                                "\\.$");
}

inline bool is_success_line(const std::string& line) {
  static const std::regex pattern(std::string("^(// )?[A-Z].* in ") + kDurationPattern +
                                  "(: .*)?\\.$");
  return std::regex_match(line, pattern);
}

// The lines that tell of a success.
inline std::vector<std::string> success_lines(const std::vector<std::string>& lines) {
  std::vector<std::string> found;
  for (const std::string& line : lines)
    if (is_success_line(line)) found.push_back(line);
  return found;
}

// Seconds a success line gives for its duration, for lines below a minute; -1 otherwise.
inline double success_seconds(const std::string& line) {
  static const std::regex pattern(" in ([0-9]+\\.[0-9]) s(: .*)?\\.$");
  std::smatch match;
  if (!std::regex_search(line, match, pattern)) return -1;
  return std::stod(match[1].str());
}

}  // namespace testing_support
