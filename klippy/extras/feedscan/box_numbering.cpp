#include "klippy/extras/feedscan/box_numbering.h"

#include <algorithm>

namespace feedscan {
namespace {

using Entry = std::pair<std::string, std::string>;  // device node, link

std::optional<std::string> identity_of(const std::optional<std::string>& link) {
  if (!link) return std::nullopt;
  return box_identity(*link);
}

}  // namespace

DetectedDevices number_boxes(const DetectedDevices& found,
                             const std::vector<std::optional<std::string>>& configured) {
  std::vector<Entry> remaining = found.entries();
  std::sort(remaining.begin(), remaining.end(), [](const Entry& a, const Entry& b) {
    const std::string ia = box_identity(a.second), ib = box_identity(b.second);
    return ia != ib ? ia < ib : a < b;
  });
  std::vector<std::optional<Entry>> numbered(remaining.size());
  for (std::size_t box = 0; box < numbered.size() && box < configured.size(); ++box) {
    const auto wanted = identity_of(configured[box]);
    if (!wanted) continue;
    auto it = std::find_if(remaining.begin(), remaining.end(),
                           [&](const Entry& e) { return box_identity(e.second) == *wanted; });
    if (it == remaining.end()) continue;
    numbered[box] = *it;
    remaining.erase(it);
  }
  auto next = remaining.begin();
  for (auto& slot : numbered) {
    if (!slot) slot = *next++;
  }
  DetectedDevices result;
  for (auto& entry : numbered) result.add(entry->first, entry->second);
  return result;
}

std::vector<int> boxes_changed(const std::vector<std::optional<std::string>>& configured,
                               const DetectedDevices& numbered) {
  std::vector<int> changed;
  const std::size_t boxes = std::max(configured.size(), numbered.size());
  for (std::size_t i = 0; i < boxes; ++i) {
    const auto before = i < configured.size() ? identity_of(configured[i]) : std::nullopt;
    const auto now = i < numbered.size()
                         ? std::optional<std::string>(box_identity(numbered.entries()[i].second))
                         : std::nullopt;
    if (before != now) changed.push_back(static_cast<int>(i) + 1);
  }
  return changed;
}

}  // namespace feedscan
