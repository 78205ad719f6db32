// The command line: "-d" switches debug mode on for the rest of the run. Any other letter after
// a "-" is reported and skipped; arguments without a leading "-" are ignored.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "model/message_boxes.h"

namespace trovanex {

// Process-wide; set before any window exists and never cleared.
extern std::atomic<bool> DebugMode;

// Visits `arguments` (without the program's own path); returns whether "-d" was given and, if
// so, sets DebugMode.
bool ParseCommandLine(const std::vector<std::string>& arguments, MessageBoxes& boxes);

}  // namespace trovanex
