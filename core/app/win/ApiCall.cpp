#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/DebugLog.h"
#include "core/app/win/MainDispatcher.h"
#include "service/ApiReplySink.h"
#include "service/ApiResult.h"
#include "service/ConnThread.h"

void MainDispatcher::callApi(std::string op, rapidjson::Document params, std::function<void(ApiResult)> handler) {
  std::optional<std::string> request = buildApiRequest(op, params);
  if (!request) {
    // A cut request would be read as another one: nothing is sent, and the
    // caller hears of it later, as of any other unusable call.
    writeDebugLog("API request " + op + " not sent: a member cannot be written\n");
    post([keepAlive = shared_from_this(), handler = std::move(handler)] { deliverApiUnusable(handler); });
    return;
  }
  // The task carries the dispatcher's reference, so the poster needs none of
  // its own: the last reference is never dropped on the channel's thread.
  MainDispatcher* dispatcher = this;
  auto sink = std::make_shared<ApiReplySink>(
      [dispatcher](std::function<void()> task) { dispatcher->post(std::move(task)); }, shared_from_this(),
      std::move(handler));
  if (!connThread_) {
    // Only valid while the channel exists; a late call still gets its one answer.
    sink->onFailure();
    return;
  }
  connThread_->send(std::move(*request), std::move(sink));
}
