#include <memory>
#include <utility>

#include "core/win/MainDispatcher.h"
#include "service/ApiReplySink.h"
#include "service/ApiResult.h"
#include "service/ConnThread.h"

void MainDispatcher::callApi(std::string op, rapidjson::Document params, std::function<void(ApiResult)> handler) {
  std::string request = buildApiRequest(op, params);
  std::shared_ptr<MainDispatcher> self = shared_from_this();
  auto sink = std::make_shared<ApiReplySink>(
      [self](std::function<void()> task) { self->post(std::move(task)); }, self, std::move(handler));
  if (!connThread_) {
    // Only valid while the channel exists; a late call still gets its one answer.
    sink->onFailure();
    return;
  }
  connThread_->send(std::move(request), std::move(sink));
}
