// Errors raised by the core. Each carries the user-visible text; the front ends decide whether
// it becomes a log line, a message box or an answer to the browser.
#pragma once

#include <stdexcept>
#include <string>

namespace trovanex {

// A file could not be opened, created, read or written.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An operation was asked for something it cannot do (an index beyond the end, say).
class InvalidOperation : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// A broken invariant that the program itself should have prevented.
class AssertionFailure : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace trovanex
