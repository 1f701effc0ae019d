// Replacing a file so that readers and crashes see either the old or the new content.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace klippy {

// Writes `content` to a temporary file in the target's folder, flushes it to disk and
// renames it over `path`. An existing file keeps its permission bits; a new one gets
// 0644 less the umask. A symbolic link is followed to its final target, so the link stays.
// On failure the old file is left as it was and std::runtime_error names the path and cause.
// `after_fsync` (a test hook) runs once the new content is on disk, before the rename; an
// exception from it fails the write like a failed fsync.
void write_file_atomically(const std::string& path, std::string_view content,
                           const std::function<void()>& after_fsync = {});

// What a write of `path` that failed at `step` with `error_number` says: the path, the
// cause and what to do about it.
std::string write_failure_message(const std::string& path, const std::string& step,
                                  int error_number);

// Removes the temporary files that writes of `path` left behind when the process died
// between creating and renaming them. Only the writer of `path` may call it, at start,
// before its first write. Returns how many it removed; failures to list or remove are
// not errors (the leftovers only take space).
int remove_leftover_temporaries(const std::string& path);
// The same for every file of `folder` whose name `is_written_name` accepts, for a writer
// of numbered files: a write killed before its rename leaves no file of that name.
int remove_leftover_temporaries_in(const std::string& folder,
                                   const std::function<bool(std::string_view)>& is_written_name);

}  // namespace klippy
