#include "daemon/console_views.h"

namespace trovanex {

void ConsoleViews::SetMessagePanel(const std::string& text) {
  MutexLock lock(out_lock_);
  // The panel is cleared after every connection; only texts worth reading are printed.
  if (!text.empty() && text != panel_) {
    log_lines_.Flush();
    std::fprintf(stderr, "status: %s\n", text.c_str());
    std::fflush(stderr);
  }
  panel_ = text;
}

namespace {

// Lines of the HTTP log that tell of an error, a capture or a refusal, by the words the engine
// writes them with; the per-request lines (heads, progress) have none of these.
bool TellsOfSomething(const std::string& line) {
  static constexpr const char* kMarks[] = {
      "Error",     "error",     "Matched!",  "Save Temporary File",
      "not saved", "Not saved", "Cannot",    "Stored,",
      "Warning",   "warining",  "###",       "Removed ",
      "refused",   "TIMEOUT",   "Exception", "Tunnel not opened",
  };
  for (const char* mark : kMarks)
    if (line.find(mark) != std::string::npos) return true;
  return false;
}

}  // namespace

void ConsoleViews::AppendLogLines(const std::vector<std::string>& lines) {
  if (!quiet_) {
    log_lines_.Add(lines);
    return;
  }
  std::vector<std::string> kept;
  for (const std::string& line : lines)
    if (TellsOfSomething(line)) kept.push_back(line);
  if (!kept.empty()) log_lines_.Add(kept);
}

void ConsoleViews::ShowBalloon(const std::string& title, const std::string& text) {
  MutexLock lock(out_lock_);
  log_lines_.Flush();
  std::fprintf(stderr, "%s %s\n", title.c_str(), text.c_str());
  std::fflush(stderr);
}

void ConsoleViews::ShowMessage(const std::string& text, const std::string& caption) {
  MutexLock lock(out_lock_);
  log_lines_.Flush();
  std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}

void ConsoleViews::Report(const std::string& text) {
  MutexLock lock(out_lock_);
  log_lines_.Flush();
  std::fprintf(stderr, "trovanexd: %s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace trovanex
