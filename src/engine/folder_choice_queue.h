// The queue of captures waiting for their folder. Connection threads hand requests over; one
// thread (the desktop's main thread) works them off one after the other, in arrival order. A
// connection that hands a request over while none is being shown waits until the user has
// dealt with the whole queue; one that hands over while a question is open goes on at once.
#pragma once

#include <deque>
#include <functional>

#include "engine/save_questions.h"
#include "model/message_boxes.h"
#include "platform/thread_annotations.h"

namespace trovanex {

class FolderChoiceQueue {
 public:
  // Runs `work` on the thread that owns the dialog and returns when it has run.
  using Invoke = std::function<void(std::function<void()> work)>;
  // Reports a failed move and the like (the debug log).
  using Report = std::function<void(const std::string&)>;

  FolderChoiceQueue(FolderChooser& chooser, MessageBoxes& boxes, Invoke invoke, Report report);

  // Connection thread: appends the request and hands control to the dialog's thread.
  void Enqueue(SaveRequest request);

  // Dialog thread: works off the queue unless that is already under way (a question is open).
  void ProcessQueue();

  // At exit: every request still waiting is answered "don't save".
  void DiscardAll();

  // What one choice does with its request: move into the chosen folder, or delete.
  void Carry(const SaveRequest& request, const FolderChoice& choice);

 private:
  FolderChooser& chooser_;
  MessageBoxes& boxes_;
  const Invoke invoke_;
  const Report report_;
  Mutex lock_;
  std::deque<SaveRequest> requests_ GUARDED_BY(lock_);
  bool busy_ GUARDED_BY(lock_) = false;  // a request is being shown
};

}  // namespace trovanex
