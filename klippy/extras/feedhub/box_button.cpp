#include "klippy/extras/feedhub/box_button.h"

#include <utility>

#include "klippy/host/printer.h"

namespace feedhub {

BoxButton::BoxButton(klippy::ConfigSection& config, const std::string& pin,
                     klippy::ButtonCallback callback) {
  auto& buttons = config.get_printer().load_object<klippy::PrinterButtons>(config, "buttons");
  buttons.register_buttons({pin}, std::move(callback));
}

}  // namespace feedhub
