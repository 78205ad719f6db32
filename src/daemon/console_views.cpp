#include "daemon/console_views.h"

namespace trovanex {

void ConsoleViews::SetMessagePanel(const std::string& text) {
  std::lock_guard lock(out_lock_);
  // The panel is cleared after every connection; only texts worth reading are printed.
  if (!text.empty() && text != panel_) {
    log_lines_.Flush();
    std::fprintf(stderr, "status: %s\n", text.c_str());
    std::fflush(stderr);
  }
  panel_ = text;
}

void ConsoleViews::AppendLogLines(const std::vector<std::string>& lines) {
  log_lines_.Add(lines);
}

void ConsoleViews::ShowBalloon(const std::string& title, const std::string& text) {
  std::lock_guard lock(out_lock_);
  log_lines_.Flush();
  std::fprintf(stderr, "%s %s\n", title.c_str(), text.c_str());
  std::fflush(stderr);
}

void ConsoleViews::ShowMessage(const std::string& text, const std::string& caption) {
  std::lock_guard lock(out_lock_);
  log_lines_.Flush();
  std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}

void ConsoleViews::Report(const std::string& text) {
  std::lock_guard lock(out_lock_);
  log_lines_.Flush();
  std::fprintf(stderr, "trovanexd: %s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace trovanex
