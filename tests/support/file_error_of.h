// The text of the FileError a piece of code throws, for checks on the files' own messages.
#pragma once

#include <string>

#include "platform/errors.h"

namespace trovanex::testing {

// The message of the FileError that `run` throws, or "(no error)".
template <typename Run>
std::string FileErrorOf(Run&& run) {
  try {
    run();
  } catch (const FileError& error) {
    return error.what();
  }
  return "(no error)";
}

}  // namespace trovanex::testing
