// Replacing a file so that readers and crashes see either the old or the new content.
#pragma once

#include <string>
#include <string_view>

namespace klippy {

// Writes `content` to a temporary file in the target's folder, flushes it to disk and
// renames it over `path`. An existing file keeps its permission bits; a new one gets
// 0644 less the umask. A symbolic link is followed to its final target, so the link stays.
// On failure the old file is left as it was and std::runtime_error names the path and cause.
void write_file_atomically(const std::string& path, std::string_view content);

}  // namespace klippy
