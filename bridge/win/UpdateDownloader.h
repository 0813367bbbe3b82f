#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bridge/UpdateSeams.h"
#include "bridge/win/ComRefCount.h"
#include "bridge/win/GuiInterfaces.h"
#include "update/UpdateManifest.h"

class HttpThread;
class MainDispatcher;

// The update download operation: fetches every content of the manifest not
// yet at hand, one at a time, then writes the updater and hands the update
// over. A native COM object held by the GUI and by each of its posted tasks;
// main thread only, except the listener it gives each download.
class UpdateDownloader : public ComObject<UpdateDownloader, IOperation> {
 public:
  // Takes the manifest and raises the dispatcher's busy count. loginController
  // is held with a COM reference for as long as updateDone (the login view
  // leaves its update state) may still be called. The object starts with a
  // count of 0: the creator's AddRef is the first reference. The contents
  // are fetched from the seams' base URL (base + "/" + digest) and handed
  // over with their hand-over.
  UpdateDownloader(std::shared_ptr<MainDispatcher> dispatcher, IUnknown* loginController,
                   std::function<void()> updateDone, std::unique_ptr<UpdateManifest> manifest, UpdateSeams seams);

  // Once, with the GUI's progress interface for this operation.
  void start(IOperationProgress* progress);
  HRESULT STDMETHODCALLTYPE cancel() override;

  // Tasks posted by the download listener (main thread).
  void onProgress(float fraction);
  void onBody(std::string body);
  void onError();

  void postToOwnerThread(std::function<void()> task);

 private:
  friend class ComObject<UpdateDownloader, IOperation>;
  ~UpdateDownloader();

  void downloadNext();
  void finish();
  void end();
  void postSelf(void (UpdateDownloader::*task)());
  float doneFraction(float partial) const;

  std::shared_ptr<MainDispatcher> dispatcher_;
  IUnknown* loginController_;
  std::function<void()> updateDone_;
  IOperationProgress* progress_ = nullptr;
  std::unique_ptr<UpdateManifest> manifest_;
  uint32_t totalCount_ = 0;
  uint32_t doneCount_ = 0;
  Sha1Digest currentDigest_;
  std::unique_ptr<HttpThread> request_;
  std::function<void(const UpdateManifest&)> handOver_;
  std::string baseUrl_;
};
