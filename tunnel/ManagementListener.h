#pragma once

#include <uv.h>

#include <cstdint>
#include <functional>
#include <memory>

class EventLoop;

// The TCP server on 127.0.0.1 that OpenVPN connects back to as a management
// client, on the tunnel worker's loop (loop thread only). It keeps listening
// until destroyed; each accepted loopback connection goes to the connection
// handler, which then owns the handle (malloc'd, as uv2wm takes a stream; to
// be closed and freed with closeConnection or through uv2wm). Connections
// from anywhere else are closed here.
class ManagementListener {
 public:
  // Already listening on a port the system chose; null when any step failed.
  static std::unique_ptr<ManagementListener> create(EventLoop& loop);
  // Closes the listening socket (the handle is freed when its close ends).
  ~ManagementListener();
  ManagementListener(const ManagementListener&) = delete;
  ManagementListener& operator=(const ManagementListener&) = delete;

  // Host byte order.
  uint16_t port() const { return port_; }
  // Replaces the handler (closeConnection until set). The handler may destroy
  // this listener.
  void setOnConnection(std::function<void(uv_tcp_t*)> onConnection);

  // Closes an accepted handle and frees it once the close has ended.
  static void closeConnection(uv_tcp_t* connection);

 private:
  explicit ManagementListener(EventLoop& loop);
  void listen();
  static void onListen(uv_stream_t* server, int status);
  void accept();

  EventLoop& loop_;
  uv_tcp_t* server_ = nullptr;  // from listen until the destructor; freed by its close
  uint16_t port_ = 0;
  std::function<void(uv_tcp_t*)> onConnection_;
};
