#include "monitor/monitor.h"

#include <gtest/gtest.h>

#include <string>

#include "support/recording_views.h"

namespace trovanex {
namespace {

using testing::RecordingMonitorViews;
using testing::RecordingStatusView;

std::string Repeat(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

TEST(Monitor, BalloonBodyCutAt255BytesOnACharacterBoundary) {
  RecordingMonitorViews views;
  Monitor monitor(views.Views(), false);
  struct Row {
    const char* name;
    std::string text;
    std::string body;
  };
  const Row rows[] = {
      {"short text unchanged", "保存しました", "保存しました"},
      {"exactly 255 bytes", Repeat("あ", 85), Repeat("あ", 85)},
      {"limit inside a 3-byte character", "a" + Repeat("あ", 100), "a" + Repeat("あ", 84)},
      {"limit on its last byte", "ab" + Repeat("あ", 100), "ab" + Repeat("あ", 84)},
      {"limit inside a 4-byte character", "abc" + Repeat("😀", 70), "abc" + Repeat("😀", 63)},
      {"plain ASCII", std::string(300, 'x'), std::string(255, 'x')},
      {"no UTF-8 at all", std::string(300, '\x80'), std::string(255, '\x80')},
  };
  for (const Row& row : rows) monitor.ShowBalloon(row.text);
  const auto shown = views.balloons.Shown();
  ASSERT_EQ(shown.size(), std::size(rows));
  for (std::size_t i = 0; i < shown.size(); ++i) {
    EXPECT_EQ(shown[i].title, "trovan!") << rows[i].name;
    EXPECT_EQ(shown[i].text, rows[i].body) << rows[i].name;
  }
}

TEST(Monitor, ThroughputReachesTheStatusView) {
  RecordingMonitorViews views;
  Monitor monitor(views.Views(), false);
  ASSERT_TRUE(views.status.WaitForCount(RecordingStatusView::kThroughput, 1));
  EXPECT_EQ(views.status.Last(RecordingStatusView::kThroughput), "0Kbps");
}

}  // namespace
}  // namespace trovanex
