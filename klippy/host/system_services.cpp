#include "klippy/host/system_services.h"

#include <dirent.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

int run_system_shell(const std::string& command) {
  std::string shell = "/bin/sh", flag = "-c", text = command;
  char* argv[] = {shell.data(), flag.data(), text.data(), nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int SystemServices::run_shell(const std::string& command) {
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
