#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "service/ApiResult.h"
#include "service/ConnReplySink.h"

// The API layer's end of one request: on the channel's thread it only posts;
// parsing and the handler run where the poster runs tasks (the main thread).
// keepAlive holds the poster's owner until the result is delivered.
class ApiReplySink : public ConnReplySink {
 public:
  using Poster = std::function<void(std::function<void()>)>;

  ApiReplySink(Poster post, std::shared_ptr<void> keepAlive, ApiHandler handler)
      : post_(std::move(post)), keepAlive_(std::move(keepAlive)), handler_(std::move(handler)) {}

  // Each hands everything it holds to the task: once the outcome is posted,
  // the sink keeps nothing alive.
  void onFailure() override {
    Poster post = std::move(post_);
    post([keepAlive = std::move(keepAlive_), handler = std::move(handler_)] { deliverApiFailure(handler); });
  }

  void onReply(std::string text) override {
    Poster post = std::move(post_);
    post([keepAlive = std::move(keepAlive_), handler = std::move(handler_), text = std::move(text)] {
      deliverApiReply(handler, text);
    });
  }

 private:
  Poster post_;
  std::shared_ptr<void> keepAlive_;
  ApiHandler handler_;
};
