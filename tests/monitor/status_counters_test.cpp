#include "monitor/status_counters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

#include "support/recording_views.h"

namespace trovanex {
namespace {

using testing::RecordingStatusView;

TEST(StatusCounters, ConcurrentStartsGetUniqueGaplessSerialsAndBalance) {
  RecordingStatusView view;
  StatusCounters counters(view);
  constexpr int kThreads = 16, kPerThread = 200;
  std::vector<std::vector<std::uint32_t>> serials(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) serials[t].push_back(counters.ConnectionStarted());
      for (int i = 0; i < kPerThread; ++i) counters.ConnectionEnded();
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<std::uint32_t> all;
  for (const auto& some : serials) all.insert(all.end(), some.begin(), some.end());
  std::sort(all.begin(), all.end());
  for (std::size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], i + 1);

  EXPECT_EQ(counters.StartedCount(), 3200u);
  EXPECT_EQ(counters.EndedCount(), 3200u);
  EXPECT_EQ(counters.ConcurrentCount(), 0);
  // The displays are set in the order of the changes, so the last texts are the final ones.
  EXPECT_EQ(view.Last(RecordingStatusView::kConnectCounter), "3200 / 3200");
  EXPECT_EQ(view.Last(RecordingStatusView::kConcurrent), "同時接続数: 0");
}

TEST(StatusCounters, OneConnectionShowsStartAndEnd) {
  RecordingStatusView view;
  StatusCounters counters(view);
  EXPECT_EQ(counters.ConnectionStarted(), 1u);
  EXPECT_EQ(view.Last(RecordingStatusView::kConnectCounter), "0 / 1");
  EXPECT_EQ(view.Last(RecordingStatusView::kConcurrent), "同時接続数: 1");
  counters.ConnectionEnded();
  EXPECT_EQ(view.Last(RecordingStatusView::kConnectCounter), "1 / 1");
  EXPECT_EQ(view.Last(RecordingStatusView::kConcurrent), "同時接続数: 0");
}

TEST(StatusCounters, ClientAddressesAddedOnceIgnoringCaseAndAsSubstring) {
  RecordingStatusView view;
  StatusCounters counters(view);
  EXPECT_EQ(counters.ClientAddresses(), "まだ接続されていません。");
  struct Step {
    const char* address;
    const char* text_after;
  };
  const Step steps[] = {
      {"127.0.0.1", "接続元:127.0.0.1"},
      {"127.0.0.1", "接続元:127.0.0.1"},
      {"10.0.0.20", "接続元:127.0.0.1, 10.0.0.20"},
      {"10.0.0.2", "接続元:127.0.0.1, 10.0.0.20"},  // already there as part of 10.0.0.20
      {"fe80::ABCD", "接続元:127.0.0.1, 10.0.0.20, fe80::ABCD"},
      {"FE80::abcd", "接続元:127.0.0.1, 10.0.0.20, fe80::ABCD"},
  };
  for (const Step& step : steps) {
    counters.NoteClientAddress(step.address);
    EXPECT_EQ(counters.ClientAddresses(), step.text_after) << step.address;
  }
  // The label is set only when the text changes.
  EXPECT_EQ(view.History(RecordingStatusView::kClientAddresses).size(), 3u);
  EXPECT_EQ(view.Last(RecordingStatusView::kClientAddresses), steps[5].text_after);
}

TEST(StatusCounters, SavedBytesWrapAtThirtyTwoBits) {
  RecordingStatusView view;
  StatusCounters counters(view);
  counters.AddSavedBytes(4'294'967'295u);
  counters.ShowSavedBytes();
  EXPECT_EQ(view.Last(RecordingStatusView::kSavedBytes), "4294967295");
  counters.AddSavedBytes(2);
  counters.ShowSavedBytes();
  EXPECT_EQ(view.Last(RecordingStatusView::kSavedBytes), "1");
}

// Holds up the first saved-bytes display until a second one has arrived (or 200 ms passed).
class HoldingSavedBytesView : public RecordingStatusView {
 public:
  void SetSavedBytes(const std::string& text) override {
    if (first_.exchange(false)) {
      entered.count_down();
      WaitForCount(kSavedBytes, 1, std::chrono::milliseconds(200));
    }
    RecordingStatusView::SetSavedBytes(text);
  }
  std::latch entered{1};

 private:
  std::atomic<bool> first_{true};
};

TEST(StatusCounters, SavedBytesFigureReadEarlierNeverLandsLast) {
  HoldingSavedBytesView view;
  StatusCounters counters(view);
  counters.AddSavedBytes(3);
  std::thread earlier([&] { counters.ShowSavedBytes(); });
  view.entered.wait();
  counters.AddSavedBytes(3);
  counters.ShowSavedBytes();
  earlier.join();
  EXPECT_EQ(view.Last(RecordingStatusView::kSavedBytes), "6");
}

}  // namespace
}  // namespace trovanex
