#include "bridge/win/NetworkRepairOperation.h"

#include <utility>

#include "bridge/RepairListener.h"
#include "bridge/win/GuiCall.h"
#include "core/StatusCodes.h"
#include "core/app/win/MainDispatcher.h"
#include "core/win/ChildProcess.h"

using Microsoft::WRL::ComPtr;

namespace {

const std::vector<RepairCommandGroup> groups = {
    {{{L"netsh.exe", L"winsock reset"}}, false},
    {{{L"ipconfig.exe", L"/release"}, {L"ipconfig.exe", L"/renew"}}, true},
};

// Told once by one command's runner: on the watcher thread when the command
// has ended, on the main thread when it could not be started. It only posts,
// with the command's index, so a report of a command that is no longer
// current changes nothing.
class RepairCommandSink : public CommandSink {
 public:
  RepairCommandSink(NetworkRepairOperation* operation, uint32_t index) : operation_(operation), index_(index) {}

  void done(bool ok) override {
    ComPtr<NetworkRepairOperation> operation = operation_;
    uint32_t index = index_;
    operation->postToOwnerThread([operation, ok, index] { operation->onCommandDone(ok, index); });
  }

 private:
  ComPtr<NetworkRepairOperation> operation_;
  uint32_t index_;
};

}  // namespace

const std::vector<RepairCommandGroup>& repairCommandGroups() { return groups; }

NetworkRepairOperation::NetworkRepairOperation(std::shared_ptr<MainDispatcher> dispatcher,
                                               std::shared_ptr<RepairListener> listener, uint32_t group)
    : dispatcher_(std::move(dispatcher)), listener_(std::move(listener)), group_(group) {
  dispatcher_->acquire();
}

void NetworkRepairOperation::postToOwnerThread(std::function<void()> task) { dispatcher_->post(std::move(task)); }

void NetworkRepairOperation::postSelf(void (NetworkRepairOperation::*task)()) {
  ComPtr<NetworkRepairOperation> self(this);
  dispatcher_->post([self, task] { (self.Get()->*task)(); });
}

void NetworkRepairOperation::start(IOperationProgress* progress) {
  progress_ = progress;
  checkGuiCall(progress_->setDeterminate(FALSE), 97);
  checkGuiCall(progress_->showStatus(progress::repairRunning), 90);
  postSelf(&NetworkRepairOperation::runNext);
}

void NetworkRepairOperation::runNext() {
  if (!progress_ || cancelled_ == Cancelled::stopNow) return;
  runner_.reset();
  const RepairCommandGroup& group = groups[group_];
  if (nextIndex_ == group.commands.size()) {
    if (cancelled_ == Cancelled::afterGroup) {
      finish();
      return;
    }
    checkGuiCall(progress_->endSuccess(progress::repairFinished), 91);
    end();
    return;
  }
  const RepairCommand& command = group.commands[nextIndex_];
  groupStarted_ = true;
  // A command that cannot be started reports through a posted task, after
  // the runner is kept here.
  runner_ =
      std::make_shared<CommandRunner>(command.exe, command.args, std::make_shared<RepairCommandSink>(this, nextIndex_));
}

void NetworkRepairOperation::onCommandDone(bool ok, uint32_t index) {
  // A report queued before a cancel that stopped the group starts nothing.
  if (!progress_ || index != nextIndex_ || cancelled_ == Cancelled::stopNow) return;
  if (ok) {
    ++nextIndex_;
    runNext();
    return;
  }
  runner_.reset();
  if (cancelled_ == Cancelled::afterGroup) {
    finish();
    return;
  }
  checkGuiCall(progress_->endError(status::repairCommandFailed), 78);
  end();
}

HRESULT NetworkRepairOperation::cancel() {
  if (progress_ && groupStarted_ && groups[group_].runsToEndOnceStarted) {
    cancelled_ = Cancelled::afterGroup;
    return S_OK;
  }
  cancelled_ = Cancelled::stopNow;
  runner_.reset();
  postSelf(&NetworkRepairOperation::finish);
  return S_OK;
}

void NetworkRepairOperation::finish() {
  if (!progress_) return;
  runner_.reset();
  checkGuiCall(progress_->endSuccess(progress::none), 79);
  end();
}

void NetworkRepairOperation::end() {
  progress_.Reset();
  listener_->onRepairDone();
  dispatcher_->release();
}

MainOperation makeNetworkRepair(std::shared_ptr<MainDispatcher> dispatcher, std::shared_ptr<RepairListener> listener,
                                UINT group) {
  ComPtr<NetworkRepairOperation> operation(
      new NetworkRepairOperation(std::move(dispatcher), std::move(listener), group));
  MainOperation made;
  made.operation = static_cast<IOperation*>(operation.Get());
  made.start = [operation](IOperationProgress* progress) { operation->start(progress); };
  return made;
}
