// The number of files the process may hold open. Every connection holds two sockets and often
// a capture file, so a page that opens many requests at once runs out at the usual default
// soft limit of 1,024 long before the system would refuse more.
#pragma once

#include <optional>
#include <string>

namespace trovanex {

// Raises the soft limit on open files to the hard limit. Returns the text that says why it
// could not, or nothing when the limit now is the hard one.
std::optional<std::string> RaiseOpenFileLimit();

}  // namespace trovanex
