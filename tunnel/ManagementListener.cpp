#include "tunnel/ManagementListener.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "core/EventLoop.h"

namespace {

void freeTcp(uv_handle_t* handle) { delete reinterpret_cast<uv_tcp_t*>(handle); }
// Connections are malloc'd: uv2wm, which the running tunnel hands them to,
// frees its stream with free().
void freeConnection(uv_handle_t* handle) { std::free(handle); }

bool isLoopbackPeer(uv_tcp_t* connection) {
  sockaddr_storage peer{};
  int length = sizeof peer;
  if (uv_tcp_getpeername(connection, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
  if (length != sizeof(sockaddr_in) || peer.ss_family != AF_INET) return false;
  uint32_t address = ntohl(reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr);
  return (address >> 24) == 127;
}

}  // namespace

ManagementListener::ManagementListener(EventLoop& loop) : loop_(loop), onConnection_(&closeConnection) {}

std::unique_ptr<ManagementListener> ManagementListener::create(EventLoop& loop) {
  std::unique_ptr<ManagementListener> listener(new ManagementListener(loop));
  try {
    listener->listen();
  } catch (const std::exception&) {
    return nullptr;
  }
  return listener;
}

void ManagementListener::listen() {
  auto* server = new uv_tcp_t;
  if (uv_tcp_init(loop_.loop(), server) != 0) {
    delete server;
    throw std::runtime_error("management listener: init");
  }
  // From here the handle is closed by the destructor.
  server_ = server;
  server_->data = nullptr;
  sockaddr_in address{};
  if (uv_ip4_addr("127.0.0.1", 0, &address) != 0 ||
      uv_tcp_bind(server_, reinterpret_cast<const sockaddr*>(&address), 0) != 0)
    throw std::runtime_error("management listener: bind");
  if (uv_listen(reinterpret_cast<uv_stream_t*>(server_), 128, &ManagementListener::onListen) != 0)
    throw std::runtime_error("management listener: listen");
  server_->data = this;
  sockaddr_storage bound{};
  int length = sizeof bound;
  if (uv_tcp_getsockname(server_, reinterpret_cast<sockaddr*>(&bound), &length) != 0 ||
      length != sizeof(sockaddr_in) || bound.ss_family != AF_INET)
    throw std::runtime_error("management listener: bound address");
  port_ = ntohs(reinterpret_cast<const sockaddr_in&>(bound).sin_port);
}

ManagementListener::~ManagementListener() {
  if (!server_) return;
  server_->data = nullptr;
  uv_close(reinterpret_cast<uv_handle_t*>(server_), &freeTcp);
}

void ManagementListener::setOnConnection(std::function<void(uv_tcp_t*)> onConnection) {
  onConnection_ = std::move(onConnection);
}

void ManagementListener::closeConnection(uv_tcp_t* connection) {
  uv_close(reinterpret_cast<uv_handle_t*>(connection), &freeConnection);
}

void ManagementListener::onListen(uv_stream_t* server, int status) {
  auto* listener = static_cast<ManagementListener*>(server->data);
  if (status != 0 || !listener) return;
  listener->accept();
}

void ManagementListener::accept() {
  auto* connection = static_cast<uv_tcp_t*>(std::malloc(sizeof(uv_tcp_t)));
  if (!connection) return;
  if (uv_tcp_init(loop_.loop(), connection) != 0) {
    std::free(connection);
    return;
  }
  if (uv_accept(reinterpret_cast<uv_stream_t*>(server_), reinterpret_cast<uv_stream_t*>(connection)) != 0 ||
      !isLoopbackPeer(connection)) {
    closeConnection(connection);
    return;
  }
  // A copy: the handler may destroy this listener, and its own callable with
  // it, before it returns. Nothing of this object is touched after the call.
  std::function<void(uv_tcp_t*)> handler = onConnection_;
  handler(connection);
}
