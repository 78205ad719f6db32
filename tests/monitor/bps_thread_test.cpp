#include "monitor/bps_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <optional>

#include "support/recording_views.h"

namespace trovanex {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::RecordingStatusView;

TEST(TBPSThread, RateAndItsText) {
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  struct Row {
    const char* name;
    std::uint32_t bytes, elapsed_ms, rate;
    const char* text;
  };
  const Row rows[] = {
      {"one and a half million in a second", 1'500'000, 1000, 1'500'000, "1500Kbps"},
      {"below a thousand shows zero", 999, 1000, 999, "0Kbps"},
      {"nothing relayed", 0, 1000, 0, "0Kbps"},
      {"product beyond 32 bits", 4'294'967'295u, 1000, 4'294'967'295u, "4294967Kbps"},
      {"just past the 32-bit product", 4'294'968, 1000, 4'294'968, "4294Kbps"},
      {"first short period", 1'000'000, 100, 10'000'000, "10000Kbps"},
      {"a rate past 32 bits shows the largest", 1'000'000'000, 100, kMax, "4294967Kbps"},
      {"a period of no time", 5, 0, 5000, "5Kbps"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(TBPSThread::RateFor(row.bytes, row.elapsed_ms), row.rate) << row.name;
    EXPECT_EQ(TBPSThread::DisplayText(row.rate), row.text) << row.name;
  }
}

TEST(TBPSThread, PeriodAcrossTheTickWrap) {
  EXPECT_EQ(TBPSThread::RateBetween(1'500'000, 0xFFFF'FE0Cu, 500), 1'500'000u);
  EXPECT_EQ(TBPSThread::RateBetween(1'500'000, 0xFFFF'FFFFu, 999), 1'500'000u);
}

// The relayed bytes are counted in exactly one period and the count starts again at zero.
TEST(TBPSThread, ShowsEverySecondAndCountsBytesOnce) {
  RecordingStatusView view;
  const auto started = steady_clock::now();
  std::optional<steady_clock::duration> first_show;
  {
    TBPSThread thread([&](const std::string& text) {
      if (!first_show) first_show = steady_clock::now() - started;
      view.SetThroughput(text);
    });
    thread.AddBytes(2'000'000);
    ASSERT_TRUE(view.WaitForCount(RecordingStatusView::kThroughput, 2));
  }
  EXPECT_LT(*first_show, milliseconds(900));  // the first period is short
  const auto shown = view.History(RecordingStatusView::kThroughput);
  EXPECT_NE(shown[0], "0Kbps");
  EXPECT_EQ(shown[1], "0Kbps");
}

TEST(TBPSThread, StopsWithoutWaitingOutThePeriod) {
  RecordingStatusView view;
  auto thread =
      std::make_unique<TBPSThread>([&](const std::string& text) { view.SetThroughput(text); });
  ASSERT_TRUE(view.WaitForCount(RecordingStatusView::kThroughput, 1));
  const auto stopping = steady_clock::now();
  thread.reset();  // now inside its one-second sleep
  EXPECT_LT(steady_clock::now() - stopping, milliseconds(500));
}

}  // namespace
}  // namespace trovanex
