#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <functional>
#include <memory>

#include "bridge/win/ComRefCount.h"
#include "bridge/win/GuiInterfaces.h"

class MainDispatcher;

// A stand-in for the main controller until the real one exists: the GUI gets
// its main window and can leave it. It accepts detach (which lowers the busy
// count once) and refuses every other command; getRates reports zeros.
class StandInMainController : public ComObject<StandInMainController, IMainController> {
 public:
  explicit StandInMainController(std::shared_ptr<MainDispatcher> dispatcher);
  void attach(IMainView* view);

  HRESULT STDMETHODCALLTYPE logout() override;
  HRESULT STDMETHODCALLTYPE detach() override;
  HRESULT STDMETHODCALLTYPE connect(BOOL udp, int gameId, BSTR gameName, UINT serverIndex) override;
  HRESULT STDMETHODCALLTYPE disconnect() override;
  HRESULT STDMETHODCALLTYPE repair(UINT group) override;
  HRESULT STDMETHODCALLTYPE chooseAccount(UINT index) override;
  HRESULT STDMETHODCALLTYPE getRates(UINT64* inTotal, UINT64* inRate, UINT64* outTotal, UINT64* outRate) override;

  void postToOwnerThread(std::function<void()> task);

 private:
  friend class ComObject<StandInMainController, IMainController>;
  ~StandInMainController() = default;

  std::shared_ptr<MainDispatcher> dispatcher_;
  Microsoft::WRL::ComPtr<IMainView> view_;
  bool detached_ = false;
};
