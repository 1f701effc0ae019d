#include "klippy/extras/feedscan/udev_system_services.h"

#include <libudev.h>

#include <stdexcept>

#include "klippy/host/errors.h"

namespace feedscan {
namespace {

struct UdevUnref {
  void operator()(udev* context) const { udev_unref(context); }
  void operator()(udev_enumerate* enumeration) const { udev_enumerate_unref(enumeration); }
  void operator()(udev_device* device) const { udev_device_unref(device); }
};

class UdevSystemServices final : public klippy::SystemServices {
 public:
  UdevSystemServices() : context_(udev_new()) {
    if (!context_)
      throw klippy::ConfigError(
          "Unable to open a udev context for box detection; check that udev is running");
  }

  std::vector<klippy::TtyDevice> list_tty_devices() override {
    std::unique_ptr<udev_enumerate, UdevUnref> enumeration(udev_enumerate_new(context_.get()));
    if (!enumeration || udev_enumerate_add_match_subsystem(enumeration.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(enumeration.get()) < 0)
      throw std::runtime_error("Enumerating the tty devices through udev failed");
    std::vector<klippy::TtyDevice> devices;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration.get())) {
      std::unique_ptr<udev_device, UdevUnref> device(
          udev_device_new_from_syspath(context_.get(), udev_list_entry_get_name(entry)));
      if (!device) continue;  // gone since the scan
      const char* node = udev_device_get_devnode(device.get());
      const char* links = udev_device_get_property_value(device.get(), "DEVLINKS");
      devices.push_back({node ? node : "", klippy::split_devlinks(links ? links : "")});
    }
    return devices;
  }

 private:
  std::unique_ptr<udev, UdevUnref> context_;
};

}  // namespace

std::shared_ptr<klippy::SystemServices> make_udev_system_services() {
  return std::make_shared<UdevSystemServices>();
}

}  // namespace feedscan
