#include "bridge/py_value.h"

namespace bridge {

py::object to_python(const klippy::Value& value) {
  if (value.is_none()) return py::none();
  if (value.is_bool()) return py::bool_(value.as_bool());
  if (value.is_int()) return py::int_(value.as_int());
  if (value.is_float()) return py::float_(value.as_float());
  if (value.is_string()) return py::str(value.as_string());
  if (value.is_list()) {
    py::list list;
    for (const klippy::Value& item : value.as_list()) list.append(to_python(item));
    return list;
  }
  if (value.is_tuple()) {
    const auto& items = value.as_tuple();
    py::tuple tuple(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) tuple[i] = to_python(items[i]);
    return tuple;
  }
  py::dict dict;
  for (const auto& [key, item] : value.as_dict()) dict[to_python(key)] = to_python(item);
  return dict;
}

klippy::Value from_python(py::handle object) {
  if (object.is_none()) return {};
  // bool before int: True is an int to Python too.
  if (py::isinstance<py::bool_>(object)) return object.cast<bool>();
  if (py::isinstance<py::int_>(object)) return object.cast<long long>();
  if (py::isinstance<py::float_>(object)) return object.cast<double>();
  if (py::isinstance<py::str>(object)) return object.cast<std::string>();
  // MCU answers carry their byte fields as bytes; modules read them as raw text.
  if (py::isinstance<py::bytes>(object)) return std::string(object.cast<py::bytes>());
  if (PyByteArray_Check(object.ptr())) {
    return std::string(PyByteArray_AsString(object.ptr()),
                       static_cast<std::size_t>(PyByteArray_Size(object.ptr())));
  }
  if (py::isinstance<py::list>(object)) {
    klippy::Value::List list;
    for (py::handle item : object) list.push_back(from_python(item));
    return list;
  }
  if (py::isinstance<py::tuple>(object)) {
    klippy::Value::Tuple tuple;
    for (py::handle item : object) tuple.items.push_back(from_python(item));
    return tuple;
  }
  if (py::isinstance<py::dict>(object)) {
    klippy::Value::Dict dict;
    for (auto [key, item] : object.cast<py::dict>()) {
      dict.emplace_back(from_python(key), from_python(item));
    }
    return dict;
  }
  return py::str(object).cast<std::string>();
}

}  // namespace bridge
