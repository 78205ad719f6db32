#include "monitor/http_log.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <utility>

namespace trovanex {
namespace {

constexpr char kLineEnd[] = "\r\n";
constexpr char kClosingLine[] = "*** Destroying main window... shutdown ***";

// Local date and time as "YYYY/MM/DD HH:MM:SS".
std::string LocalDateTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
  return std::string(text, length);
}

}  // namespace

HttpLog::HttpLog(LogView& view, bool debug_mode) : view_(view), debug_mode_(debug_mode) {}

HttpLog::~HttpLog() {
  CloseDebugLog();
}

void HttpLog::OpenDebugLog(const std::string& path,
                           std::function<void(const std::string&)> report) {
  if (!debug_mode_) return;
  std::string failure;
  {
    MutexLock hold(log_lock_);
    if (debug_file_) return;
    report_ = std::move(report);
    debug_path_ = path;
    std::error_code ignored;
    const bool existed = std::filesystem::exists(path, ignored);
    debug_file_ = std::fopen(path.c_str(), "ab");
    debug_open_ = debug_file_ != nullptr;
    if (!debug_file_) {
      failure = FileFailure("を開けません");
    } else if (existed) {
      failure = WriteDebugLine("*** Debug log start :: " + LocalDateTime() + " ***");
    }
  }
  Report(failure);
}

void HttpLog::CloseDebugLog() {
  std::string failure;
  {
    MutexLock hold(log_lock_);
    if (!debug_file_) return;
    failure = WriteDebugLine(kClosingLine);
    if (debug_file_) {
      // The buffered lines reach the disk here; a full disk shows only now.
      const bool closed = std::fclose(debug_file_) == 0;
      debug_file_ = nullptr;
      debug_open_ = false;
      if (!closed) failure = FileFailure("に書けません");
    }
  }
  Report(failure);
}

void HttpLog::AddLog(const std::string& line) {
  if (!Listening()) return;
  std::string failure;
  {
    MutexLock hold(log_lock_);
    if (view_.LogVisible()) view_.AppendLogLines({line});
    failure = WriteDebugLine(line);
  }
  Report(failure);
}

void HttpLog::AddHeaderLog(const std::string& prefix, const std::vector<std::string>& lines) {
  if (lines.empty() || !Listening()) return;
  std::vector<std::string> block;
  block.reserve(lines.size());
  for (const std::string& line : lines) block.push_back(prefix + line);
  std::string failure;
  {
    // One hold over the whole block: no other connection's line lands inside it, in the
    // window or in the file.
    MutexLock hold(log_lock_);
    if (view_.LogVisible()) view_.AppendLogLines(block);
    for (const std::string& line : block) {
      std::string line_failure = WriteDebugLine(line);
      if (!line_failure.empty()) failure = std::move(line_failure);
    }
  }
  Report(failure);
}

void HttpLog::AddDebugLog(const std::string& line) {
  std::string failure;
  {
    MutexLock hold(log_lock_);
    failure = WriteDebugLine(line);
  }
  Report(failure);
}

std::string HttpLog::WriteDebugLine(const std::string& line) {
  if (!debug_file_) return {};
  // Buffered: a failure may surface a few lines later, when the buffer is written out.
  const bool written = std::fwrite(line.data(), 1, line.size(), debug_file_) == line.size() &&
                       std::fputs(kLineEnd, debug_file_) != EOF;
  if (written) return {};
  std::string failure = FileFailure("に書けません");
  std::fclose(debug_file_);
  debug_file_ = nullptr;
  debug_open_ = false;
  return failure;
}

std::string HttpLog::FileFailure(const char* what) {
  const int error = errno;
  if (failure_reported_) return {};
  failure_reported_ = true;
  return "デバッグログ " + debug_path_ + " " + what + " (" + std::strerror(error) +
         ")。デバッグログなしで続けます。";
}

void HttpLog::Report(const std::string& failure) {
  if (failure.empty()) return;
  std::function<void(const std::string&)> report;
  {
    MutexLock hold(log_lock_);
    report = report_;
  }
  if (report) report(failure);
}

}  // namespace trovanex
