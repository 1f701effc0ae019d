#include "klippy/extras/feedscan/config_file.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>

#include "klippy/host/atomic_file.h"
#include "klippy/host/ini.h"

namespace feedscan {
namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

}  // namespace

klippy::IniDocument parse_config_text(std::string_view text, const std::string& source_name,
                                      ConfigFileKind kind) {
  const std::string_view separators = kind == ConfigFileKind::box_config ? ":" : ":=";
  klippy::IniDocument doc;
  klippy::IniSection* section = nullptr;
  klippy::IniOption* option = nullptr;
  int line_number = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = std::min(text.find('\n', pos), text.size());
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    auto fail = [&](const std::string& reason) {
      throw klippy::IniError(source_name, line_number, reason);
    };
    const std::string_view content = klippy::trim_ini_blanks(line);
    if (content.empty() || content.front() == '#' || content.front() == ';') continue;

    if (klippy::is_ini_blank(line.front())) {
      if (option == nullptr) fail("indented line '" + std::string(content) + "' continues nothing");
      option->value += '\n';
      option->value += content;
      continue;
    }
    option = nullptr;
    if (content.front() == '[' && content.back() == ']') {
      const std::string name(klippy::trim_ini_blanks(content.substr(1, content.size() - 2)));
      if (doc.find(name)) fail("section [" + name + "] appears twice");
      doc.sections.push_back(klippy::IniSection{name, {}, line_number});
      section = &doc.sections.back();
      continue;
    }
    const std::size_t split = content.find_first_of(separators);
    if (split == std::string_view::npos)
      fail("line '" + std::string(content) + "' is neither a [section] nor an option");
    if (section == nullptr) fail("option '" + std::string(content) + "' comes before any section");
    const std::string key = lower(klippy::trim_ini_blanks(content.substr(0, split)));
    if (key.empty()) fail("line '" + std::string(content) + "' lacks an option name");
    if (section->find(key)) fail("option '" + key + "' appears twice in [" + section->name + "]");
    section->options.push_back(klippy::IniOption{
        key, std::string(klippy::trim_ini_blanks(content.substr(split + 1))), line_number});
    option = &section->options.back();
  }
  return doc;
}

std::string format_config_text(const klippy::IniDocument& document, ConfigFileKind kind) {
  const char* separator = kind == ConfigFileKind::box_config ? " : " : " = ";
  std::string out;
  for (const auto& section : document.sections) {
    out += "[" + section.name + "]\n";
    for (const auto& option : section.options) {
      out += option.key + separator;
      for (char c : option.value) {
        out += c;
        if (c == '\n') out += '\t';
      }
      out += '\n';
    }
    out += '\n';
  }
  return out;
}

klippy::IniDocument read_config_file(const std::string& path, ConfigFileKind kind) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return {};
  return parse_config_text(klippy::read_text_file(path), path, kind);
}

void write_config_file(const std::string& path, const klippy::IniDocument& document,
                       ConfigFileKind kind) {
  klippy::write_file_atomically(path, format_config_text(document, kind));
}

void set_existing_option(klippy::IniDocument& document, const std::string& section,
                         const std::string& key, const std::string& value,
                         const std::string& source_name) {
  for (auto& candidate : document.sections) {
    if (candidate.name == section) {
      candidate.set(key, value);
      return;
    }
  }
  throw std::runtime_error("No section [" + section + "] in '" + source_name +
                           "'; restore the file from its template");
}

void rewrite_option(const std::string& path, ConfigFileKind kind, const std::string& section,
                    const std::string& key, const std::string& value) {
  klippy::IniDocument document = read_config_file(path, kind);
  set_existing_option(document, section, key, value, path);
  write_config_file(path, document, kind);
}

}  // namespace feedscan
