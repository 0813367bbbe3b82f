#include "bridge/win/StandInMainController.h"

#include "core/app/win/MainDispatcher.h"

StandInMainController::StandInMainController(std::shared_ptr<MainDispatcher> dispatcher)
    : dispatcher_(std::move(dispatcher)) {
  dispatcher_->acquire();
}

void StandInMainController::attach(IMainView* view) { view_ = view; }

HRESULT StandInMainController::logout() { return S_OK; }

HRESULT StandInMainController::detach() {
  if (detached_) return S_OK;
  detached_ = true;
  Microsoft::WRL::ComPtr<StandInMainController> self(this);
  view_.Reset();
  dispatcher_->release();
  return S_OK;
}

HRESULT StandInMainController::connect(BOOL, int, BSTR, UINT) { return S_OK; }
HRESULT StandInMainController::disconnect() { return S_OK; }
HRESULT StandInMainController::repair(UINT) { return S_OK; }
HRESULT StandInMainController::chooseAccount(UINT) { return S_OK; }

HRESULT StandInMainController::getRates(UINT64* inTotal, UINT64* inRate, UINT64* outTotal, UINT64* outRate) {
  if (!inTotal || !inRate || !outTotal || !outRate) return E_POINTER;
  *inTotal = *inRate = *outTotal = *outRate = 0;
  return S_OK;
}

void StandInMainController::postToOwnerThread(std::function<void()> task) { dispatcher_->post(std::move(task)); }
