// A Perl-compatible regular expression compiled once (PCRE2, bytes, case-sensitive,
// unanchored) and matched from many threads at once.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace trovanex {

class RegexPattern {
 public:
  // A pattern that does not compile is kept as one that never matches.
  explicit RegexPattern(const std::string& pattern);

  bool Compiled() const { return code_ != nullptr; }
  const std::string& CompileError() const { return error_; }
  bool Matches(std::string_view text) const;

 private:
  struct CodeDeleter {
    void operator()(void* code) const;
  };
  std::unique_ptr<void, CodeDeleter> code_;  // pcre2_code_8, read-only after construction
  std::string error_;
};

}  // namespace trovanex
