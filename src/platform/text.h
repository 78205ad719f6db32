// Small text helpers shared by the parsers: blanks off both ends, and comparisons that ignore
// the letter case of ASCII letters (the names in headers, ini files and rule files).
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace trovanex {

inline char AsciiLowerChar(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Blanks and tabs off both ends.
inline std::string_view TrimBlanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// Blanks and control characters (every byte up to the blank) off both ends.
inline std::string_view TrimControls(std::string_view text) {
  const auto control = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && control(text.front())) text.remove_prefix(1);
  while (!text.empty() && control(text.back())) text.remove_suffix(1);
  return text;
}

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLowerChar(x) == AsciiLowerChar(y);
         });
}

inline bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
  return std::search(text.begin(), text.end(), part.begin(), part.end(),
                     [](char x, char y) { return AsciiLowerChar(x) == AsciiLowerChar(y); }) !=
             text.end() ||
         part.empty();
}

inline std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), AsciiLowerChar);
  return lower;
}

}  // namespace trovanex
