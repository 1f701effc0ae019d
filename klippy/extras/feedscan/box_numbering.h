// Which detected controller becomes which box number. The devices' enumeration order
// depends on the USB ports they use, so numbering by it would let a newly plugged box
// renumber the others, and slot data saved under a number would follow another box.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "klippy/extras/feedscan/devices.h"

namespace feedscan {

// `found` in box order. A box keeps the number under which the live configuration holds
// its link (firmware version aside) while that number still exists; the others fill the
// free numbers in the order of their links. `configured[i]` is the serial of box i + 1.
DetectedDevices number_boxes(const DetectedDevices& found,
                             const std::vector<std::optional<std::string>>& configured);

// Box numbers (from 1) whose box is not the one configured there before: another box,
// a box where none was, or none where one was. Firmware updates do not count.
std::vector<int> boxes_changed(const std::vector<std::optional<std::string>>& configured,
                               const DetectedDevices& numbered);

}  // namespace feedscan
