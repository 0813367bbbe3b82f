#include "bridge/win/UpdateDownloader.h"

#include <wrl/client.h>

#include <sstream>

#include "bridge/win/GuiCall.h"
#include "core/StatusCodes.h"
#include "core/DebugLog.h"
#include "core/Endpoints.h"
#include "core/app/win/MainDispatcher.h"
#include "service/HttpThread.h"

using Microsoft::WRL::ComPtr;

namespace {

// Runs on the download's thread: only computes and posts.
class UpdateDownloadListener : public HttpListener {
 public:
  UpdateDownloadListener(std::shared_ptr<MainDispatcher> dispatcher, UpdateDownloader* owner)
      : dispatcher_(std::move(dispatcher)), owner_(owner) {}

  void onError() override {
    ComPtr<UpdateDownloader> owner = owner_;
    dispatcher_->post([owner] { owner->onError(); });
  }
  void onComplete(std::string body) override {
    ComPtr<UpdateDownloader> owner = owner_;
    auto shared = std::make_shared<std::string>(std::move(body));
    dispatcher_->post([owner, shared] { owner->onBody(std::move(*shared)); });
  }
  void onProgress(uint32_t done, uint32_t total) override {
    float fraction = total == 0 ? 1.0f : static_cast<float>(done) / static_cast<float>(total);
    ComPtr<UpdateDownloader> owner = owner_;
    dispatcher_->post([owner, fraction] { owner->onProgress(fraction); });
  }

 private:
  std::shared_ptr<MainDispatcher> dispatcher_;
  ComPtr<UpdateDownloader> owner_;
};

}  // namespace

UpdateDownloader::UpdateDownloader(std::shared_ptr<MainDispatcher> dispatcher, IUnknown* loginController,
                                   std::function<void()> updateDone, std::unique_ptr<UpdateManifest> manifest,
                                   UpdateSeams seams)
    : dispatcher_(std::move(dispatcher)),
      loginController_(loginController),
      updateDone_(std::move(updateDone)),
      manifest_(std::move(manifest)),
      handOver_(std::move(seams.handOver)),
      baseUrl_(std::move(seams.baseUrl)) {
  if (!handOver_) handOver_ = [](const UpdateManifest& ready) { ready.startUpdater(); };
  if (baseUrl_.empty()) baseUrl_ = downloadBaseUrl();
  loginController_->AddRef();
  dispatcher_->acquire();
}

UpdateDownloader::~UpdateDownloader() {
  request_.reset();
  if (progress_) progress_->Release();
  loginController_->Release();
}

void UpdateDownloader::postToOwnerThread(std::function<void()> task) { dispatcher_->post(std::move(task)); }

void UpdateDownloader::postSelf(void (UpdateDownloader::*task)()) {
  ComPtr<UpdateDownloader> self(this);
  dispatcher_->post([self, task] { (self.Get()->*task)(); });
}

float UpdateDownloader::doneFraction(float partial) const {
  if (totalCount_ == 0) return 1.0f;
  return (static_cast<float>(doneCount_) + partial) / static_cast<float>(totalCount_);
}

void UpdateDownloader::start(IOperationProgress* progress) {
  progress->AddRef();
  if (progress_) progress_->Release();
  progress_ = progress;
  totalCount_ = manifest_->countMissing();
  doneCount_ = 0;
  checkGuiCall(progress_->setDeterminate(TRUE), 23);
  checkGuiCall(progress_->showStatus(progress::updateDownloading), 24);
  checkGuiCall(progress_->setProgress(0.0f), 113);
  postSelf(&UpdateDownloader::downloadNext);
}

HRESULT UpdateDownloader::cancel() {
  postSelf(&UpdateDownloader::finish);
  return S_OK;
}

void UpdateDownloader::downloadNext() {
  if (!progress_) return;
  request_.reset();
  checkGuiCall(progress_->setProgress(doneFraction(0.0f)), 30);
  currentDigest_ = manifest_->nextMissing();
  if (!currentDigest_.present()) {
    checkGuiCall(progress_->showStatus(progress::updaterStarting), 29);
    try {
      manifest_->writeUpdater();
    } catch (const std::exception&) {
      progress_->endError(status::updaterWriteFailed);
      end();
      return;
    }
    handOver_(*manifest_);
    end();
    return;
  }
  std::string url = baseUrl_ + "/" + currentDigest_.toHex();
  std::ostringstream line;
  line << "now downloading: " << url << "\n";
  writeDebugLog(line.str());
  std::shared_ptr<UrlParts> parts;
  try {
    parts = std::make_shared<UrlParts>(parseUrl(url));
  } catch (...) {
    postSelf(&UpdateDownloader::onError);
    return;
  }
  request_ = std::make_unique<HttpThread>(dispatcher_->randomSource(),
                                          std::make_shared<UpdateDownloadListener>(dispatcher_, this), parts);
}

void UpdateDownloader::onProgress(float fraction) {
  if (!progress_) return;
  checkGuiCall(progress_->setProgress(doneFraction(fraction)), 30);
}

void UpdateDownloader::onBody(std::string body) {
  if (!progress_) return;
  request_.reset();
  try {
    manifest_->addDownloaded(currentDigest_, std::move(body));
  } catch (const std::exception&) {
    BOOL yes = FALSE;
    checkGuiCall(progress_->ask(progress::askRetryDigest, &yes), 33);
    if (yes) {
      downloadNext();
      return;
    }
    checkGuiCall(progress_->endSuccess(progress::none), 34);
    end();
    return;
  }
  ++doneCount_;
  downloadNext();
}

void UpdateDownloader::onError() {
  if (!progress_) return;
  request_.reset();
  BOOL yes = FALSE;
  checkGuiCall(progress_->ask(progress::askRetryDownload, &yes), 31);
  if (yes) {
    postSelf(&UpdateDownloader::downloadNext);
    return;
  }
  checkGuiCall(progress_->endSuccess(progress::none), 32);
  end();
}

void UpdateDownloader::finish() {
  if (!progress_) return;
  request_.reset();
  checkGuiCall(progress_->endSuccess(progress::none), 26);
  end();
}

void UpdateDownloader::end() {
  IOperationProgress* progress = progress_;
  progress_ = nullptr;
  progress->Release();
  updateDone_();
  dispatcher_->release();
}
