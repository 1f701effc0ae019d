#include "klippy/host/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <random>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace klippy {

namespace {

constexpr int kMaxSymlinkHops = 40;
constexpr int kMaxNameAttempts = 100;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { close(); }
  int get() const { return fd_; }
  void reset(int fd) {
    close();
    fd_ = fd;
  }
  // Closing can report a delayed write error, so callers that care check the result.
  int close() {
    const int result = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// Removes the temporary file unless the rename consumed it.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  void track(std::string path) { path_ = std::move(path); }
  void release() { path_.clear(); }

 private:
  std::string path_;
};

[[noreturn]] void fail(const std::string& path, const std::string& step, int err) {
  throw std::runtime_error(write_failure_message(path, step, err));
}

std::string folder_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Follows symbolic links (also dangling ones: the write creates their target).
std::string final_target(const std::string& path) {
  std::string current = path;
  for (int hop = 0; hop < kMaxSymlinkHops; ++hop) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n < 0) fail(path, "reading the link " + current, errno);
    target.resize(static_cast<std::size_t>(n));
    current = target.front() == '/' ? target : folder_of(current) + "/" + target;
  }
  fail(path, "following links", ELOOP);
}

void write_all(const std::string& path, int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(path, "writing", errno);
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string base_name_of(const std::string& path) {
  return path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
}

std::string temp_prefix_of(const std::string& base) {
  return "." + base + ".tmp";
}

}  // namespace

std::string write_failure_message(const std::string& path, const std::string& step,
                                  int error_number) {
  // Permissions are the usual cause, but a user told to check them on a full disk would
  // look in the wrong place.
  std::string advice = "check that its folder exists and is writable";
  if (error_number == ENOSPC)
    advice = "the disk is full: free space on it";
  else if (error_number == EDQUOT)
    advice = "the disk quota of this user is used up: free space or raise the quota";
  return "Unable to write file '" + path + "' (" + step +
         "): " + std::generic_category().message(error_number) + "; " + advice;
}

int remove_leftover_temporaries(const std::string& path) {
  std::string target;
  try {
    target = final_target(path);
  } catch (const std::runtime_error&) {
    return 0;
  }
  const std::string base = base_name_of(target);
  return remove_leftover_temporaries_in(folder_of(target),
                                        [&](std::string_view name) { return name == base; });
}

int remove_leftover_temporaries_in(const std::string& folder,
                                   const std::function<bool(std::string_view)>& is_written_name) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return 0;
  // Our temporaries are ".<name>.tmp<digits>"; anything else in the folder is not ours.
  constexpr std::string_view kTemp = ".tmp";
  std::vector<std::string> leftovers;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name(entry->d_name);
    const std::size_t temp = name.rfind(kTemp);
    if (name.size() < 2 || name.front() != '.' || temp == std::string_view::npos || temp < 2)
      continue;
    const std::string_view digits = name.substr(temp + kTemp.size());
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
      continue;
    if (is_written_name(name.substr(1, temp - 1))) leftovers.emplace_back(name);
  }
  int removed = 0;
  for (const auto& name : leftovers)
    if (::unlink((folder + "/" + name).c_str()) == 0) ++removed;
  return removed;
}

void write_file_atomically(const std::string& path, std::string_view content,
                           const std::function<void()>& after_fsync) {
  const std::string target = final_target(path);
  const std::string folder = folder_of(target);
  const std::string base = base_name_of(target);

  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;

  TempFile temp;
  Fd fd;
  std::string temp_path;
  std::random_device random;
  for (int attempt = 0; fd.get() < 0; ++attempt) {
    temp_path = folder + "/" + temp_prefix_of(base) + std::to_string(random() % 1000000);
    fd.reset(::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd.get() >= 0) break;
    if (errno != EEXIST || attempt + 1 >= kMaxNameAttempts)
      fail(path, "creating a temporary file", errno);
  }
  temp.track(temp_path);

  if (existed) {
    if (::fchmod(fd.get(), old.st_mode & 07777) != 0) fail(path, "copying permissions", errno);
    // Only root may hand a file to another owner; anyone else keeps their own.
    if (::geteuid() == 0 && ::fchown(fd.get(), old.st_uid, old.st_gid) != 0)
      fail(path, "copying ownership", errno);
  }
  write_all(path, fd.get(), content);
  if (::fsync(fd.get()) != 0) fail(path, "flushing to disk", errno);
  if (after_fsync) after_fsync();
  if (fd.close() != 0) fail(path, "closing", errno);
  if (::rename(temp_path.c_str(), target.c_str()) != 0) fail(path, "replacing", errno);
  temp.release();

  // The new content is in place; syncing the folder only makes the rename durable, and
  // some file systems refuse it, so a failure here is not reported.
  const Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
}

}  // namespace klippy
