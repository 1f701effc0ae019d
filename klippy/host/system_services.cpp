#include "klippy/host/system_services.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <sstream>

#include "klippy/host/atomic_file.h"
#include "klippy/host/ini.h"

extern char** environ;

namespace klippy {

std::vector<std::string> split_devlinks(const std::string& devlinks) {
  std::vector<std::string> links;
  std::istringstream in(devlinks);
  std::string link;
  while (in >> link) links.push_back(link);
  return links;
}

namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { ::posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
};

}  // namespace

ShellResult run_system_shell(const std::string& command, std::size_t max_output) {
  ShellResult result;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return result;
  Fd read_end{ends[0]}, write_end{ends[1]};
  SpawnActions spawn;
  ::posix_spawn_file_actions_adddup2(&spawn.actions, write_end.fd, STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&spawn.actions, write_end.fd, STDERR_FILENO);
  std::string shell = "/bin/sh", flag = "-c", text = command;
  char* argv[] = {shell.data(), flag.data(), text.data(), nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, "/bin/sh", &spawn.actions, nullptr, argv, environ) != 0) return result;
  write_end.close();
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(read_end.fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    const std::size_t keep = std::min(static_cast<std::size_t>(got),
                                      max_output - std::min(max_output, result.output.size()));
    result.output.append(buffer, keep);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return result;
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

ShellResult SystemServices::run_shell(const std::string& command) {
  return run_system_shell(command);
}

std::vector<std::string> SystemServices::list_directory(const std::string& folder) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

bool SystemServices::file_exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

bool SystemServices::files_equal(const std::string& a, const std::string& b) {
  return read_text_file(a) == read_text_file(b);
}

void SystemServices::copy_file(const std::string& from, const std::string& to) {
  write_file_atomically(to, read_text_file(from));
}

}  // namespace klippy
