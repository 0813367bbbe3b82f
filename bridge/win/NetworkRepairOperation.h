#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bridge/win/ComRefCount.h"
#include "bridge/win/ControllerSeams.h"
#include "bridge/win/GuiInterfaces.h"

class CommandRunner;
class RepairListener;
class MainDispatcher;

struct RepairCommand {
  std::wstring exe;  // a program file name in the Windows system folder
  std::wstring args;
};

struct RepairCommandGroup {
  std::vector<RepairCommand> commands;
  // Once its first command has started, a cancel lets the group run to its
  // end: "/release" without its "/renew" leaves the machine without any DHCP
  // address.
  bool runsToEndOnceStarted;
};

// The fixed repair table, by group number: 0 resets the Winsock catalogue,
// 1 releases and renews the DHCP addresses of every adapter.
const std::vector<RepairCommandGroup>& repairCommandGroups();

// One network repair: runs its group's commands one after another from the
// system folder, each through a CommandRunner, ignoring their exit codes.
// It ends once, with endSuccess(90006) after the last command, endError(20031)
// when a command cannot be started, or endSuccess(0) after a cancel, and only
// then lowers the busy count and tells its listener. A native COM object
// held by the GUI, its posted tasks and the sink of the running command; its
// fields are used on the main thread only.
class NetworkRepairOperation : public ComObject<NetworkRepairOperation, IOperation> {
 public:
  // Raises the dispatcher's busy count. group is below the number of groups.
  // The object starts with a count of 0.
  NetworkRepairOperation(std::shared_ptr<MainDispatcher> dispatcher, std::shared_ptr<RepairListener> listener,
                         uint32_t group);

  // Once, with the GUI's progress interface for this operation.
  void start(IOperationProgress* progress);
  // In a group that runs to its end once started, a cancel after its first
  // command has started waits for the group's end (and then reports
  // endSuccess(0)); otherwise it ends the running command at once.
  HRESULT STDMETHODCALLTYPE cancel() override;

  // The report of the command at index, posted by its sink.
  void onCommandDone(bool ok, uint32_t index);

  void postToOwnerThread(std::function<void()> task);

 private:
  friend class ComObject<NetworkRepairOperation, IOperation>;
  ~NetworkRepairOperation() = default;

  enum class Cancelled { no, stopNow, afterGroup };

  void runNext();
  void finish();
  void end();
  void postSelf(void (NetworkRepairOperation::*task)());

  std::shared_ptr<MainDispatcher> dispatcher_;
  // Null once the operation has ended: every later task then does nothing.
  Microsoft::WRL::ComPtr<IOperationProgress> progress_;
  std::shared_ptr<RepairListener> listener_;
  uint32_t group_;
  uint32_t nextIndex_ = 0;
  bool groupStarted_ = false;
  Cancelled cancelled_ = Cancelled::no;
  // Its child's exit watcher holds a sink that holds this object, until the
  // runner is dropped (which ends a command that still runs).
  std::shared_ptr<CommandRunner> runner_;
};

// The client's own repair operation, as the main controller makes it.
MainOperation makeNetworkRepair(std::shared_ptr<MainDispatcher> dispatcher, std::shared_ptr<RepairListener> listener,
                                UINT group);
