#pragma once

// A fixture with both ends of a loopback TCP connection on one libuv loop
// the test runs itself: the client end, for the code under test, and the
// peer end, which the test drives with plain libuv (what the peer receives is
// kept). Portable: natively under the sanitizers and under Wine.
#include <gtest/gtest.h>
#include <uv.h>

#include <cstdlib>
#include <functional>
#include <string>

class LoopbackPairTest : public testing::Test {
 protected:
  // Connects the pair; the client end (malloc'd, for an owner that frees it
  // so) is in client_.
  void openPair() {
    ASSERT_EQ(uv_loop_init(&loop_), 0);
    uv_timer_init(&loop_, &guard_);
    guard_.data = this;
    uv_tcp_init(&loop_, &server_);
    server_.data = this;
    sockaddr_in address;
    uv_ip4_addr("127.0.0.1", 0, &address);
    ASSERT_EQ(uv_tcp_bind(&server_, reinterpret_cast<const sockaddr*>(&address), 0), 0);
    ASSERT_EQ(uv_listen(reinterpret_cast<uv_stream_t*>(&server_), 1, onConnection), 0);
    int nameLength = sizeof address;
    uv_tcp_getsockname(&server_, reinterpret_cast<sockaddr*>(&address), &nameLength);

    client_ = static_cast<uv_tcp_t*>(std::malloc(sizeof(uv_tcp_t)));
    uv_tcp_init(&loop_, client_);
    connect_.data = this;
    ASSERT_EQ(uv_tcp_connect(&connect_, client_, reinterpret_cast<const sockaddr*>(&address),
                             [](uv_connect_t* request, int status) {
                               ASSERT_EQ(status, 0);
                               static_cast<LoopbackPairTest*>(request->data)->connected_ = true;
                             }),
              0);
    ASSERT_TRUE(runUntil([&] { return connected_ && peerOpen_; }));
  }

  // Closes the peer and the listener once the client end's owner has let go
  // of it, and checks that nothing is left on the loop.
  void closePair() {
    if (peerOpen_) closePeer();
    uv_close(reinterpret_cast<uv_handle_t*>(&server_), nullptr);
    uv_close(reinterpret_cast<uv_handle_t*>(&guard_), nullptr);
    uv_run(&loop_, UV_RUN_DEFAULT);
    EXPECT_EQ(uv_loop_close(&loop_), 0);
  }

  // Runs the loop until done() holds, for at most timeoutMs.
  bool runUntil(const std::function<bool()>& done, unsigned timeoutMs = 20000) {
    timedOut_ = false;
    uv_timer_start(&guard_, [](uv_timer_t* t) { static_cast<LoopbackPairTest*>(t->data)->timedOut_ = true; },
                   timeoutMs, 0);
    while (!done() && !timedOut_) uv_run(&loop_, UV_RUN_ONCE);
    uv_timer_stop(&guard_);
    return done();
  }

  // Lets every ready callback run: what has not happened by then is not coming
  // from anything already on the wire between two loopback sockets.
  void settle() {
    for (int i = 0; i < 20; ++i) uv_run(&loop_, UV_RUN_NOWAIT);
  }

  void peerSend(const std::string& bytes) {
    struct PeerWrite {
      uv_write_t request;
      std::string bytes;
    };
    auto* write = new PeerWrite{uv_write_t(), bytes};
    uv_buf_t buffer = uv_buf_init(&write->bytes[0], static_cast<unsigned int>(write->bytes.size()));
    int result = uv_write(&write->request, reinterpret_cast<uv_stream_t*>(&peer_), &buffer, 1,
                          [](uv_write_t* r, int) { delete reinterpret_cast<PeerWrite*>(r); });
    if (result != 0) delete write;
    ASSERT_EQ(result, 0);
  }

  void closePeer() {
    peerOpen_ = false;
    uv_close(reinterpret_cast<uv_handle_t*>(&peer_), nullptr);
  }

  uv_loop_t loop_;
  uv_tcp_t server_;
  uv_tcp_t peer_;
  uv_tcp_t* client_ = nullptr;
  uv_connect_t connect_;
  uv_timer_t guard_;
  bool connected_ = false, peerOpen_ = false, peerEnded_ = false, timedOut_ = false;
  std::string peerReceived_;

 private:
  static void onConnection(uv_stream_t* server, int status) {
    auto* self = static_cast<LoopbackPairTest*>(server->data);
    ASSERT_EQ(status, 0);
    uv_tcp_init(&self->loop_, &self->peer_);
    self->peer_.data = self;
    ASSERT_EQ(uv_accept(server, reinterpret_cast<uv_stream_t*>(&self->peer_)), 0);
    self->peerOpen_ = true;
    uv_read_start(
        reinterpret_cast<uv_stream_t*>(&self->peer_),
        [](uv_handle_t*, size_t, uv_buf_t* b) {
          static char buffer[65536];
          *b = uv_buf_init(buffer, sizeof buffer);
        },
        [](uv_stream_t* s, ssize_t n, const uv_buf_t* b) {
          auto* self = static_cast<LoopbackPairTest*>(s->data);
          if (n > 0) self->peerReceived_.append(b->base, static_cast<size_t>(n));
          if (n < 0) self->peerEnded_ = true;
        });
  }
};
