#include "bridge/adapters.h"

#include "bridge/bridge_printer.h"
#include "bridge/py_value.h"

namespace bridge {

std::optional<klippy::Value> host_status(py::handle object, const HostLink& link,
                                         double eventtime) {
  if (!py::hasattr(object, "get_status")) return std::nullopt;
  return from_python(link.invoke(object, "get_status", eventtime));
}

klippy::Position to_position(py::handle sequence) {
  klippy::Position position{};
  std::size_t i = 0;
  for (py::handle item : sequence) {
    if (i == position.size()) break;
    position[i++] = item.cast<double>();
  }
  return position;
}

py::list from_position(const klippy::Position& position) {
  py::list list;
  for (double coordinate : position) list.append(coordinate);
  return list;
}

std::shared_ptr<klippy::PrinterObject> make_adapter(BridgePrinter& printer, const std::string& name,
                                                    py::object object) {
  if (auto adapter = make_state_adapter(printer, name, object)) return adapter;
  if (auto adapter = make_motion_adapter(printer, name, object)) return adapter;
  if (auto adapter = make_mcu_adapter(printer, name, object)) return adapter;
  return std::make_shared<HostAdapter<klippy::PrinterObject>>(std::move(object), printer.link());
}

}  // namespace bridge
