#include "service/TlsStream.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "core/DebugLog.h"
#include "core/RandomGenerator.h"
#include "service/Url.h"

namespace {

constexpr size_t readPiece = 4096;

void logTlsDebug(void*, int, const char* file, int line, const char* message) {
  std::ostringstream text;
  text << "SSL: " << file << "-" << line << ": " << message << "\n";
  writeDebugLog(text.str());
}

}  // namespace

HttpConnection::HttpConnection(uv_tcp_t* tcp, std::function<void()> onBytes)
    : stream_(uv2wm_new(reinterpret_cast<uv_stream_t*>(tcp), this, &HttpConnection::onStreamEvent)),
      onBytes_(std::move(onBytes)) {}

HttpConnection::~HttpConnection() { uv2wm_free(stream_); }

void HttpConnection::onStreamEvent(uv2wm_t*, void* user, uint8_t event, const char* data, size_t length) {
  auto* connection = static_cast<HttpConnection*>(user);
  if (event == UV2WM_EVENT_DATA && connection->onBytes_) connection->onBytes_();
  HttpStreamHandler* handler = connection->handler_;
  if (!handler) return;
  // Each handler may free this connection: nothing of it is touched after.
  switch (event) {
    case UV2WM_EVENT_DATA:
      handler->onData(data, length);
      break;
    case UV2WM_EVENT_DRAINED:
      handler->onWritten();
      break;
    default:
      handler->onError();
      break;
  }
}

void CaChainDeleter::operator()(mbedtls_x509_crt* chain) const {
  mbedtls_x509_crt_free(chain);
  delete chain;
}

CaChain parseRootCAs(const std::vector<std::vector<unsigned char>>& certificates) {
  CaChain chain(new mbedtls_x509_crt);
  mbedtls_x509_crt_init(chain.get());
  for (const auto& der : certificates) {
    if (mbedtls_x509_crt_parse(chain.get(), der.data(), der.size()) != 0) {
      writeDebugLog("WARNING: mbedtls_x509_crt_parse failed\n");
    }
  }
  return chain;
}

TlsStream::TlsStream(TlsStreamHandler* owner, std::shared_ptr<RandomGenerator> rng, std::shared_ptr<UrlParts> url,
                     std::unique_ptr<HttpConnection> connection)
    : owner_(owner),
      rng_(std::move(rng)),
      caChain_(loadSystemRootCAs()),
      url_(std::move(url)),
      connection_(std::move(connection)) {
  connection_->setHandler(this);
  mbedtls_ssl_config_init(&config_);
  mbedtls_ssl_init(&context_);
  uv2wm_t* stream = connection_->stream();
  uv2wm_set_read_size(stream, 0, 0);
  uv2wm_start_read(stream);
  uv2wm_set_writing(stream, 0);
}

TlsStream::~TlsStream() {
  mbedtls_ssl_free(&context_);
  mbedtls_ssl_config_free(&config_);
}

bool TlsStream::setup() {
  if (mbedtls_ssl_config_defaults(&config_, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                  MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
    return false;
  }
  mbedtls_ssl_conf_ca_chain(&config_, caChain_.get(), nullptr);
  mbedtls_ssl_conf_authmode(&config_, MBEDTLS_SSL_VERIFY_REQUIRED);
  mbedtls_ssl_conf_rng(&config_, &randomGeneratorRng, rng_.get());
  mbedtls_ssl_conf_dbg(&config_, &logTlsDebug, nullptr);
  if (mbedtls_ssl_setup(&context_, &config_) != 0) return false;
  if (mbedtls_ssl_set_hostname(&context_, url_->host.c_str()) != 0) return false;
  mbedtls_ssl_set_bio(&context_, this, &TlsStream::sendToNetwork, &TlsStream::receiveFromNetwork, nullptr);
  return mbedtls_ssl_handshake(&context_) == MBEDTLS_ERR_SSL_WANT_READ;
}

int TlsStream::write(const unsigned char* data, size_t length) { return mbedtls_ssl_write(&context_, data, length); }

int TlsStream::sendToNetwork(void* context, const unsigned char* data, size_t length) {
  auto* self = static_cast<TlsStream*>(context);
  uv2wm_t* stream = self->connection_->stream();
  if (length != 0) uv2wm_write(stream, data, length);
  uv2wm_set_writing(stream, 1);
  return static_cast<int>(length);
}

int TlsStream::receiveFromNetwork(void* context, unsigned char* buffer, size_t length) {
  auto* self = static_cast<TlsStream*>(context);
  size_t n = std::min(self->received_.size() - self->receivedAt_, length);
  if (n == 0) return MBEDTLS_ERR_SSL_WANT_READ;
  return static_cast<int>(self->takeReceived(buffer, n));
}

size_t TlsStream::takeReceived(unsigned char* buffer, size_t length) {
  std::memcpy(buffer, received_.data() + receivedAt_, length);
  receivedAt_ += length;
  return length;
}

void TlsStream::onData(const char* data, size_t length) {
  if (length != 0) {
    // mbedTLS takes whole records as they come, so what is left over is at
    // most a record's start: moving it to the front is cheap.
    received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(receivedAt_));
    receivedAt_ = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    received_.insert(received_.end(), bytes, bytes + length);
  }
  proceed();
}

void TlsStream::onWritten() {
  // Later TLS output waits in the queue until the next send turns writing on.
  uv2wm_set_writing(connection_->stream(), 0);
  proceed();
}

void TlsStream::onError() { owner_->onError(); }

void TlsStream::proceed() {
  if (!handshakeDone_) {
    int result = mbedtls_ssl_handshake(&context_);
    if (result == MBEDTLS_ERR_SSL_WANT_READ || result == MBEDTLS_ERR_SSL_WANT_WRITE) return;
    if (result != 0) {
      owner_->onError();
      return;
    }
    handshakeDone_ = true;
    if (!owner_->onHandshakeDone()) return;
  } else if (!owner_->onNetworkEvent()) {
    return;
  }
  readAvailable();
}

void TlsStream::readAvailable() {
  for (;;) {
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[readPiece]);
    int result = mbedtls_ssl_read(&context_, buffer.get(), readPiece);
    if (result == MBEDTLS_ERR_SSL_WANT_READ || result == MBEDTLS_ERR_SSL_WANT_WRITE) return;
    if (result <= 0) {
      closeNotified_ = result == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY;
      owner_->onError();
      return;
    }
    if (!owner_->onData(reinterpret_cast<const char*>(buffer.get()), static_cast<size_t>(result))) return;
  }
}
