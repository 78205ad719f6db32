#include "monitor/connection_list.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/recording_views.h"

namespace trovanex {
namespace {

using testing::RecordingConnectionListView;
using Lines = std::vector<std::string>;

TEST(ConnectionList, HiddenWindowShowsTheCurrentListWhenOpened) {
  RecordingConnectionListView view(false);
  ConnectionList list(view);
  list.AddConnection("a: GET /1 HTTP/1.1");
  list.AddConnection("b: GET /2 HTTP/1.1");
  list.AddConnection("c: GET /3 HTTP/1.1");
  list.RemoveConnection("b: GET /2 HTTP/1.1");
  EXPECT_EQ(view.ShowCount(), 0);
  list.Refresh();
  EXPECT_EQ(view.Shown(), Lines({"a: GET /1 HTTP/1.1", "c: GET /3 HTTP/1.1"}));
}

TEST(ConnectionList, VisibleWindowFollowsDuplicatesAndCaseBlindRemoval) {
  RecordingConnectionListView view(true);
  ConnectionList list(view);
  list.AddConnection("x: GET /a HTTP/1.0");
  list.AddConnection("y: GET /b HTTP/1.0");
  list.AddConnection("x: GET /a HTTP/1.0");
  EXPECT_EQ(view.Shown(),
            Lines({"x: GET /a HTTP/1.0", "y: GET /b HTTP/1.0", "x: GET /a HTTP/1.0"}));
  list.RemoveConnection("X: get /A http/1.0");  // the first equal entry only
  EXPECT_EQ(view.Shown(), Lines({"y: GET /b HTTP/1.0", "x: GET /a HTTP/1.0"}));
  list.RemoveConnection("z: GET /c HTTP/1.0");
  list.RemoveConnection("y: GET /b HTTP/1.0 ");  // equal only as a whole
  EXPECT_EQ(view.Shown(), Lines({"y: GET /b HTTP/1.0", "x: GET /a HTTP/1.0"}));
}

TEST(ConnectionList, FailingWindowIsIgnoredAndTheListKept) {
  RecordingConnectionListView view(true);
  view.FailShows();
  ConnectionList list(view);
  EXPECT_NO_THROW(list.AddConnection("a"));
  EXPECT_NO_THROW(list.AddConnection("b"));
  EXPECT_NO_THROW(list.RemoveConnection("a"));
  EXPECT_NO_THROW(list.Refresh());
  EXPECT_EQ(list.Entries(), Lines({"b"}));
}

TEST(ConnectionList, ConcurrentConnectionsLeaveAnEmptyList) {
  RecordingConnectionListView view(true);
  ConnectionList list(view);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&list, t] {
      for (int i = 0; i < 200; ++i) {
        const std::string entry = "host" + std::to_string(t) + ": GET /" + std::to_string(i);
        list.AddConnection(entry);
        list.RemoveConnection(entry);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(list.Entries().empty());
  EXPECT_TRUE(view.Shown().empty());
}

}  // namespace
}  // namespace trovanex
