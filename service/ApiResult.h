#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/Json.h"

// The outcome of one backend API call as its handler sees it.
struct ApiResult {
  static constexpr int success = 0;
  static constexpr int noReply = 1;      // channel down or connection lost
  static constexpr int unusable = 2;     // not a JSON object with an integer "rst", or the handler threw
  static constexpr int serverError = 3;  // "rst" other than 0

  int kind = noReply;
  int code = 0;  // the "rst" value, meaningful for serverError only
  rapidjson::Document doc;
};

using ApiHandler = std::function<void(ApiResult)>;

// Logs the reply ("raw response: ", passwords masked) and classifies it:
// success, unusable or serverError; a reply with a string that is not UTF-8,
// as sent or once its escapes are read, is unusable. Handlers read its
// members with the readers of core/Json.h.
ApiResult parseApiResponse(const std::string& text);

// The request text: params with "op" appended last, compact UTF-8; nothing
// when the writer refuses a member (a number that is not finite), whose text
// would end where the writer stopped.
std::optional<std::string> buildApiRequest(const std::string& op, rapidjson::Document& params);

// A copy of a request or reply text fit for the debug log: the string values
// of "pw" and "password" members are replaced, whatever the text's shape.
std::string maskPasswords(const std::string& text);

// The main-thread halves of a call, run by the tasks the reply sink posts.
// A handler that throws on a reply is called once more with unusable; one
// that throws on that call, or on a failure, is logged, never propagated.
void deliverApiReply(const ApiHandler& handler, const std::string& text);
void deliverApiFailure(const ApiHandler& handler);
void deliverApiUnusable(const ApiHandler& handler);
