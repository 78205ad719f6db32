// Cutting text into lines at CR LF, CR or LF, as every text file of the program is read.
#pragma once

#include <cstring>
#include <string_view>

namespace trovanex {

// Calls visit(line) for each line of `text`, line ends removed; a last line end adds no line.
template <typename Visit>
void ForEachLine(std::string_view text, Visit&& visit) {
  const char* at = text.data();
  const char* const end = at + text.size();
  while (at < end) {
    const char* line_end = at;
    while (line_end < end && *line_end != '\n' && *line_end != '\r') ++line_end;
    visit(std::string_view(at, static_cast<std::size_t>(line_end - at)));
    at = line_end + 1;
    if (line_end + 1 < end && line_end[0] == '\r' && line_end[1] == '\n') ++at;
  }
}

}  // namespace trovanex
