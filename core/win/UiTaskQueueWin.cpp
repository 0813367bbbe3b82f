#include "core/win/UiTaskQueueWin.h"

#include <windows.h>

#include "core/FatalError.h"
#include "core/win/MessageWait.h"
#include "core/win/WinHandle.h"

namespace {

class MessageWaitSignal : public UiTaskQueue::Signal {
 public:
  MessageWaitSignal() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr), 44) {
    if (!event_) fatalError(41);
  }

  void set() override {
    if (!SetEvent(event_.get())) fatalError(151);
  }
  void reset() override {
    if (!ResetEvent(event_.get())) fatalError(150);
  }
  void wait() override {
    if (waitForEventOrMessages(event_.get()) == WAIT_FAILED) fatalError(58);
  }

 private:
  WinHandle event_;
};

}  // namespace

std::unique_ptr<UiTaskQueue::Signal> makeMessageWaitSignal() { return std::make_unique<MessageWaitSignal>(); }
