#include "core/win/UiTaskQueueWin.h"

#include <windows.h>

#include "core/FatalError.h"
#include "core/win/MessageWait.h"

namespace {

class MessageWaitSignal : public UiTaskQueue::Signal {
 public:
  MessageWaitSignal() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!event_) fatalError(41);
  }
  ~MessageWaitSignal() override {
    if (!CloseHandle(event_)) fatalError(44);
  }
  MessageWaitSignal(const MessageWaitSignal&) = delete;
  MessageWaitSignal& operator=(const MessageWaitSignal&) = delete;

  void set() override {
    if (!SetEvent(event_)) fatalError(151);
  }
  void reset() override {
    if (!ResetEvent(event_)) fatalError(150);
  }
  void wait() override {
    if (waitForEventOrMessages(event_) == WAIT_FAILED) fatalError(58);
  }

 private:
  HANDLE event_;
};

}  // namespace

std::unique_ptr<UiTaskQueue::Signal> makeMessageWaitSignal() { return std::make_unique<MessageWaitSignal>(); }
