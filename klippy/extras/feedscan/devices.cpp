#include "klippy/extras/feedscan/devices.h"

#include <algorithm>
#include <cctype>
#include <regex>
#include <stdexcept>

namespace feedscan {
namespace {

// Digits only, and few enough to fit: a longer text is no version we can compare.
std::optional<long long> parse_version_digits(std::string text) {
  std::erase(text, '.');
  if (text.empty() || text.size() > 18) return std::nullopt;
  if (!std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
    return std::nullopt;
  return std::stoll(text);
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

std::optional<long long> controller_version(const std::string& link) {
  static const std::regex pattern(R"(V1_(\d+\.\d+\.\d+))");
  std::smatch match;
  if (!std::regex_search(link, match, pattern)) return std::nullopt;
  return parse_version_digits(match[1].str());
}

std::optional<long long> image_version(const std::string& name) {
  const std::size_t start = name.find("v1_");
  if (start == std::string::npos) return std::nullopt;
  const std::string rest = name.substr(start + 3);
  return parse_version_digits(rest.substr(0, rest.find(".bin")));
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
