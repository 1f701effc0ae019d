#include "bridge/object_handle.h"

#include "bridge/bridge_printer.h"
#include "bridge/py_value.h"

namespace bridge {
namespace {

constexpr const char* kHandleAttribute = "feedbox_object";
constexpr const char* kHandleCapsule = "feedbox.object";

using ObjectRef = std::weak_ptr<klippy::PrinterObject>;

void free_ref(PyObject* capsule) {
  delete static_cast<ObjectRef*>(PyCapsule_GetPointer(capsule, kHandleCapsule));
}

}  // namespace

py::object make_object_handle(BridgePrinter& printer,
                              const std::shared_ptr<klippy::PrinterObject>& object) {
  auto ref = std::make_unique<ObjectRef>(object);
  py::object capsule =
      py::reinterpret_steal<py::object>(PyCapsule_New(ref.get(), kHandleCapsule, free_ref));
  if (!capsule) throw py::error_already_set();
  ref.release();  // owned by the capsule from here on
  py::object get_status = printer.link().callable(
      "get_status", [weak = ObjectRef(object)](const py::tuple& args) -> py::object {
        auto strong = weak.lock();
        const double eventtime = args.empty() ? 0.0 : args[0].cast<double>();
        std::optional<klippy::Value> status = strong ? strong->get_status(eventtime) : std::nullopt;
        return status ? to_python(*status) : py::dict();
      });
  py::object ns = py::module_::import("types").attr("SimpleNamespace");
  return ns(py::arg("get_status") = get_status, py::arg(kHandleAttribute) = capsule);
}

klippy::PrinterObject* handled_object(py::handle object) {
  py::object capsule = py::getattr(object, kHandleAttribute, py::none());
  if (capsule.is_none() || !PyCapsule_IsValid(capsule.ptr(), kHandleCapsule)) return nullptr;
  auto* ref = static_cast<ObjectRef*>(PyCapsule_GetPointer(capsule.ptr(), kHandleCapsule));
  return ref->lock().get();  // the printer keeps the object itself alive
}

}  // namespace bridge
