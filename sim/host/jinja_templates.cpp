#include "sim/host/jinja_templates.h"

#include <pybind11/embed.h>

#include <thread>

#include "klippy/host/errors.h"
#include "klippy/host/gcode.h"
#include "klippy/host/reactor.h"
#include "sim/host/printer.h"
#include "sim/host/python_interpreter.h"
#include "sim/reactor/reactor.h"

namespace py = pybind11;

namespace sim {
namespace {

// The host's own template handling, word for word where a user can see it: the status
// wrapper (its class name appears in messages about undefined objects, hence the module
// name), how a failed compile or render is reported, and how variables are read. The host's
// exception classes are named after their modules, as messages show them.
constexpr const char* kTemplateSupport = R"PY(
import ast, json, traceback
import jinja2

class CommandError(Exception):
    pass
CommandError.__module__ = 'gcode'

class ReactorError(Exception):
    pass
ReactorError.__module__ = 'reactor'

class GetStatusWrapper:
    def __init__(self, lookup, names):
        self.lookup = lookup
        self.names = names
        self.cache = {}
    def __getitem__(self, val):
        sval = str(val).strip()
        if sval in self.cache:
            return self.cache[sval]
        res = self.lookup(sval)
        if res is None:
            raise KeyError(val)
        self.cache[sval] = res
        return res
    def __contains__(self, val):
        try:
            self.__getitem__(val)
        except KeyError as e:
            return False
        return True
    def __iter__(self):
        for name in self.names():
            if self.__contains__(name):
                yield name

def load_template(env, name, script):
    try:
        return env.from_string(script), None
    except jinja2.exceptions.TemplateSyntaxError as e:
        lines = script.splitlines()
        return None, "Error loading template '%s'\nline %s: %s # %s" % (
            name, e.lineno, lines[e.lineno-1], e.message)
    except Exception as e:
        return None, "Error loading template '%s': %s" % (
            name, traceback.format_exception_only(type(e), e)[-1])

def render(template, name, context):
    try:
        return str(template.render(context)), None
    except Exception as e:
        return None, "Error evaluating '%s': %s" % (
            name, traceback.format_exception_only(type(e), e)[-1])

def action_raise_error(msg):
    raise CommandError(msg)

def parse_literal(text):
    try:
        literal = ast.literal_eval(text)
        json.dumps(literal, separators=(',', ':'))
        return literal, None
    except (SyntaxError, TypeError, ValueError) as e:
        return None, str(e)
)PY";

// Texts cross as UTF-8; bytes that are not UTF-8 pass through unchanged both ways.
py::object to_python(const std::string& text) {
  PyObject* object =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
  if (!object) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(object);
}

std::string text_of(py::handle object) {
  PyObject* bytes = PyUnicode_AsEncodedString(object.ptr(), "utf-8", "surrogateescape");
  if (!bytes) throw py::error_already_set();
  return std::string(py::reinterpret_steal<py::bytes>(bytes));
}

py::object to_python(const klippy::Value& value) {
  if (value.is_none()) return py::none();
  if (value.is_bool()) return py::bool_(value.as_bool());
  if (value.is_int()) return py::int_(value.as_int());
  if (value.is_float()) return py::float_(value.as_float());
  if (value.is_string()) return to_python(value.as_string());
  if (value.is_list()) {
    py::list list;
    for (const auto& item : value.as_list()) list.append(to_python(item));
    return list;
  }
  if (value.is_tuple()) {
    const auto& items = value.as_tuple();
    py::tuple tuple(items.size());
    for (size_t i = 0; i < items.size(); ++i) tuple[i] = to_python(items[i]);
    return tuple;
  }
  py::dict dict;
  for (const auto& [key, item] : value.as_dict()) dict[to_python(key)] = to_python(item);
  return dict;
}

// A literal that passed the host's checks: None, bool, int, float, str, list, tuple, dict.
klippy::Value from_python(py::handle object) {
  PyObject* raw = object.ptr();
  if (object.is_none()) return {};
  if (PyBool_Check(raw)) return klippy::Value(raw == Py_True);
  if (PyLong_Check(raw)) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(raw, &overflow);
    if (overflow != 0)
      throw klippy::LiteralError("the integer " + text_of(py::str(object)) +
                                 " is beyond 64 bits, which this host keeps");
    return klippy::Value(number);
  }
  if (PyFloat_Check(raw)) return klippy::Value(PyFloat_AsDouble(raw));
  if (PyUnicode_Check(raw)) return klippy::Value(text_of(object));
  if (PyList_Check(raw) || PyTuple_Check(raw)) {
    std::vector<klippy::Value> items;
    for (py::handle item : object) items.push_back(from_python(item));
    if (PyList_Check(raw)) return klippy::Value(std::move(items));
    return klippy::Value(klippy::Value::Tuple{std::move(items)});
  }
  klippy::Value::Dict dict;
  for (auto [key, item] : py::reinterpret_borrow<py::dict>(object))
    dict.emplace_back(from_python(key), from_python(item));
  return klippy::Value(std::move(dict));
}

[[noreturn]] void raise_in_python(py::handle type, const std::string& message) {
  PyErr_SetObject(type.ptr(), to_python(message).ptr());
  throw py::error_already_set();
}

}  // namespace

struct TemplateEnvironment::Python {
  py::dict support;  // the namespace of kTemplateSupport
  py::object environment;
  py::object status_wrapper, load_template, render, parse_literal;
  py::object command_error, reactor_error;
  py::object lookup_status, object_names;
  py::dict actions;
};

struct GCodeTemplate::Compiled {
  py::object jinja_template;
  std::string name;
};

TemplateEnvironment::TemplateEnvironment(SimPrinter& printer, PythonInterpreter& python)
    : printer_(printer), interpreter_(python) {}

TemplateEnvironment::~TemplateEnvironment() = default;

TemplateEnvironment::Python& TemplateEnvironment::python() {
  interpreter_.ensure_started();
  if (python_) return *python_;
  auto state = std::make_unique<Python>();
  py::object module = py::module_::import("types").attr("ModuleType")("extras.gcode_macro");
  state->support = module.attr("__dict__");
  try {
    py::exec(kTemplateSupport, state->support);
  } catch (const py::error_already_set& e) {
    throw klippy::ConfigError(
        std::string("G-code macros need Python's Jinja2, as the host does (") +
        text_of(py::str(e.value())) + "): install python3-jinja2 (scripts/install-deps)");
  }
  state->environment = py::module_::import("jinja2").attr("Environment")("{%", "%}", "{", "}");
  state->status_wrapper = state->support["GetStatusWrapper"];
  state->load_template = state->support["load_template"];
  state->render = state->support["render"];
  state->parse_literal = state->support["parse_literal"];
  state->command_error = state->support["CommandError"];
  state->reactor_error = state->support["ReactorError"];

  // As the host's printer wrapper: the object's status or None (no such object, or no
  // status), read where no wait may happen.
  state->lookup_status = py::cpp_function([this](const py::str& name) -> py::object {
    try {
      klippy::PrinterObject* object = printer_.find_object(text_of(name));
      if (!object) return py::none();
      const klippy::NoPauseScope no_waits(printer_.get_reactor());
      std::optional<klippy::Value> status = object->get_status(printer_.get_reactor().monotonic());
      return status ? to_python(*status) : py::none();
    } catch (const py::error_already_set&) {
      throw;
    } catch (const klippy::CommandError& e) {
      raise_in_python(python_->command_error, e.what());
    } catch (const std::exception& e) {
      if (std::string(e.what()) == SimReactor::kPauseDisabled)
        raise_in_python(python_->reactor_error, e.what());
      raise_in_python(PyExc_RuntimeError, e.what());
    }
  });
  state->object_names = py::cpp_function([this] {
    py::list names;
    for (const auto& [name, object] : printer_.lookup_objects("")) names.append(to_python(name));
    return names;
  });
  state->actions["action_emergency_stop"] = py::cpp_function(
      [this](const py::str& message) {
        printer_.invoke_shutdown("Shutdown due to " + text_of(message));
        return "";
      },
      py::arg("msg") = "action_emergency_stop");
  state->actions["action_respond_info"] = py::cpp_function(
      [this](const py::str& message) {
        printer_.lookup_object<klippy::GCodeDispatch>("gcode").respond_info(text_of(message));
        return "";
      },
      py::arg("msg"));
  state->actions["action_raise_error"] = state->support["action_raise_error"];
  // No front end registers remote methods with this host: every call fails as the host's
  // does for a method nobody registered, which it logs and ignores.
  state->actions["action_call_remote_method"] = py::cpp_function(
      [this](const py::str& method, const py::kwargs&) {
        printer_.log().error("Remote Call Error: Remote method '" + text_of(method) +
                             "' not registered");
        return "";
      },
      py::arg("method"));
  python_ = std::move(state);
  return *python_;
}

std::unique_ptr<GCodeTemplate> TemplateEnvironment::load_template(const std::string& name,
                                                                  const std::string& script) {
  Python& python = this->python();
  py::tuple result = python.load_template(python.environment, to_python(name), to_python(script));
  if (!result[1].is_none()) throw klippy::ConfigError(text_of(result[1]));
  return std::make_unique<GCodeTemplate>(
      *this, std::make_unique<GCodeTemplate::Compiled>(GCodeTemplate::Compiled{result[0], name}));
}

klippy::Value TemplateEnvironment::parse_literal(const std::string& text) {
  Python& python = this->python();
  // Python's parser recurses once per nesting level, through more stack than a reactor
  // task has (a list nested 190 deep overflowed it): it parses on a thread of its own,
  // whose stack is as large as the host's.
  klippy::Value value;
  std::optional<std::string> fault;
  {
    const py::gil_scoped_release give_python_away;
    std::thread parser([&] {
      const py::gil_scoped_acquire hold_python;
      try {
        py::tuple result = python.parse_literal(to_python(text));
        if (result[1].is_none())
          value = from_python(result[0]);
        else
          fault = text_of(result[1]);
      } catch (const py::error_already_set& e) {
        // Past what the host catches (a literal nested too deep for Python's recursion
        // limit): refused all the same, with Python's reason.
        fault = text_of(py::str(e.value()));
      } catch (const std::exception& e) {
        fault = e.what();
      }
    });
    parser.join();
  }
  if (fault) throw klippy::LiteralError(*fault);
  return value;
}

GCodeTemplate::GCodeTemplate(TemplateEnvironment& environment, std::unique_ptr<Compiled> compiled)
    : environment_(environment), compiled_(std::move(compiled)) {}

GCodeTemplate::~GCodeTemplate() = default;

std::string GCodeTemplate::render(const MacroCall& call) const {
  TemplateEnvironment::Python& python = environment_.python();
  // The host forbids waits only in status lookups; here nothing else in a template waits,
  // and a task switch while Python runs would tear its frames apart.
  const klippy::NoPauseScope no_waits(environment_.printer_.get_reactor());
  py::dict context;
  if (call.variables) {
    for (const auto& [name, value] : *call.variables) context[to_python(name)] = to_python(value);
  }
  context["printer"] = python.status_wrapper(python.lookup_status, python.object_names);
  for (auto [name, action] : python.actions) context[name] = action;
  py::dict params;
  for (const auto& [name, value] : call.params) params[to_python(name)] = to_python(value);
  context["params"] = params;
  context["rawparams"] = to_python(call.rawparams);
  py::tuple result = python.render(compiled_->jinja_template, to_python(compiled_->name), context);
  if (!result[1].is_none()) throw klippy::CommandError(text_of(result[1]));
  return text_of(result[0]);
}

}  // namespace sim
