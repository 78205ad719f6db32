#include "platform/kioslaverc.h"

#include "platform/file_system.h"

namespace trovanex {

KioslavercFile KioslavercFile::Load(const std::string& path) {
  KioslavercFile file;
  const std::optional<std::string> text = ReadWholeFile(path);
  if (!text) return file;
  file.existed_ = true;
  std::size_t start = 0;
  while (start < text->size()) {
    const std::size_t end = text->find('\n', start);
    file.lines_.push_back(text->substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return file;
}

std::string KioslavercFile::Text() const {
  std::string text;
  for (const std::string& line : lines_) text += line + "\n";
  return text;
}

std::optional<std::size_t> KioslavercFile::Section() const {
  for (std::size_t i = 0; i < lines_.size(); ++i)
    if (lines_[i].rfind(kKdeProxySection, 0) == 0) return i;
  return std::nullopt;
}

std::optional<std::size_t> KioslavercFile::Key(const std::string& key) const {
  const auto section = Section();
  if (!section) return std::nullopt;
  for (std::size_t i = *section + 1; i < lines_.size() && !IsHeader(lines_[i]); ++i) {
    const std::string& line = lines_[i];
    if (line.rfind(key, 0) == 0 && line.size() > key.size() &&
        (line[key.size()] == '=' || line[key.size()] == '[' || line[key.size()] == ' '))
      return i;
  }
  return std::nullopt;
}

std::optional<std::string> KioslavercFile::Value(const std::string& key) const {
  const auto line = Line(key);
  if (!line) return std::nullopt;
  const std::size_t eq = line->find('=');
  return eq == std::string::npos ? std::string() : line->substr(eq + 1);
}

std::optional<std::string> KioslavercFile::Line(const std::string& key) const {
  const auto index = Key(key);
  return index ? std::optional(lines_[*index]) : std::nullopt;
}

bool KioslavercFile::Locked() const {
  if (!lines_.empty() && lines_.front() == "[$i]") return true;
  const auto section = Section();
  if (!section) return false;
  if (lines_[*section].find("[$i]") != std::string::npos) return true;
  for (const char* key : kKdeProxyKeys) {
    const auto line = Line(key);
    if (line && line->substr(0, line->find('=')).find("$i") != std::string::npos) return true;
  }
  return false;
}

void KioslavercFile::SetLine(const std::string& key, const std::string& line) {
  if (const auto index = Key(key)) {
    lines_[*index] = line;
    return;
  }
  auto section = Section();
  if (!section) {
    if (!lines_.empty() && !lines_.back().empty()) lines_.emplace_back();
    lines_.emplace_back(kKdeProxySection);
    section = lines_.size() - 1;
  }
  std::size_t end = *section + 1;
  while (end < lines_.size() && !IsHeader(lines_[end])) ++end;
  while (end > *section + 1 && lines_[end - 1].empty()) --end;  // before the blank line
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(end), line);
}

void KioslavercFile::Remove(const std::string& key) {
  if (const auto index = Key(key))
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*index));
}

void KioslavercFile::RemoveSectionIfEmpty() {
  const auto section = Section();
  if (!section) return;
  std::size_t end = *section + 1;
  while (end < lines_.size() && !IsHeader(lines_[end])) {
    if (!lines_[end].empty()) return;
    ++end;
  }
  std::size_t begin = *section;
  if (begin > 0 && lines_[begin - 1].empty()) --begin;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(begin),
               lines_.begin() + static_cast<std::ptrdiff_t>(end));
}

}  // namespace trovanex
