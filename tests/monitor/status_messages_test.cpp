#include "monitor/status_messages.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "support/recording_views.h"

namespace trovanex {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::RecordingStatusView;
using Lines = std::vector<std::string>;
constexpr auto kPanel = RecordingStatusView::kMessagePanel;

TEST(StatusMessages, TimerClearsThePanelOnceAfterStartUp) {
  RecordingStatusView view;
  StatusMessages messages(view, milliseconds(200));
  messages.SetStatusText("starting");
  ASSERT_TRUE(view.WaitForCount(kPanel, 2));
  EXPECT_EQ(view.History(kPanel), Lines({"starting", ""}));
  EXPECT_EQ(messages.PanelText(), "");
}

TEST(StatusMessages, TwoMessagesBringBackTheTextBeforeTheFirst) {
  RecordingStatusView view;
  StatusMessages messages(view, milliseconds(200));
  ASSERT_TRUE(view.WaitForCount(kPanel, 1));  // the start-up firing
  messages.SetStatusText("T");
  messages.ShowStatusMessage("first");
  messages.ShowStatusMessage("second");
  EXPECT_EQ(messages.PanelText(), "second");
  ASSERT_TRUE(view.WaitForCount(kPanel, 5));
  EXPECT_EQ(view.History(kPanel), Lines({"", "T", "first", "second", "T"}));

  // The timer stopped with that; the next message starts it again.
  messages.ShowStatusMessage("third");
  ASSERT_TRUE(view.WaitForCount(kPanel, 7));
  EXPECT_EQ(view.Last(kPanel), "T");
}

// Remembering the panel only while it is "empty" would bring back the first message here and
// leave it standing for good.
TEST(StatusMessages, EmptyPanelBeforeTheMessagesComesBack) {
  RecordingStatusView view;
  StatusMessages messages(view, milliseconds(200));
  ASSERT_TRUE(view.WaitForCount(kPanel, 1));
  messages.ShowStatusMessage("first");
  messages.ShowStatusMessage("second");
  ASSERT_TRUE(view.WaitForCount(kPanel, 4));
  EXPECT_EQ(view.History(kPanel), Lines({"", "first", "second", ""}));
}

TEST(StatusMessages, ALaterMessageDoesNotRestartTheTimer) {
  constexpr milliseconds kHold(400);
  RecordingStatusView view;
  StatusMessages messages(view, kHold);
  ASSERT_TRUE(view.WaitForCount(kPanel, 1));
  const auto first = steady_clock::now();
  messages.ShowStatusMessage("first");
  std::this_thread::sleep_for(kHold / 2);
  messages.ShowStatusMessage("second");
  ASSERT_TRUE(view.WaitForCount(kPanel, 4));
  // A restarted timer would fire 1.5 holds after the first message.
  EXPECT_LT(steady_clock::now() - first, kHold * 5 / 4);
}

TEST(StatusMessages, StopsWithoutWaitingForTheTimer) {
  RecordingStatusView view;
  auto messages = std::make_unique<StatusMessages>(view);  // the full five seconds
  messages->ShowStatusMessage("x");
  const auto stopping = steady_clock::now();
  messages.reset();
  EXPECT_LT(steady_clock::now() - stopping, milliseconds(500));
}

}  // namespace
}  // namespace trovanex
