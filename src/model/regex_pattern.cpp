#include "model/regex_pattern.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace trovanex {
namespace {

// Match data sized for one pair is enough for a yes/no answer; one per thread saves an
// allocation per match.
struct MatchData {
  MatchData() : data(pcre2_match_data_create(1, nullptr)) {}
  ~MatchData() { pcre2_match_data_free(data); }
  MatchData(const MatchData&) = delete;
  MatchData& operator=(const MatchData&) = delete;
  pcre2_match_data* data;
};

}  // namespace

void RegexPattern::CodeDeleter::operator()(void* code) const {
  pcre2_code_free(static_cast<pcre2_code*>(code));
}

RegexPattern::RegexPattern(const std::string& pattern) {
  int error_code = 0;
  PCRE2_SIZE error_offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                   0, &error_code, &error_offset, nullptr);
  if (!code) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(error_code, message, sizeof message);
    error_ = reinterpret_cast<const char*>(message);
    return;
  }
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);  // falls back to the interpreter when it fails
  code_.reset(code);
}

bool RegexPattern::Matches(std::string_view text) const {
  if (!code_) return false;
  thread_local MatchData match;
  static const char kEmpty[] = "";
  const char* subject = text.empty() ? kEmpty : text.data();
  const int rc = pcre2_match(static_cast<const pcre2_code*>(code_.get()),
                             reinterpret_cast<PCRE2_SPTR>(subject), text.size(), 0, 0, match.data,
                             nullptr);
  return rc >= 0;  // 0 means matched with more groups than the match data holds
}

}  // namespace trovanex
