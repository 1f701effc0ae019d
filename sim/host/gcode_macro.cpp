#include "sim/host/gcode_macro.h"

#include <algorithm>

#include "klippy/host/printer.h"
#include "sim/host/gcode.h"
#include "sim/host/macro_expression.h"

namespace sim {
namespace {

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

std::string trim(const std::string& s) {
  auto begin = s.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return s.substr(begin, s.find_last_not_of(" \t") - begin + 1);
}

}  // namespace

SimGCodeMacro::SimGCodeMacro(klippy::ConfigSection& config)
    : printer_(config.get_printer()),
      gcode_(config.get_printer().lookup_object<klippy::GCodeDispatch>("gcode")) {
  const std::string& section = config.get_name();
  name_ = trim(section.substr(section.find(' ') + 1));
  if (name_.empty() || name_.find(' ') != std::string::npos) {
    throw klippy::ConfigError("Name of section '" + section +
                              "' must be one word (the macro's command name)");
  }
  body_ = config.get("gcode");
  pieces_ = parse_body();
  const std::string description = config.get("description", "G-Code macro");
  for (const std::string& option : config.get_option_names()) {
    if (option.rfind("variable_", 0) != 0) continue;
    std::string text = config.get(option);
    try {
      variables_[option.substr(9)] = klippy::Value::parse(text);
    } catch (const klippy::LiteralError& e) {
      throw klippy::ConfigError("Option '" + option + "' in section '" + section +
                                "' is not a valid literal: " + e.what());
    }
  }
  const std::string rename_existing = upper(config.get("rename_existing", ""));
  if (rename_existing.empty()) {
    gcode_.register_command(
        upper(name_), [this](klippy::GCodeCommand& gcmd) { cmd_macro(gcmd); }, description);
  } else {
    if (is_traditional_gcode(upper(name_)) != is_traditional_gcode(rename_existing))
      throw klippy::ConfigError("G-Code macro rename of different types ('" + name_ + "' vs '" +
                                rename_existing + "')");
    // The command renamed may be registered by any module, so only once all are loaded.
    printer_.register_event_handler("klippy:connect", [this, rename_existing, description] {
      rename_builtin(rename_existing, description);
    });
  }
  gcode_.register_mux_command(
      "SET_GCODE_VARIABLE", "MACRO", name_,
      [this](klippy::GCodeCommand& gcmd) { cmd_SET_GCODE_VARIABLE(gcmd); },
      "Set the value of a G-Code macro variable");
}

void SimGCodeMacro::rename_builtin(const std::string& new_name, const std::string& description) {
  auto& gcode = printer_.lookup_object<SimGCode>("gcode");
  const std::string alias = upper(name_);
  klippy::CommandHandler existing = gcode.take_command(alias);
  if (!existing)
    throw klippy::ConfigError("Existing command '" + alias + "' not found in gcode_macro rename");
  gcode.register_command(new_name, std::move(existing), "Renamed builtin of '" + alias + "'");
  gcode.register_command(
      alias, [this](klippy::GCodeCommand& gcmd) { cmd_macro(gcmd); }, description);
}

std::optional<klippy::Value> SimGCodeMacro::get_status(double /*eventtime*/) {
  klippy::Value::Dict status;
  for (const auto& [key, value] : variables_) status.emplace_back(key, value);
  return klippy::Value(std::move(status));
}

std::string SimGCodeMacro::template_name() const {
  return "gcode_macro " + name_ + ":gcode";
}

// The host compiles every body as a template at start, so a body it could not parse fails
// the start here too (a '{' inside a placeholder, an `if` without `endif`, say).
std::vector<SimGCodeMacro::Piece> SimGCodeMacro::parse_body() const {
  std::vector<Piece> pieces;
  int line = 1, open_blocks = 0;
  size_t at = 0;
  auto fail = [&](int fault_line, const std::string& fault) {
    size_t start = 0;
    for (int n = 1; n < fault_line; ++n) start = body_.find('\n', start) + 1;
    const size_t end = body_.find('\n', start);
    throw klippy::ConfigError("Error loading template '" + template_name() + "'\nline " +
                              std::to_string(fault_line) + ": " + body_.substr(start, end - start) +
                              " # " + fault);
  };
  while (at < body_.size()) {
    const size_t open = body_.find('{', at);
    const std::string text = body_.substr(at, open == std::string::npos ? open : open - at);
    if (!text.empty()) pieces.push_back({Piece::Text, text});
    for (char c : text) line += c == '\n';
    if (open == std::string::npos) break;
    if (open + 1 < body_.size() && body_[open + 1] == '%') {
      const size_t close = body_.find("%}", open + 2);
      if (close == std::string::npos) fail(line, "unexpected end of template");
      std::string statement = trim(body_.substr(open + 2, close - open - 2));
      for (size_t i = open; i < close; ++i) line += body_[i] == '\n';
      if (statement.rfind("if ", 0) == 0) {
        ++open_blocks;
        if (auto fault = MacroExpression::syntax_error(statement.substr(3), true))
          fail(line, *fault);
        pieces.push_back({Piece::If, statement.substr(3)});
      } else if (statement == "else" && open_blocks > 0) {
        pieces.push_back({Piece::Else, ""});
      } else if (statement == "endif" && open_blocks > 0) {
        --open_blocks;
        pieces.push_back({Piece::EndIf, ""});
      } else {
        fail(line, "Encountered unknown tag '" + statement.substr(0, statement.find(' ')) + "'.");
      }
      at = close + 2;
      continue;
    }
    char quote = 0;
    size_t end = open + 1;
    for (; end < body_.size(); ++end) {
      const char c = body_[end];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '\'' || c == '"') {
        quote = c;
      } else if (c == '}' || c == '{' || c == '\n') {
        break;
      }
    }
    if (end >= body_.size() || body_[end] != '}') {
      fail(line, "expected token 'end of print statement', got " +
                     (end >= body_.size()  ? std::string("end of template")
                      : body_[end] == '\n' ? std::string("end of line")
                                           : "'" + std::string(1, body_[end]) + "'"));
    }
    const std::string expression = body_.substr(open + 1, end - open - 1);
    if (auto fault = MacroExpression::syntax_error(expression)) fail(line, *fault);
    pieces.push_back({Piece::Expression, expression});
    at = end + 1;
  }
  if (open_blocks > 0) fail(line, "Unexpected end of template. Jinja was looking for 'endif'.");
  return pieces;
}

std::string SimGCodeMacro::render(const std::map<std::string, std::string>& params) const {
  std::string text;
  // Per open `if` block: whether its enclosing text runs, and whether its branch does.
  std::vector<std::pair<bool, bool>> blocks;
  auto running = [&] { return blocks.empty() || blocks.back().second; };
  for (const Piece& piece : pieces_) {
    switch (piece.kind) {
      case Piece::Text:
        if (running()) text += piece.text;
        break;
      case Piece::Expression:
        if (running()) text += evaluate(piece.text, params, false);
        break;
      case Piece::If: {
        const bool outer = running();
        blocks.emplace_back(outer, outer && evaluate(piece.text, params, true) == "1");
        break;
      }
      case Piece::Else:
        blocks.back().second = blocks.back().first && !blocks.back().second;
        break;
      case Piece::EndIf:
        blocks.pop_back();
        break;
    }
  }
  return text;
}

std::string SimGCodeMacro::evaluate(const std::string& expression,
                                    const std::map<std::string, std::string>& params,
                                    bool condition) const {
  auto names = [&](const std::string& name) -> std::optional<klippy::Value> {
    if (name == "params") {
      klippy::Value::Dict dict;
      for (const auto& [key, value] : params) dict.emplace_back(key, value);
      return klippy::Value(std::move(dict));
    }
    if (auto var = variables_.find(name); var != variables_.end()) return var->second;
    return std::nullopt;
  };
  auto objects = [this](const std::string& object) -> std::optional<klippy::Value> {
    klippy::PrinterObject* found = printer_.find_object(object);
    if (!found) return std::nullopt;
    const klippy::NoPauseScope no_waits(printer_.get_reactor());
    return found->get_status(printer_.get_reactor().monotonic());
  };
  try {
    MacroExpression parsed(expression, names, objects);
    if (condition) return parsed.truth() ? "1" : "0";
    return parsed.render();
  } catch (const klippy::CommandError& e) {
    throw klippy::CommandError("Error evaluating '" + template_name() + "': " + e.what());
  }
}

void SimGCodeMacro::cmd_macro(klippy::GCodeCommand& gcmd) {
  if (running_) throw gcmd.error("Macro " + name_ + " called recursively");
  std::string script = render(gcmd.get_command_parameters());
  running_ = true;
  try {
    gcode_.run_script_from_command(script);
  } catch (...) {
    running_ = false;
    throw;
  }
  running_ = false;
}

void SimGCodeMacro::cmd_SET_GCODE_VARIABLE(klippy::GCodeCommand& gcmd) {
  std::string variable = gcmd.get("VARIABLE");
  std::string text = gcmd.get("VALUE");
  auto it = variables_.find(variable);
  if (it == variables_.end()) {
    throw gcmd.error("Unknown gcode_macro variable '" + variable + "'");
  }
  try {
    it->second = klippy::Value::parse(text);
  } catch (const klippy::LiteralError& e) {
    throw gcmd.error("Unable to parse '" + text + "' as a literal: " + e.what());
  }
}

}  // namespace sim
