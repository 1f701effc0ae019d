#include "bridge/entry_points.h"

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "bridge/bridge_config.h"
#include "bridge/bridge_printer.h"
#include "bridge/host_link.h"
#include "klippy/extras/feedhub/module.h"
#include "klippy/extras/feedlane/module.h"
#include "klippy/extras/feedscan/module.h"
#include "klippy/extras/feedtag/module.h"

namespace bridge {
namespace {

namespace py = pybind11;

using ModulePtr = std::shared_ptr<const klippy::ExtraModule>;

// Runs one entry point. Errors of the module's set-up become the host's configuration
// error, so the host reports them as a broken configuration rather than a crash.
template <class Body>
py::object run_entry(const py::tuple& args, const Body& body) {
  py::object config = args[0];
  py::object printer = config.attr("get_printer")();
  BridgePrinter& bridge = BridgePrinter::attach(printer);
  std::optional<std::string> failure;
  try {
    bridge.read_base_folder(config);
    return body(bridge, bridge.config_section(config));
  } catch (const klippy::ConfigError& error) {
    failure = error.what();
  } catch (const klippy::CommandError& error) {
    failure = error.what();
  }
  const py::object& config_error = bridge.link().errors()->config_error;
  PyErr_SetString(config_error.is_none() ? PyExc_RuntimeError : config_error.ptr(),
                  failure->c_str());
  throw py::error_already_set();
}

py::object entry(const std::string& name, klippy::LoadConfigFn fn) {
  return make_callable(
      name,
      [fn = std::move(fn)](const py::tuple& args) {
        return run_entry(args, [&](BridgePrinter& printer, BridgeConfig& section) {
          return printer.adopt(fn(section));
        });
      },
      nullptr);
}

py::object add_objects_entry(const ModulePtr& module, bool return_object) {
  return make_callable(
      return_object ? "load_config" : "add_printer_objects",
      [module, return_object](const py::tuple& args) {
        return run_entry(args, [&](BridgePrinter& printer, BridgeConfig& section) -> py::object {
          module->add_printer_objects(section);
          if (!return_object) return py::none();
          return printer.link().invoke(printer.host_printer(), "lookup_object", module->name);
        });
      },
      nullptr);
}

}  // namespace

PyObject* create_extension(PyModuleDef& definition, klippy::ExtraModule module) {
  try {
    auto extension = py::reinterpret_steal<py::object>(PyModule_Create(&definition));
    if (!extension) return nullptr;
    auto shared = std::make_shared<const klippy::ExtraModule>(std::move(module));
    if (shared->load_config) {
      extension.attr("load_config") = entry("load_config", shared->load_config);
    } else if (shared->add_printer_objects) {
      extension.attr("load_config") = add_objects_entry(shared, true);
    }
    if (shared->load_config_prefix) {
      extension.attr("load_config_prefix") =
          entry("load_config_prefix", shared->load_config_prefix);
    }
    if (shared->add_printer_objects) {
      extension.attr("add_printer_objects") = add_objects_entry(shared, false);
    }
    return extension.release().ptr();
  } catch (py::error_already_set& error) {
    error.restore();
    return nullptr;
  }
}

PyObject* create_product_extension(PyModuleDef& definition, const char* product_module) {
  const std::string name = product_module;
  if (name == "feedhub") return create_extension(definition, feedhub::feedhub_module());
  if (name == "feedlane") return create_extension(definition, feedlane::feedlane_module());
  if (name == "feedtag") return create_extension(definition, feedtag::feedtag_module());
  if (name == "feedscan") return create_extension(definition, feedscan::feedscan_module());
  PyErr_Format(PyExc_ImportError, "feedbox has no module '%s'", product_module);
  return nullptr;
}

}  // namespace bridge
