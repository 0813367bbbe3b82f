#pragma once

#include <string>

#include "core/Json.h"

// The test's handle on the stand-in backend (conn_backend.py): its channel port
// and its control line. Under CTest the backend runs the test program
// (ZAV_CONN_BACKEND holds its ports); natively it is started here when missing.
// A JSON value as compact text.
std::string jsonText(const rapidjson::Value& value);
// How a "script" action answers op: with text, by closing the channel
// instead, or with text once the backend is released (ConnBackend::release).
enum class ScriptAnswer { text, close, held };
// A "script" command's object: the backend answers op as answer says, after
// delayMs.
std::string backendScript(const std::string& op, const std::string& text, int delayMs = 0,
                          ScriptAnswer answer = ScriptAnswer::text);

class ConnBackend {
 public:
  ConnBackend();  // connects, then resets the backend; throws std::runtime_error
  ~ConnBackend();
  ConnBackend(const ConnBackend&) = delete;
  ConnBackend& operator=(const ConnBackend&) = delete;

  int channelPort() const { return channelPort_; }
  // Queues what the backend does on its next channel connection / request
  // (JSON objects, see conn_backend.py).
  void onConnection(const std::string& action);
  void onRequest(const std::string& action);
  void reset();
  // Lets held answers go, and every later one until the next reset.
  void release();
  rapidjson::Document stats();
  int deadPort();  // refuses connections

  // One control line and its one-line answer.
  std::string command(const std::string& line);

 private:
  void startNative();
  intptr_t socket_ = -1;
  int channelPort_ = 0;
  std::string buffered_;
};
