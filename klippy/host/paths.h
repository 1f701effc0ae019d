// Paths as the host's Python code takes them.
#pragma once

#include <cstdlib>
#include <string>

namespace klippy {

// os.path.expanduser for the forms configuration files use: "~" and "~/..." are the user's
// home; anything else is returned as it is.
inline std::string expand_user(const std::string& path) {
  if (path != "~" && path.rfind("~/", 0) != 0) return path;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + path.substr(1);
}

}  // namespace klippy
