#include "monitor/http_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/text_lines.h"
#include "support/recording_views.h"
#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::ReadFile;
using testing::RecordingLogView;
using testing::TempFolder;
using Lines = std::vector<std::string>;

// Reports collected from the debug log.
struct Reports {
  std::function<void(const std::string&)> Callback() {
    return [this](const std::string& text) {
      std::lock_guard hold(lock);
      texts.push_back(text);
    };
  }
  std::size_t Count() {
    std::lock_guard hold(lock);
    return texts.size();
  }
  std::mutex lock;
  Lines texts;
};

Lines FileLines(const std::string& path) {
  Lines lines;
  ForEachLine(ReadFile(path), [&](std::string_view line) { lines.emplace_back(line); });
  return lines;
}

TEST(HttpLog, HeaderBlockIsOneCallWithThePrefixOnEachLine) {
  RecordingLogView view;
  HttpLog log(view, false);
  log.AddHeaderLog("7 :", {});
  EXPECT_TRUE(view.Blocks().empty());
  log.AddHeaderLog("7 :", {"Host: a", "Accept: */*", "Connection: close"});
  EXPECT_EQ(view.Blocks(),
            std::vector<Lines>({{"7 :Host: a", "7 :Accept: */*", "7 :Connection: close"}}));
  log.AddDebugLog("only for the file");
  EXPECT_EQ(view.Blocks().size(), 1u);
}

TEST(HttpLog, HiddenWindowDropsLinesThatTheDebugLogStillGets) {
  TempFolder folder;
  RecordingLogView view(false);
  {
    HttpLog log(view, true);
    log.OpenDebugLog(folder / "debug.log.txt", nullptr);
    log.AddLog("1 : hidden");
    view.SetVisible(true);
    log.AddLog("2 : shown");
    log.AddHeaderLog("2 :", {"Host: b"});
    log.AddDebugLog("debug only");
  }
  EXPECT_EQ(view.Lines(), Lines({"2 : shown", "2 :Host: b"}));
  // A new file has no start line; every line ends with CR LF.
  EXPECT_EQ(ReadFile(folder / "debug.log.txt"),
            "1 : hidden\r\n2 : shown\r\n2 :Host: b\r\ndebug only\r\n"
            "*** Destroying main window... shutdown ***\r\n");
}

TEST(HttpLog, ExistingDebugLogGetsAStartLineAfterItsContent) {
  TempFolder folder;
  const std::string path = folder.Write("debug.log.txt", "earlier run\r\n");
  RecordingLogView view;
  HttpLog log(view, true);
  log.OpenDebugLog(path, nullptr);
  log.AddLog("1 : x");
  log.CloseDebugLog();
  log.AddLog("2 : after closing");  // reaches no file, harms nothing
  const Lines lines = FileLines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "earlier run");
  EXPECT_TRUE(std::regex_match(
      lines[1],
      std::regex(R"(\*\*\* Debug log start :: \d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} \*\*\*)")))
      << lines[1];
  EXPECT_EQ(lines[2], "1 : x");
  EXPECT_EQ(lines[3], "*** Destroying main window... shutdown ***");
}

TEST(HttpLog, WithoutDebugModeNoFileIsMade) {
  TempFolder folder;
  RecordingLogView view;
  {
    HttpLog log(view, false);
    log.OpenDebugLog(folder / "debug.log.txt", nullptr);
    log.AddLog("1 : x");
  }
  EXPECT_FALSE(std::filesystem::exists(folder / "debug.log.txt"));
  EXPECT_EQ(view.Lines(), Lines({"1 : x"}));
}

TEST(HttpLog, UnopenableDebugLogIsReportedOnceAndTheLogGoesOn) {
  TempFolder folder;
  RecordingLogView view;
  Reports reports;
  {
    HttpLog log(view, true);
    log.OpenDebugLog(folder / "missing/debug.log.txt", reports.Callback());
    log.AddLog("1 : x");
    log.AddHeaderLog("1 :", {"Host: a"});
    log.AddDebugLog("y");
  }
  EXPECT_EQ(reports.Count(), 1u);
  EXPECT_EQ(view.Lines(), Lines({"1 : x", "1 :Host: a"}));
}

TEST(HttpLog, WriteFailureIsReportedOnce) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  RecordingLogView view;
  Reports reports;
  {
    HttpLog log(view, true);
    log.OpenDebugLog("/dev/full", reports.Callback());
    const std::string long_line(1000, 'x');
    for (int i = 0; i < 100; ++i) log.AddLog("1 : " + long_line);  // overflows the buffer
  }
  EXPECT_EQ(reports.Count(), 1u);
  EXPECT_EQ(view.Lines().size(), 100u);
}

// A report may use the log itself (a front end logs it): it is not given under the lock.
TEST(HttpLog, ReportMayWriteToTheLog) {
  TempFolder folder;
  RecordingLogView view;
  HttpLog log(view, true);
  log.OpenDebugLog(folder / "missing/debug.log.txt",
                   [&](const std::string& text) { log.AddLog(text); });
  ASSERT_EQ(view.Lines().size(), 1u);
  EXPECT_NE(view.Lines()[0].find("debug.log.txt"), std::string::npos);
}

// Blocks of header lines stay whole in the file while other threads add lines.
TEST(HttpLog, HeaderBlocksNeverInterleaveWithOtherThreads) {
  TempFolder folder;
  RecordingLogView view;
  {
    HttpLog log(view, true);
    log.OpenDebugLog(folder / "debug.log.txt", nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
      threads.emplace_back([&log, t] {
        const std::string prefix = std::to_string(t) + " :";
        for (int i = 0; i < 300; ++i) {
          if (t % 2) {
            log.AddHeaderLog(prefix, {"H0", "H1", "H2", "H3"});
          } else {
            log.AddLog(prefix + " single");
          }
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  const Lines lines = FileLines(folder / "debug.log.txt");
  ASSERT_EQ(lines.size(), 8u * 300u + 8u * 1200u + 1u);
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    const std::size_t colon = lines[i].find(':');
    if (lines[i].substr(colon + 1) != "H0") continue;
    ASSERT_LE(i + 4, lines.size());
    for (int k = 1; k < 4; ++k) {
      ASSERT_EQ(lines[i + k], lines[i].substr(0, colon + 1) + "H" + std::to_string(k)) << i;
    }
  }
  // The window got the same blocks whole, in the file's order.
  Lines shown = view.Lines();
  shown.push_back(lines.back());
  EXPECT_EQ(shown, lines);
}

}  // namespace
}  // namespace trovanex
