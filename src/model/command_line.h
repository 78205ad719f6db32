// The command line: "-d" switches debug mode on for the rest of the run. Any other letter after
// a "-" is reported and skipped; arguments without a leading "-" are ignored.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/message_boxes.h"

namespace trovanex {

// Process-wide; set before any window exists and never cleared.
extern std::atomic<bool> DebugMode;

// Visits `arguments` (without the program's own path); returns whether "-d" was given and, if
// so, sets DebugMode.
bool ParseCommandLine(const std::vector<std::string>& arguments, MessageBoxes& boxes);

// "--help" or "--version" among `arguments`: the text to print on standard output before the
// program ends (with success) without starting. `program` is "trovanex" or "trovanexd".
// Long options only; the one-letter options keep their meaning.
std::optional<std::string> InformationAsked(const std::vector<std::string>& arguments,
                                            std::string_view program);

}  // namespace trovanex
