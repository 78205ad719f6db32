#include "daemon/console_views.h"

namespace trovanex {

void ConsoleViews::SetMessagePanel(const std::string& text) {
  std::lock_guard lock(out_lock_);
  // The panel is cleared after every connection; only texts worth reading are printed.
  if (!text.empty() && text != panel_) std::fprintf(stderr, "status: %s\n", text.c_str());
  panel_ = text;
  std::fflush(stderr);
}

void ConsoleViews::AppendLogLines(const std::vector<std::string>& lines) {
  std::lock_guard lock(out_lock_);
  for (const std::string& line : lines) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  }
  std::fflush(stdout);
}

void ConsoleViews::ShowBalloon(const std::string& title, const std::string& text) {
  std::lock_guard lock(out_lock_);
  std::fprintf(stderr, "%s %s\n", title.c_str(), text.c_str());
  std::fflush(stderr);
}

void ConsoleViews::ShowMessage(const std::string& text, const std::string& caption) {
  std::lock_guard lock(out_lock_);
  std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}

void ConsoleViews::Report(const std::string& text) {
  std::lock_guard lock(out_lock_);
  std::fprintf(stderr, "trovanexd: %s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace trovanex
