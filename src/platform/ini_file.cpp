#include "platform/ini_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "platform/atomic_write.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/text_lines.h"

namespace trovanex {
namespace {

// The name of a "[Section]" line, or nothing for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = TrimBlanks(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  const auto close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return TrimBlanks(line.substr(1, close - 1));
}

}  // namespace

IniFile IniFile::Parse(std::string_view text) {
  IniFile ini;
  ForEachLine(text, [&ini](std::string_view line) { ini.lines_.emplace_back(line); });
  return ini;
}

IniFile IniFile::Load(const std::string& path, bool* unreadable) {
  const auto content = ReadWholeFile(path);
  if (unreadable) *unreadable = !content && errno != ENOENT;
  return content ? Parse(*content) : IniFile();
}

std::optional<std::size_t> IniFile::FindKey(std::string_view section, std::string_view key,
                                            std::size_t* section_end) const {
  bool inside = false;
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (const auto name = SectionName(lines_[i])) {
      inside = EqualsIgnoringCase(*name, section);
      continue;
    }
    if (!inside) continue;
    const std::string_view line = lines_[i];
    if (!TrimBlanks(line).empty() && section_end) *section_end = i + 1;
    const auto eq = line.find('=');
    if (!found && eq != std::string_view::npos && TrimBlanks(line).front() != ';' &&
        EqualsIgnoringCase(TrimBlanks(line.substr(0, eq)), key)) {
      found = i;
      if (!section_end) return found;
    }
  }
  return found;
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
  const auto index = FindKey(section, key, nullptr);
  if (!index) return std::nullopt;
  const std::string_view line = lines_[*index];
  std::string_view value = TrimBlanks(line.substr(line.find('=') + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return std::string(value);
}

bool IniFile::HasSection(std::string_view section) const {
  return std::any_of(lines_.begin(), lines_.end(), [section](const std::string& line) {
    const auto name = SectionName(line);
    return name && EqualsIgnoringCase(*name, section);
  });
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  // Get trims blanks and takes off a pair of quotes: such a value is written inside quotes, so
  // that it reads back as it was.
  const bool blank_ends = !value.empty() && TrimBlanks(value).size() != value.size();
  const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                      value.back() == value.front();
  std::string line = std::string(key) + "=" +
                     (blank_ends || quoted ? "\"" + std::string(value) + "\"" : std::string(value));
  std::size_t section_end = 0;
  if (const auto index = FindKey(section, key, &section_end)) {
    lines_[*index] = std::move(line);
    return;
  }
  if (section_end == 0) {
    // The section may exist with no keys yet; find its header.
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      const auto name = SectionName(lines_[i]);
      if (name && EqualsIgnoringCase(*name, section)) section_end = i + 1;
    }
  }
  if (section_end == 0) {
    lines_.push_back("[" + std::string(section) + "]");
    section_end = lines_.size();
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(section_end), std::move(line));
}

std::string IniFile::Serialize() const {
  std::string text;
  for (const auto& line : lines_) text += line + "\r\n";
  return text;
}

bool IniFile::Save(const std::string& path) const {
  return ReplaceFileAtomically(path, Serialize()).ok();
}

std::optional<std::int32_t> ParseIniInteger(std::string_view text) {
  text = TrimBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    base = 16;
    text.remove_prefix(2);
  } else if (text.starts_with('$')) {
    base = 16;
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : base == 16 && std::isxdigit(static_cast<unsigned char>(c))
                          ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                          : -1;
    if (digit < 0) return std::nullopt;
    value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  if (base == 10 && value > (negative ? 0x80000000ull : 0x7FFFFFFFull)) return std::nullopt;
  const auto bits = static_cast<std::uint32_t>(negative ? 0 - value : value);
  return static_cast<std::int32_t>(bits);
}

}  // namespace trovanex
