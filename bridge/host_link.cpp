#include "bridge/host_link.h"

#include "klippy/host/errors.h"

namespace bridge {

void HostLink::rethrow(py::error_already_set& error) const {
  if (errors_ && errors_->command_error && !errors_->command_error.is_none() &&
      error.matches(errors_->command_error)) {
    throw klippy::CommandError(py::str(error.value()).cast<std::string>());
  }
  throw PythonError(std::move(error));
}

}  // namespace bridge
