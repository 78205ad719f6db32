// KDE Plasma's proxy settings: the "[Proxy Settings]" section of kioslaverc, which KDE's
// programs and browsers on KDE read. The file is kept as its lines, so that changing a key
// leaves every other line as it stands (KDE's own files end every line with LF).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace trovanex {

inline constexpr char kKdeDesktop[] = "KDE Plasma";
inline constexpr char kKdeProxySection[] = "[Proxy Settings]";
// The keys the proxy switch changes.
inline constexpr const char* kKdeProxyKeys[] = {"ProxyType", "httpProxy", "httpsProxy",
                                                "NoProxyFor", "ReversedException"};

class KioslavercFile {
 public:
  // A file that cannot be read is an empty one that did not exist.
  static KioslavercFile Load(const std::string& path);
  std::string Text() const;
  bool Existed() const { return existed_; }
  bool Empty() const { return lines_.empty(); }

  bool HasSection() const { return Section().has_value(); }
  // The value after "=", or nothing when the key is not in the section.
  std::optional<std::string> Value(const std::string& key) const;
  // The key's whole line as it stands, with any "[$…]" mark after its name.
  std::optional<std::string> Line(const std::string& key) const;
  // KDE's "[$i]" mark on the file, the section or one of kKdeProxyKeys makes it immutable.
  bool Locked() const;

  void Set(const std::string& key, const std::string& value) { SetLine(key, key + "=" + value); }
  // Replaces the key's line, or adds it at the end of the section (made when missing).
  void SetLine(const std::string& key, const std::string& line);
  void Remove(const std::string& key);
  // Removes the section when no line but blank ones is left in it, with the blank line that
  // was put before it.
  void RemoveSectionIfEmpty();

 private:
  static bool IsHeader(const std::string& line) { return !line.empty() && line.front() == '['; }
  std::optional<std::size_t> Section() const;                    // its header's index
  std::optional<std::size_t> Key(const std::string& key) const;  // its line's index

  std::vector<std::string> lines_;  // without their LF
  bool existed_ = false;
};

}  // namespace trovanex
