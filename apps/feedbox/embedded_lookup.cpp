#include <stdexcept>

#include "apps/feedbox/embedded_files.h"

namespace feedbox {

const std::string& embedded_file(const std::string& name) {
  for (const auto& file : embedded_files()) {
    if (file.name == name) return file.content;
  }
  throw std::out_of_range("no embedded file '" + name + "'");
}

}  // namespace feedbox
