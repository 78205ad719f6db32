// The ini module: "[Section]" headers and "Key=Value" lines, CR LF line ends. Section and key
// names compare without regard to letter case; blanks around keys and values are not part of
// them. Writing changes only the lines it has to and keeps everything else of the file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trovanex {

class IniFile {
 public:
  IniFile() = default;
  static IniFile Parse(std::string_view text);
  // A missing file gives an empty ini; so does an unreadable one (every key then takes its
  // default), which `unreadable` tells apart when given.
  static IniFile Load(const std::string& path, bool* unreadable = nullptr);

  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  bool HasSection(std::string_view section) const;
  // Changes the key's first line in the section, or adds the key at the end of the section,
  // or adds the section at the end of the file.
  void Set(std::string_view section, std::string_view key, std::string_view value);

  std::string Serialize() const;  // every line ended by CR LF
  // Writes the file in one step (see ReplaceFileAtomically); false when it failed.
  bool Save(const std::string& path) const;

 private:
  std::optional<std::size_t> FindKey(std::string_view section, std::string_view key,
                                     std::size_t* section_end) const;
  std::vector<std::string> lines_;
};

// An integer as the settings file holds it: decimal, or hexadecimal after "0x", "0X" or "$",
// with an optional sign; blanks around it are allowed. Nothing when the text is not a 32-bit
// number (hexadecimal takes up to 8 digits and wraps into the signed range).
std::optional<std::int32_t> ParseIniInteger(std::string_view text);

}  // namespace trovanex
