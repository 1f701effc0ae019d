// Recognising box controllers among the serial devices: the by-id links of each firmware
// generation and of the bootloader, the firmware versions in links and image names, and the
// map of detected boxes.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace feedscan {

inline constexpr const char* kByIdFolder = "/dev/serial/by-id/";
inline constexpr const char* kBoxV1Marker = "ZEKA_BOX_V1";
inline constexpr const char* kBoxV2Marker = "ZEKA_BOX_V2";
inline constexpr const char* kBootloaderMarker = "ZUR_COLOR0_BOOT";
inline constexpr const char* kBootloaderMarker2 = "ZUR_COLOR_BOOT";

// Both substrings anywhere in the link, not necessarily as its prefix.
bool is_by_id_link(const std::string& link, const std::string& marker);
std::optional<std::string> first_link(const std::vector<std::string>& links,
                                      const std::string& marker);
std::vector<std::string> all_links(const std::vector<std::string>& links,
                                   const std::string& marker);
bool has_bootloader_link(const std::vector<std::string>& links);

// Device node → the device's generation-1 link, in box order: box N is entry N - 1.
class DetectedDevices {
 public:
  void add(std::string devnode, std::string link);
  void reverse();
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // The link of box `box_index` (from 1); std::out_of_range when there is no such box.
  const std::string& link_of_box(int box_index) const;
  const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }
  // "{/dev/ttyACM0: /dev/serial/by-id/..., ...}" for the log.
  std::string describe() const;

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

// A firmware version "1.0.10" as its numbers {1, 0, 10}, compared part by part: with the
// dots removed, 1.0.10 would pass for newer than 1.1.0.
struct FirmwareVersion {
  std::vector<unsigned long> parts;
  // Missing trailing parts count as 0 (1.2 equals 1.2.0).
  bool newer_than(const FirmwareVersion& other) const;
  bool operator==(const FirmwareVersion& other) const = default;
};

// Version of a generation-1 controller from its link ("..V1_1.0.10..." → 1.0.10); nullopt
// when the link holds no such version.
std::optional<FirmwareVersion> controller_version(const std::string& link);
// Version of a firmware image from its file name ("mcu_box_to_v1_1.2.3.bin" → 1.2.3);
// nullopt when the name has no "v1_<numbers and dots>.bin" part.
std::optional<FirmwareVersion> image_version(const std::string& name);

// What stays the same of a box's link across firmware updates: the link with its firmware
// version taken out, so that a flashed box is still the same box, also when its link
// carries no version at all.
std::string box_identity(const std::string& link);

// `text` as one shell word: unchanged when it holds only characters that the shell takes
// literally, else in single quotes, so that a device or file name cannot inject commands.
std::string shell_word(const std::string& text);

}  // namespace feedscan
