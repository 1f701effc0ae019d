// USB device links and firmware image names as box detection reads them: versions that
// read compare consistently, a box keeps its identity across a version change, and any
// name becomes one shell word.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "klippy/extras/feedscan/devices.h"

namespace {

// What the shell would make of a word: undoes the quoting of shell_word, or fails.
bool unquotes_to(const std::string& word, const std::string& text) {
  if (word.empty()) return false;
  if (word.front() != '\'')
    return word == text && word.find_first_of(" \t\n'\"\\$`;|&<>()*?[]{}~#!") == std::string::npos;
  std::string out;
  bool quoted = false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    const char c = word[i];
    if (c == '\'') {
      quoted = !quoted;
    } else if (quoted) {
      out += c;
    } else if (c == '\\' && i + 1 < word.size()) {
      out += word[++i];
    } else {
      return false;
    }
  }
  return !quoted && out == text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  const auto controller = feedscan::controller_version(name);
  const auto image = feedscan::image_version(name);
  if (controller && image) {
    if (controller->newer_than(*image) && image->newer_than(*controller)) std::abort();
    if (*controller == *image && controller->newer_than(*image)) std::abort();
  }
  if (controller && controller->parts.size() != 3) std::abort();
  if (controller && feedscan::box_identity(name).find("V1_") == std::string::npos) std::abort();
  (void)feedscan::is_by_id_link(name, feedscan::kBoxV1Marker);
  (void)feedscan::has_bootloader_link({name});
  if (!unquotes_to(feedscan::shell_word(name), name)) std::abort();
  return 0;
}
