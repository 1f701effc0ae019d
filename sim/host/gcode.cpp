#include "sim/host/gcode.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>

#include "klippy/host/errors.h"

namespace sim {
namespace {

std::string trim(const std::string& s) {
  auto begin = s.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  auto end = s.find_last_not_of(" \t\r\n");
  return s.substr(begin, end - begin + 1);
}

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

bool is_key_char(char c) {
  return (c >= 'A' && c <= 'Z') || c == '_' || c == '*';
}

// Shell-style split with quotes and backslash escapes; nullopt on an unterminated quote.
std::optional<std::vector<std::string>> shell_split(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quote) {
      if (c == quote) {
        quote = 0;
      } else if (c == '\\' && quote == '"' && i + 1 < text.size() &&
                 (text[i + 1] == '"' || text[i + 1] == '\\')) {
        word += text[++i];
      } else {
        word += c;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
      in_word = true;
    } else if (c == '\\' && i + 1 < text.size()) {
      word += text[++i];
      in_word = true;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quote) return std::nullopt;
  if (in_word) words.push_back(word);
  return words;
}

}  // namespace

bool is_traditional_gcode(const std::string& command) {
  if (command.size() < 2 || command[0] < 'A' || command[0] > 'Z') return false;
  std::string number = command.substr(1);
  char* end = nullptr;
  std::strtod(number.c_str(), &end);
  return *end == '\0' && std::isdigit(static_cast<unsigned char>(number[0]));
}

ParsedLine parse_gcode_line(const std::string& raw) {
  std::string line = raw;
  if (auto semicolon = line.find(';'); semicolon != std::string::npos) line.resize(semicolon);
  line = trim(line);
  ParsedLine parsed;
  if (line.empty()) return parsed;
  auto space = line.find_first_of(" \t");
  parsed.command = upper(line.substr(0, space));
  std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
  if (is_traditional_gcode(parsed.command)) {
    // One letter (or run of letters) per parameter: "G1 X10 E-2", "G1X10".
    std::string up = upper(rest);
    size_t i = 0;
    while (i < up.size()) {
      if (!is_key_char(up[i])) {
        ++i;
        continue;
      }
      size_t key_end = i;
      while (key_end < up.size() && is_key_char(up[key_end])) ++key_end;
      size_t value_end = key_end;
      while (value_end < up.size() && !is_key_char(up[value_end])) ++value_end;
      parsed.params[up.substr(i, key_end - i)] = trim(up.substr(key_end, value_end - key_end));
      i = value_end;
    }
    return parsed;
  }
  // The host stops extended arguments at '#' and '*' as well as at ';'.
  if (auto stop = rest.find_first_of("#*"); stop != std::string::npos) rest.resize(stop);
  auto words = shell_split(rest);
  if (!words) throw klippy::CommandError("Malformed command '" + trim(raw) + "'");
  for (const auto& word : *words) {
    auto eq = word.find('=');
    if (eq == std::string::npos || eq == 0) {
      throw klippy::CommandError("Malformed command '" + trim(raw) + "'");
    }
    parsed.params[upper(word.substr(0, eq))] = word.substr(eq + 1);
  }
  return parsed;
}

SimGCode::SimGCode(klippy::Reactor& reactor, klippy::Logger& log, Output output)
    : log_(log), output_(std::move(output)), mutex_(reactor.mutex()) {
  register_command(
      "HELP", [this](klippy::GCodeCommand& gcmd) { cmd_HELP(gcmd); },
      "Report the list of available extended G-Code commands");
}

void SimGCode::register_command(const std::string& name, klippy::CommandHandler handler,
                                const std::string& help) {
  std::string cmd = upper(name);
  if (handlers_.count(cmd)) {
    throw klippy::ConfigError("gcode command " + cmd + " already registered");
  }
  handlers_[cmd] = std::move(handler);
  if (!help.empty()) help_[cmd] = help;
}

klippy::CommandHandler SimGCode::take_command(const std::string& name) {
  const std::string cmd = upper(name);
  auto it = handlers_.find(cmd);
  if (it == handlers_.end()) return {};
  klippy::CommandHandler handler = std::move(it->second);
  handlers_.erase(it);
  help_.erase(cmd);
  return handler;
}

void SimGCode::register_mux_command(const std::string& command, const std::string& key,
                                    const std::string& value, klippy::CommandHandler handler,
                                    const std::string& help) {
  std::string cmd = upper(command);
  auto it = mux_.find(cmd);
  if (it == mux_.end()) {
    register_command(
        cmd, [this, cmd](klippy::GCodeCommand& gcmd) { run_mux(cmd, gcmd); }, help);
    it = mux_.emplace(cmd, Mux{key, {}}).first;
  }
  Mux& mux = it->second;
  if (mux.key != key) {
    throw klippy::ConfigError("mux command " + cmd + " " + key + " " + value +
                              " may have only one key (" + mux.key + ")");
  }
  if (mux.handlers.count(value)) {
    throw klippy::ConfigError("mux command " + cmd + " " + key + " " + value +
                              " already registered");
  }
  mux.handlers[value] = std::move(handler);
}

void SimGCode::run_mux(const std::string& command, klippy::GCodeCommand& gcmd) {
  const Mux& mux = mux_.at(command);
  std::string value = gcmd.get(mux.key);
  auto it = mux.handlers.find(value);
  if (it == mux.handlers.end()) {
    std::string valid;
    for (const auto& [v, h] : mux.handlers) valid += (valid.empty() ? "" : ", ") + v;
    throw klippy::CommandError("The value '" + value + "' is not valid for " + mux.key +
                               " (valid: " + valid + ")");
  }
  it->second(gcmd);
}

bool SimGCode::is_registered(const std::string& name) const {
  return handlers_.count(upper(name)) != 0;
}

void SimGCode::run_script(const std::string& script) {
  mutex_->lock();
  try {
    process_lines(script, true);
  } catch (...) {
    mutex_->unlock();
    throw;
  }
  mutex_->unlock();
}

void SimGCode::run_script_from_command(const std::string& script) {
  process_lines(script, true);
}

void SimGCode::run_console_line(const std::string& line, const std::function<void()>& started) {
  mutex_->lock();
  if (started) started();
  process_lines(line, false);
  mutex_->unlock();
}

void SimGCode::process_lines(const std::string& script, bool raise_errors) {
  size_t start = 0;
  while (start <= script.size()) {
    size_t end = script.find('\n', start);
    if (end == std::string::npos) end = script.size();
    std::string line = script.substr(start, end - start);
    start = end + 1;
    try {
      dispatch(line);
    } catch (const klippy::CommandError& e) {
      respond_error(e.what());
      if (on_error_) on_error_();
      if (raise_errors) throw;
    } catch (const std::exception& e) {
      std::string name = upper(trim(line).substr(0, trim(line).find_first_of(" \t")));
      std::string message = "Internal error on command:\"" + name + "\"";
      log_.error(message + ": " + e.what());
      respond_error(message);
      if (on_error_) on_error_();
      if (raise_errors) throw klippy::CommandError(message);
    }
  }
}

void SimGCode::handle_shutdown(const std::string& message) {
  if (!shutdown_message_.empty()) return;
  shutdown_message_ = message;
  respond_raw("!! " + message);
  respond_info("Klipper state: Shutdown", false);
}

bool SimGCode::runs_when_shut_down(const std::string& command) {
  // The host's own commands that stay registered when it is not ready.
  static const std::set<std::string> kKept = {
      "RESTART", "FIRMWARE_RESTART", "HELP", "STATUS", "ECHO", "M110", "M112", "M115"};
  return kKept.count(command) > 0;
}

void SimGCode::dispatch(const std::string& line) {
  ParsedLine parsed = parse_gcode_line(line);
  if (parsed.command.empty()) return;
  if (!shutdown_message_.empty() && !runs_when_shut_down(parsed.command))
    throw klippy::CommandError(shutdown_message_);
  auto it = handlers_.find(parsed.command);
  if (it == handlers_.end()) {
    respond_info("Unknown command:\"" + parsed.command + "\"", true);
    return;
  }
  klippy::GCodeCommand gcmd(*this, parsed.command, trim(line), std::move(parsed.params));
  // Copy the handler: a handler may register commands and so move the map's nodes' values.
  klippy::CommandHandler handler = it->second;
  handler(gcmd);
}

void SimGCode::respond_info(const std::string& text, bool log) {
  if (log) log_.info(text);
  std::string body = trim(text);
  std::string out;
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('\n', start);
    if (end == std::string::npos) end = body.size();
    out += (start == 0 ? "// " : "\n// ") + trim(body.substr(start, end - start));
    start = end + 1;
  }
  respond_raw(out);
}

void SimGCode::respond_raw(const std::string& text) {
  if (output_) output_(text);
}

void SimGCode::respond_error(const std::string& message) {
  log_.warning(message);
  std::string text = trim(message);
  auto newline = text.find('\n');
  if (newline != std::string::npos) {
    respond_info(text, false);
    text = trim(text.substr(0, newline));
  }
  respond_raw("!! " + text);
}

std::map<std::string, std::string> SimGCode::command_help() const {
  std::map<std::string, std::string> commands;
  for (const auto& [name, handler] : handlers_) {
    auto help = help_.find(name);
    commands[name] = help != help_.end() ? help->second : "";
  }
  return commands;
}

void SimGCode::cmd_HELP(klippy::GCodeCommand& gcmd) {
  // As the host lists them: only commands with a help text, names padded to 10 columns.
  std::string text = "Available extended commands:";
  for (const auto& [name, help] : help_) {
    if (!handlers_.count(name)) continue;
    text += "\n" + name + std::string(name.size() < 10 ? 10 - name.size() : 0, ' ') + ": " + help;
  }
  gcmd.respond_info(text);
}

}  // namespace sim
