#include "engine/folder_choice_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_system.h"
#include "support/recording_message_boxes.h"
#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::ReadFile;
using testing::RecordingMessageBoxes;
using testing::TempFolder;

constexpr auto kWaitLimit = std::chrono::seconds(5);

// Shows nothing: records the file name of each request it is given, in order, and answers
// from a script (DontSave once the script is used up). `on_show` runs while a request shows.
class ScriptedChooser : public FolderChooser {
 public:
  FolderChoice Choose(const SaveRequest& request) override {
    std::size_t index;
    {
      std::lock_guard hold(lock_);
      index = shown_.size();
      shown_.push_back(request.FileName);
    }
    if (on_show) on_show(request);
    return index < script.size() ? script[index] : FolderChoice{};
  }
  std::vector<std::string> Shown() const {
    std::lock_guard hold(lock_);
    return shown_;
  }
  std::size_t Count() const {
    std::lock_guard hold(lock_);
    return shown_.size();
  }

  std::vector<FolderChoice> script;
  std::function<void(const SaveRequest&)> on_show;

 private:
  mutable std::mutex lock_;
  std::vector<std::string> shown_;  // guarded by lock_
};

FolderChoice SaveTo(std::optional<std::size_t> selected) {
  return {FolderChoice::Kind::Save, selected, std::nullopt, ""};
}

FolderChoice SaveToNew(const std::string& folder, const std::string& label) {
  return {FolderChoice::Kind::Save, std::nullopt, folder, label};
}

// A condition with folders "first" and "second" of a temporary folder, each existing.
struct QueueFixture : ::testing::Test {
  QueueFixture() {
    condition->AppendFolder(temp.MakeFolder("first"), "First");
    condition->AppendFolder(temp.MakeFolder("second"), "Second");
  }
  SaveRequest Request(const std::string& file_name, const std::string& content = "data") {
    return {file_name, temp.Write("prog/tx" + std::to_string(++temp_count) + ".tmp", content),
            condition};
  }

  TempFolder temp;
  std::shared_ptr<TSearchCondition> condition = std::make_shared<TSearchCondition>();
  ScriptedChooser chooser;
  RecordingMessageBoxes boxes;
  std::vector<std::string> reports;
  int temp_count = 0;
  FolderChoiceQueue queue{chooser, boxes, [](const std::function<void()>& work) { work(); },
                          [this](const std::string& text) { reports.push_back(text); }};
};

using FolderChoiceCarryTest = QueueFixture;

TEST_F(FolderChoiceCarryTest, SaveGoesToTheSelectedFolderOrTheFirstWithoutSelection) {
  const SaveRequest none = Request("a.jpg", "none");
  queue.Carry(none, SaveTo(std::nullopt));
  EXPECT_EQ(ReadFile(temp / "first/a.jpg"), "none");
  EXPECT_FALSE(FileExists(none.TempName));

  queue.Carry(Request("a.jpg", "one"), SaveTo(1));
  EXPECT_EQ(ReadFile(temp / "second/a.jpg"), "one");

  queue.Carry(Request("a.jpg", "again"), SaveTo(0));  // the name is taken: numbered
  EXPECT_EQ(ReadFile(temp / "first/a.jpg"), "none");
  EXPECT_EQ(ReadFile(temp / "first/a[0].jpg"), "again");

  queue.Carry(Request("..", "parent"), SaveTo(0));  // never beside the folder
  EXPECT_EQ(ReadFile(temp / "first/_.."), "parent");
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(FolderChoiceCarryTest, ASelectionPastTheFoldersIsReportedAndRefused) {
  const SaveRequest request = Request("a.jpg");
  queue.Carry(request, SaveTo(2));
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "フォルダアイテム=nil; 何か変");
  EXPECT_EQ(boxes.shown[0].caption, "Trovanex : error");
  EXPECT_FALSE(FileExists(request.TempName));
  EXPECT_TRUE(ListFiles(temp / "first").empty());
  EXPECT_TRUE(ListFiles(temp / "second").empty());
}

TEST_F(FolderChoiceCarryTest, DontSaveDeletesTheTemporaryFile) {
  const SaveRequest request = Request("a.jpg");
  queue.Carry(request, FolderChoice{});
  EXPECT_FALSE(FileExists(request.TempName));
  EXPECT_TRUE(ListFiles(temp / "first").empty());
}

TEST_F(FolderChoiceCarryTest, ANewFolderJoinsTheLiveConditionWithItsLabelAndTakesTheFile) {
  const std::string added = temp.MakeFolder("new");
  queue.Carry(Request("a.jpg", "one"), SaveToNew(added, "New"));
  queue.Carry(Request("a.jpg", "two"), SaveToNew(temp.MakeFolder("unlabelled"), ""));
  ASSERT_EQ(condition->FolderCount(), 4u);
  EXPECT_EQ(condition->FolderAt(2)->Path, added);
  EXPECT_EQ(condition->FolderAt(2)->Name, "New");
  EXPECT_EQ(condition->FolderAt(3)->Name, "");
  EXPECT_EQ(ReadFile(temp / "new/a.jpg"), "one");
  EXPECT_EQ(ReadFile(temp / "unlabelled/a.jpg"), "two");
  // The added folder is offered like the others from now on.
  queue.Carry(Request("b.jpg", "three"), SaveTo(3));
  EXPECT_EQ(ReadFile(temp / "unlabelled/b.jpg"), "three");
}

using FolderChoiceQueueTest = QueueFixture;

TEST_F(FolderChoiceQueueTest, AConditionWithoutFoldersKeepsItsFileAndTheQueueGoesOn) {
  const SaveRequest orphan{"x.jpg", temp.Write("prog/tx_orphan.tmp", "kept"),
                           std::make_shared<TSearchCondition>()};
  chooser.script = {SaveTo(std::nullopt)};
  // Both wait, as while the dialog's thread is busy; then one run works them off.
  FolderChoiceQueue held(
      chooser, boxes, [](const std::function<void()>&) {},
      [this](const std::string& text) { reports.push_back(text); });
  held.Enqueue(orphan);
  held.Enqueue(Request("a.jpg", "next"));
  held.ProcessQueue();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "フォルダリストの中身が有りません！");
  EXPECT_EQ(boxes.shown[0].caption, "Trovanex : error");
  EXPECT_EQ(ReadFile(orphan.TempName), "kept");
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(chooser.Shown(), std::vector<std::string>{"a.jpg"});
  EXPECT_EQ(ReadFile(temp / "first/a.jpg"), "next");
}

TEST_F(FolderChoiceQueueTest, DiscardAllDeletesWhatStillWaits) {
  FolderChoiceQueue stalled(chooser, boxes, [](const std::function<void()>&) {}, {});
  const SaveRequest a = Request("a.jpg");
  const SaveRequest b = Request("b.jpg");
  stalled.Enqueue(a);
  stalled.Enqueue(b);
  stalled.DiscardAll();
  EXPECT_FALSE(FileExists(a.TempName));
  EXPECT_FALSE(FileExists(b.TempName));
  stalled.ProcessQueue();
  EXPECT_TRUE(chooser.Shown().empty());
}

// The dialog's thread: runs posted work in order. Work that blocks (a modal question) keeps
// running later posts through Pump, as a modal loop does.
class DialogThread {
 public:
  DialogThread() : thread_([this] { Loop(); }) {}
  ~DialogThread() {
    Post([this] { stop_ = true; });
    thread_.join();
  }

  // Runs `work` on the dialog thread and returns once it has run.
  void Post(std::function<void()> work) {
    auto done = std::make_shared<bool>(false);
    std::unique_lock hold(lock_);
    posted_.push_back([work = std::move(work), done, this] {
      work();
      std::lock_guard inner(lock_);
      *done = true;
      changed_.notify_all();
    });
    changed_.notify_all();
    changed_.wait(hold, [&] { return *done; });
  }
  std::size_t Pending() {
    std::lock_guard hold(lock_);
    return posted_.size();
  }
  // Dialog thread only: runs posted work until `until` holds; false after the wait limit.
  bool Pump(const std::function<bool()>& until) {
    for (;;) {
      std::function<void()> next;
      {
        std::unique_lock hold(lock_);
        if (!changed_.wait_for(hold, kWaitLimit, [&] { return until() || !posted_.empty(); }))
          return false;
        if (until()) return true;
        next = std::move(posted_.front());
        posted_.pop_front();
      }
      next();
    }
  }
  // Wakes a Pump whose condition another thread has just made true (under Lock()).
  std::unique_lock<std::mutex> Lock() { return std::unique_lock(lock_); }
  void Notify() { changed_.notify_all(); }

 private:
  void Loop() {
    while (!stop_) Pump([this] { return stop_; });
  }

  std::mutex lock_;  // guards posted_ and the done flags
  std::condition_variable changed_;
  std::deque<std::function<void()>> posted_;
  bool stop_ = false;  // dialog thread only
  std::thread thread_;
};

TEST_F(FolderChoiceQueueTest, QuestionsComeInArrivalOrderAndOnlyTheFirstCallerWaitsForAll) {
  DialogThread dialog;
  FolderChoiceQueue shown_queue(
      chooser, boxes, [&dialog](const std::function<void()>& work) { dialog.Post(work); },
      [](const std::string&) {});
  bool third_returned = false;  // guarded by dialog.Lock()
  std::atomic<bool> first_returned{false};
  bool first_waited_while_third_returned = false;
  SaveRequest one = Request("1.jpg"), two = Request("2.jpg"), three = Request("3.jpg");
  std::thread third;
  chooser.on_show = [&](const SaveRequest& request) {
    if (request.FileName != "1.jpg") return;
    // The first question is open: a third capture arrives and must not wait for it.
    third = std::thread([&] {
      shown_queue.Enqueue(std::move(three));
      auto hold = dialog.Lock();
      third_returned = true;
      first_waited_while_third_returned = !first_returned;
      dialog.Notify();
    });
    EXPECT_TRUE(dialog.Pump([&] { return third_returned; })) << "the third caller was kept";
  };

  // Two captures arrive while the dialog's thread is busy elsewhere.
  std::atomic<bool> busy_started{false};
  std::atomic<bool> release{false};
  std::thread busy([&] {
    dialog.Post([&] {
      busy_started = true;
      while (!release) std::this_thread::yield();
    });
  });
  while (!busy_started) std::this_thread::yield();
  std::thread first([&] {
    shown_queue.Enqueue(std::move(one));
    first_returned = true;
  });
  while (dialog.Pending() < 1) std::this_thread::yield();
  std::thread second([&] { shown_queue.Enqueue(std::move(two)); });
  while (dialog.Pending() < 2) std::this_thread::yield();
  release = true;

  busy.join();
  first.join();
  EXPECT_EQ(chooser.Shown(), (std::vector<std::string>{"1.jpg", "2.jpg", "3.jpg"}));
  second.join();
  if (third.joinable()) third.join();
  EXPECT_TRUE(first_waited_while_third_returned);
}

// The headless program answers on the connection threads themselves, several at once. However
// their calls interleave, no request may be left waiting once every caller has returned.
TEST_F(FolderChoiceQueueTest, ConcurrentCallersLeaveNoRequestBehind) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 100000;
  const SaveRequest request{"a.jpg", temp / "prog/none.tmp", condition};  // DontSave: removed
  std::size_t rounds = 0;
  std::size_t left_behind = 0;
  // Runs once all callers of a round have returned from Enqueue.
  auto check = [&]() noexcept {
    ++rounds;
    if (chooser.Count() == rounds * kThreads) return;
    ++left_behind;
    queue.ProcessQueue();  // picks up what was left, so the next round counts afresh
  };
  std::barrier round_end(kThreads, check);
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t)
    callers.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        queue.Enqueue(request);
        round_end.arrive_and_wait();
      }
    });
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(left_behind, 0u) << "rounds whose last request stayed queued after every caller "
                                "returned, of "
                             << rounds;
}

}  // namespace
}  // namespace trovanex
