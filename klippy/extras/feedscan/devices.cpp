#include "klippy/extras/feedscan/devices.h"

#include <algorithm>
#include <cctype>
#include <regex>
#include <stdexcept>

namespace feedscan {
namespace {

// Numbers of at most nine digits separated by single dots; anything else is no version we
// can compare.
std::optional<FirmwareVersion> parse_version(const std::string& text) {
  static const std::regex pattern(R"(\d{1,9}(\.\d{1,9})*)");
  if (!std::regex_match(text, pattern)) return std::nullopt;
  FirmwareVersion version;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t dot = std::min(text.find('.', start), text.size());
    version.parts.push_back(std::stoul(text.substr(start, dot - start)));
    start = dot + 1;
  }
  return version;
}

}  // namespace

bool is_by_id_link(const std::string& link, const std::string& marker) {
  return link.find(kByIdFolder) != std::string::npos && link.find(marker) != std::string::npos;
}

std::optional<std::string> first_link(const std::vector<std::string>& links,
                                      const std::string& marker) {
  for (const auto& link : links)
    if (is_by_id_link(link, marker)) return link;
  return std::nullopt;
}

std::vector<std::string> all_links(const std::vector<std::string>& links,
                                   const std::string& marker) {
  std::vector<std::string> found;
  for (const auto& link : links)
    if (is_by_id_link(link, marker)) found.push_back(link);
  return found;
}

bool has_bootloader_link(const std::vector<std::string>& links) {
  return first_link(links, kBootloaderMarker) || first_link(links, kBootloaderMarker2);
}

void DetectedDevices::add(std::string devnode, std::string link) {
  for (auto& entry : entries_) {
    if (entry.first == devnode) {
      entry.second = std::move(link);
      return;
    }
  }
  entries_.emplace_back(std::move(devnode), std::move(link));
}

void DetectedDevices::reverse() {
  std::reverse(entries_.begin(), entries_.end());
}

const std::string& DetectedDevices::link_of_box(int box_index) const {
  if (box_index < 1 || static_cast<std::size_t>(box_index) > entries_.size())
    throw std::out_of_range("No box " + std::to_string(box_index) + " among the " +
                            std::to_string(entries_.size()) + " detected");
  return entries_[static_cast<std::size_t>(box_index - 1)].second;
}

std::string DetectedDevices::describe() const {
  std::string text = "{";
  for (const auto& [devnode, link] : entries_) {
    if (text.size() > 1) text += ", ";
    text += devnode + ": " + link;
  }
  return text + "}";
}

bool FirmwareVersion::newer_than(const FirmwareVersion& other) const {
  const std::size_t length = std::max(parts.size(), other.parts.size());
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned long mine = i < parts.size() ? parts[i] : 0;
    const unsigned long theirs = i < other.parts.size() ? other.parts[i] : 0;
    if (mine != theirs) return mine > theirs;
  }
  return false;
}

std::optional<FirmwareVersion> controller_version(const std::string& link) {
  static const std::regex pattern(R"(V1_(\d+\.\d+\.\d+))");
  std::smatch match;
  if (!std::regex_search(link, match, pattern)) return std::nullopt;
  return parse_version(match[1].str());
}

std::optional<FirmwareVersion> image_version(const std::string& name) {
  const std::size_t start = name.find("v1_");
  if (start == std::string::npos) return std::nullopt;
  const std::string rest = name.substr(start + 3);
  return parse_version(rest.substr(0, rest.find(".bin")));
}

std::string box_identity(const std::string& link) {
  // With its separator: a controller whose link carries no version is the same box.
  static const std::regex version(R"((V1_)\d+\.\d+\.\d+_?)");
  return std::regex_replace(link, version, "$1");
}

std::string shell_word(const std::string& text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '/' || c == '.' || c == '_' || c == '-' || c == ':' ||
           c == '+' || c == ',' || c == '=' || c == '@' || c == '%';
  });
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace feedscan
