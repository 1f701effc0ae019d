// Adapters of the host's own objects to the host interface, chosen by the name the object
// is registered under. Names the bridge has no interface for get a plain object whose
// status is the host object's status.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "bridge/host_link.h"
#include "klippy/host/object.h"
#include "klippy/host/toolhead.h"

namespace bridge {

namespace py = pybind11;

class BridgePrinter;

std::shared_ptr<klippy::PrinterObject> make_adapter(BridgePrinter& printer, const std::string& name,
                                                    py::object object);

// One per kind of host object (adapters_state.cpp, adapters_motion.cpp, adapters_mcu.cpp).
std::shared_ptr<klippy::PrinterObject> make_state_adapter(BridgePrinter& printer,
                                                          const std::string& name,
                                                          py::object object);
std::shared_ptr<klippy::PrinterObject> make_motion_adapter(BridgePrinter& printer,
                                                           const std::string& name,
                                                           py::object object);
std::shared_ptr<klippy::PrinterObject> make_mcu_adapter(BridgePrinter& printer,
                                                        const std::string& name, py::object object);

std::optional<klippy::Value> host_status(py::handle object, const HostLink& link, double eventtime);

// A host object seen through one interface of the host; its status is the host object's
// get_status(eventtime), when it has one.
template <class Interface>
class HostAdapter : public Interface {
 public:
  HostAdapter(py::object object, HostLink link)
      : object_(std::move(object)), link_(std::move(link)) {}
  std::optional<klippy::Value> get_status(double eventtime) override {
    return host_status(object_, link_, eventtime);
  }
  const py::object& host_object() const { return object_; }

 protected:
  py::object object_;
  HostLink link_;
};

klippy::Position to_position(py::handle sequence);
py::list from_position(const klippy::Position& position);

}  // namespace bridge
