#include "klippy/host/ini.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <system_error>
#include <unordered_map>
#include <utility>

namespace klippy {

namespace {

std::size_t indent_of(std::string_view line) {
  std::size_t n = 0;
  while (n < line.size() && (line[n] == ' ' || line[n] == '\t')) ++n;
  return n;
}

// Cuts a '#' or ';' comment that follows white space; "a#b" keeps its '#'.
std::string_view strip_inline_comment(std::string_view line) {
  for (std::size_t i = 1; i < line.size(); ++i)
    if ((line[i] == '#' || line[i] == ';') && is_ini_blank(line[i - 1])) return line.substr(0, i);
  return line;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void throw_read_error(const std::string& path, int err) {
  throw std::runtime_error("Unable to read file '" + path +
                           "': " + std::generic_category().message(err) +
                           "; check that the file exists and is readable");
}

}  // namespace

IniError::IniError(const std::string& source, int line, const std::string& reason)
    : IniError(source + ":" + std::to_string(line) + ": " + reason, source, line, reason) {}

IniError::IniError(const std::string& message, std::string source, int line, std::string reason)
    : std::runtime_error(message),
      source_(std::move(source)),
      line_(line),
      reason_(std::move(reason)) {}

IniError IniError::with_message(const std::string& message, std::string source, int line,
                                std::string reason) {
  return IniError(message, std::move(source), line, std::move(reason));
}

const IniOption* IniSection::find(std::string_view key) const {
  for (const auto& option : options)
    if (option.key == key) return &option;
  return nullptr;
}

void IniSection::set(std::string key, std::string value, int line_number) {
  for (auto& option : options) {
    if (option.key == key) {
      option.value = std::move(value);
      option.line = line_number;
      return;
    }
  }
  options.push_back(IniOption{std::move(key), std::move(value), line_number});
}

const IniSection* IniDocument::find(std::string_view name) const {
  for (const auto& section : sections)
    if (section.name == name) return &section;
  return nullptr;
}

IniSection& IniDocument::section(std::string_view name) {
  for (auto& section : sections)
    if (section.name == name) return section;
  sections.push_back(IniSection{std::string(name), {}, 0});
  return sections.back();
}

IniDocument parse_ini(std::string_view text, const std::string& source_name, IniSyntax syntax) {
  // Invisible in any message about the first line, so it is named instead.
  if (text.substr(0, 3) == "\xEF\xBB\xBF")
    throw IniError(source_name, 1,
                   "the file begins with a byte-order mark (bytes EF BB BF); save it as "
                   "UTF-8 without one");
  IniDocument doc;
  IniSection* section = nullptr;
  // Where each option of each section sits, so that a file of many options reads in
  // linear time. Keyed by section index: the vector of sections may grow.
  std::vector<std::unordered_map<std::string, std::size_t>> option_indexes;
  std::size_t section_index = 0;
  // The option that indented lines continue, by index: the vectors may grow.
  std::size_t option_index = 0;
  bool has_option = false;
  std::size_t option_indent = 0;

  // Blank lines seen since the option's last line: part of the value only when another
  // of its lines follows.
  std::size_t pending_blank_lines = 0;

  int line_number = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = std::min(text.find('\n', pos), text.size());
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    auto fail = [&](const std::string& reason) {
      throw IniError(source_name, line_number, reason);
    };

    if (syntax.hash_ends_line) line = line.substr(0, line.find('#'));
    const std::string_view content = trim_ini_blanks(line);
    if (content.empty()) {
      if (has_option && syntax.blank_lines_in_values) ++pending_blank_lines;
      continue;
    }
    if (content.front() == '#' || content.front() == ';') continue;
    const std::size_t indent = indent_of(line);
    const std::string_view stripped =
        syntax.inline_comments ? trim_ini_blanks(strip_inline_comment(content)) : content;

    if (has_option && indent > option_indent) {
      auto& value = section->options[option_index].value;
      value.append(pending_blank_lines + 1, '\n');
      value += stripped;
      pending_blank_lines = 0;
      continue;
    }
    has_option = false;
    pending_blank_lines = 0;

    if (stripped.front() == '[') {
      const std::size_t close = stripped.rfind(']');
      if (close == std::string_view::npos)
        fail("section header '" + std::string(stripped) + "' lacks its closing ']'");
      // "[ a ]" names section " a ", as in the host: it is no section "a".
      const std::string_view name = stripped.substr(1, close - 1);
      if (trim_ini_blanks(name).empty())
        fail("empty section name '" + std::string(stripped.substr(0, close + 1)) +
             "'; write the section name between brackets");
      if (syntax.refuse_repeats && doc.find(name))
        fail("section [" + std::string(name) + "] appears twice; merge the two");
      section = &doc.section(name);
      section_index = static_cast<std::size_t>(section - doc.sections.data());
      if (option_indexes.size() <= section_index) {
        option_indexes.resize(section_index + 1);
        for (std::size_t i = 0; i < section->options.size(); ++i)
          option_indexes[section_index].emplace(section->options[i].key, i);
      }
      if (section->line == 0) section->line = line_number;
      continue;
    }

    if (section == nullptr)
      fail("option '" + std::string(stripped) +
           "' appears before any section; add a [section] header above it");
    const std::size_t split = stripped.find_first_of(syntax.key_ends);
    if (split == std::string_view::npos)
      fail("line '" + std::string(stripped) + "' is not a [section] nor " +
           (syntax.key_ends.find('=') == std::string_view::npos ? "'key: value'"
                                                                : "'key: value' or 'key = value'"));
    std::string key(trim_ini_blanks(stripped.substr(0, split)));
    if (key.empty()) fail("line '" + std::string(stripped) + "' lacks an option name");
    if (syntax.lower_case_keys)
      std::transform(key.begin(), key.end(), key.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::string value(trim_ini_blanks(stripped.substr(split + 1)));
    auto& indexes = option_indexes[section_index];
    const auto [it, added] = indexes.emplace(key, section->options.size());
    if (added) {
      section->options.push_back(IniOption{std::move(key), std::move(value), line_number});
    } else if (syntax.refuse_repeats) {
      fail("option '" + key + "' appears twice in [" + section->name + "]; keep one");
    } else {
      section->options[it->second].value = std::move(value);
      section->options[it->second].line = line_number;
    }
    option_index = it->second;
    has_option = true;
    option_indent = indent;
  }
  return doc;
}

std::string format_ini(const IniDocument& document, IniSyntax syntax) {
  // Where a blank before '#' or ';' starts a comment, such a value follows the sign
  // directly.
  const std::string_view tight_separator = trim_ini_blanks(syntax.written_separator);
  std::string out;
  for (const auto& section : document.sections) {
    out += '[';
    out += section.name;
    out += "]\n";
    for (const auto& option : section.options) {
      out += option.key;
      const bool comment_like = syntax.inline_comments && !option.value.empty() &&
                                (option.value.front() == '#' || option.value.front() == ';');
      if (comment_like) {
        out += ' ';
        out += tight_separator;
      } else {
        out += syntax.written_separator;
      }
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

bool is_ini_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trim_ini_blanks(std::string_view text) {
  while (!text.empty() && is_ini_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_ini_blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string read_text_file(const std::string& path) {
  const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw_read_error(path, errno);
  std::string content;
  char buf[16384];
  while (true) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_read_error(path, errno);
    }
    if (n == 0) break;
    content.append(buf, static_cast<std::size_t>(n));
  }
  return content;
}

}  // namespace klippy
