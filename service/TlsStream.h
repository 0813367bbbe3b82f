#pragma once

#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "uv2wm/uv2wm.h"

class RandomGenerator;
struct UrlParts;

// Takes the events of an open connection.
class HttpStreamHandler {
 public:
  virtual void onError() = 0;  // end of stream, read or write error
  virtual void onWritten() = 0;
  virtual void onData(const char* data, size_t length) = 0;
  virtual ~HttpStreamHandler() = default;
};

// An open TCP connection of a request; freeing it closes the connection.
// Lives on the heap: the stream record points back to it.
class HttpConnection {
 public:
  // Takes the connected TCP handle (allocated with malloc). onBytes (may be
  // empty) is told of every arrival of bytes, before the handler.
  explicit HttpConnection(uv_tcp_t* tcp, std::function<void()> onBytes = {});
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  uv2wm_t* stream() const { return stream_; }
  void setHandler(HttpStreamHandler* handler) { handler_ = handler; }

 private:
  static void onStreamEvent(uv2wm_t* record, void* user, uint8_t event, const char* data, size_t length);

  uv2wm_t* stream_;
  std::function<void()> onBytes_;
  HttpStreamHandler* handler_ = nullptr;
};

// The step that owns a TlsStream. A handler that returns false may have
// destroyed the stream.
class TlsStreamHandler {
 public:
  virtual void onError() = 0;
  virtual bool onHandshakeDone() = 0;
  virtual bool onData(const char* data, size_t length) = 0;
  // After each network event, before decrypted data is read: a write that
  // mbedTLS could not finish may go on.
  virtual bool onNetworkEvent() { return true; }
  virtual ~TlsStreamHandler() = default;
};

struct CaChainDeleter {
  void operator()(mbedtls_x509_crt* chain) const;
};
using CaChain = std::unique_ptr<mbedtls_x509_crt, CaChainDeleter>;

// A fresh chain of the system's root certificates for every request (the
// Windows "ROOT" store; natively the PEM file of setRootCaFile), with one
// "Loaded N CAs" log line and a warning per certificate mbedTLS refuses.
CaChain loadSystemRootCAs();

// Adds every certificate of DER blobs to a new chain, logging as above.
CaChain parseRootCAs(const std::vector<std::vector<unsigned char>>& certificates);

// The TLS client side of one HTTPS request over its open connection: TLS 1.0
// to 1.2, verification required, the URL's host as SNI and checked name.
class TlsStream : public HttpStreamHandler {
 public:
  TlsStream(TlsStreamHandler* owner, std::shared_ptr<RandomGenerator> rng, std::shared_ptr<UrlParts> url,
            std::unique_ptr<HttpConnection> connection);
  ~TlsStream() override;
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  void setOwner(TlsStreamHandler* owner) { owner_ = owner; }
  // Configures the context and sends the ClientHello; false on any failure.
  bool setup();
  // One mbedtls_ssl_write: bytes written (at most one record) or its error.
  int write(const unsigned char* data, size_t length);
  // The peer ended the stream with close_notify: what it sent is whole. Any
  // other end (the connection closed or reset under TLS) may be a cut.
  bool closeNotified() const { return closeNotified_; }

  void onError() override;
  void onWritten() override;
  void onData(const char* data, size_t length) override;

 private:
  static int sendToNetwork(void* context, const unsigned char* data, size_t length);
  static int receiveFromNetwork(void* context, unsigned char* buffer, size_t length);
  size_t takeReceived(unsigned char* buffer, size_t length);
  void proceed();
  void readAvailable();

  TlsStreamHandler* owner_;
  std::shared_ptr<RandomGenerator> rng_;
  CaChain caChain_;
  std::shared_ptr<UrlParts> url_;
  std::unique_ptr<HttpConnection> connection_;
  mbedtls_ssl_config config_;
  mbedtls_ssl_context context_;
  // Ciphertext that mbedTLS has not taken yet, from receivedAt_ on. One buffer
  // for the stream's life: each read appends to it instead of allocating.
  std::vector<unsigned char> received_;
  size_t receivedAt_ = 0;
  bool handshakeDone_ = false;
  bool closeNotified_ = false;
};
