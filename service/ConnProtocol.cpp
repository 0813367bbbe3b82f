#include "service/ConnProtocol.h"

#include <mbedtls/aes.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include <algorithm>
#include <new>
#include <sstream>

#include "core/DebugLog.h"
#include "core/FatalError.h"
#include "core/NumberError.h"
#include "core/RandomGenerator.h"
#include "core/SignatureVerifier.h"
#include "service/InflateBody.h"

namespace {

// mbedTLS takes a key schedule per direction; the holder zeroises it.
struct AesContext {
  mbedtls_aes_context context;
  AesContext() { mbedtls_aes_init(&context); }
  ~AesContext() { mbedtls_aes_free(&context); }
  AesContext(const AesContext&) = delete;
  AesContext& operator=(const AesContext&) = delete;
};

}  // namespace

struct ConnReceiver::Schedule {
  AesContext aes;
};

ConnChannel::ConnChannel(std::shared_ptr<RandomGenerator> random) : random(std::move(random)) {}

ConnChannel::~ConnChannel() {
  if (stream) uv2wm_free(stream);
  mbedtls_platform_zeroize(receiveIv, sizeof receiveIv);
  mbedtls_platform_zeroize(receiveKey, sizeof receiveKey);
  mbedtls_platform_zeroize(sendIv, sizeof sendIv);
  mbedtls_platform_zeroize(sendKey, sizeof sendKey);
}

void sendEncryptedFrame(uv2wm_t* stream, const unsigned char key[32], unsigned char iv[16], const unsigned char* data,
                        size_t length, RandomGenerator& random) {
  AesContext aes;
  mbedtls_aes_setkey_enc(&aes.context, key, 256);
  const size_t fieldLength = length & 0xFFFF;
  unsigned char block[16];
  unsigned char cipher[16];
  size_t offset = 0;  // payload bytes taken
  bool first = true;
  do {
    size_t at = 0;
    if (first) {
      block[0] = static_cast<unsigned char>(fieldLength >> 8);
      block[1] = static_cast<unsigned char>(fieldLength);
      at = 2;
      first = false;
    }
    const size_t take = std::min(sizeof block - at, fieldLength - offset);
    if (take) std::copy(data + offset, data + offset + take, block + at);
    offset += take;
    at += take;
    if (at < sizeof block) random.random(block + at, sizeof block - at);
    mbedtls_aes_crypt_cbc(&aes.context, MBEDTLS_AES_ENCRYPT, sizeof block, iv, block, cipher);
    uv2wm_write(stream, cipher, sizeof cipher);
  } while (offset < fieldLength);
  mbedtls_platform_zeroize(block, sizeof block);
}

ConnKeyExchange::ConnKeyExchange(ConnHandshakeHost& host) : host_(host) {
  ConnChannel& channel = host.channel();
  RandomGenerator& random = *channel.random;
  unsigned char wrapKey[32];
  unsigned char wrapIv[16];
  random.random(channel.receiveKey, sizeof channel.receiveKey);
  random.random(channel.receiveIv, sizeof channel.receiveIv);
  random.random(wrapKey, sizeof wrapKey);
  random.random(wrapIv, sizeof wrapIv);

  unsigned char keys[48];
  std::copy(channel.receiveKey, channel.receiveKey + 32, keys);
  std::copy(channel.receiveIv, channel.receiveIv + 16, keys + 32);
  unsigned char wrapped[256];
  {
    auto verifier = SignatureVerifier::create();
    if (mbedtls_rsa_pkcs1_encrypt(verifier->rsa(), &randomGeneratorRng, &random, MBEDTLS_RSA_PUBLIC, sizeof keys,
                                  keys, wrapped) != 0)
      fatalError(104);
  }
  mbedtls_platform_zeroize(keys, sizeof keys);

  uv2wm_t* stream = channel.stream;
  uv2wm_stop_read(stream);
  uv2wm_write(stream, wrapKey, sizeof wrapKey);
  uv2wm_write(stream, wrapIv, sizeof wrapIv);
  sendEncryptedFrame(stream, wrapKey, wrapIv, wrapped, sizeof wrapped, random);
  uv2wm_set_writing(stream, 1);
  mbedtls_platform_zeroize(wrapKey, sizeof wrapKey);
  mbedtls_platform_zeroize(wrapIv, sizeof wrapIv);
}

void ConnKeyExchange::onWritten() { host_.setHandler(std::make_shared<ConnKeyReply>(host_)); }

ConnKeyReply::ConnKeyReply(ConnHandshakeHost& host) : host_(host) {
  uv2wm_t* stream = host.channel().stream;
  uv2wm_set_writing(stream, 0);
  uv2wm_set_read_size(stream, 48, 48);
  uv2wm_start_read(stream);
}

void ConnKeyReply::onData(const unsigned char* data, size_t) {
  ConnChannel& channel = host_.channel();
  AesContext aes;
  mbedtls_aes_setkey_dec(&aes.context, channel.receiveKey, 256);
  mbedtls_aes_crypt_cbc(&aes.context, MBEDTLS_AES_DECRYPT, 32, channel.receiveIv, data, channel.sendKey);
  mbedtls_aes_crypt_cbc(&aes.context, MBEDTLS_AES_DECRYPT, 16, channel.receiveIv, data + 32, channel.sendIv);
  host_.keysReady();
}

ConnSender::ConnSender(ConnBusyHost& host, const std::string& payload) : host_(host) {
  ConnChannel& channel = host.channel();
  uv2wm_stop_read(channel.stream);
  sendEncryptedFrame(channel.stream, channel.sendKey, channel.sendIv,
                     reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), *channel.random);
  uv2wm_set_writing(channel.stream, 1);
}

void ConnSender::onWritten() { host_.setHandler(std::make_shared<ConnReceiver>(host_)); }

ConnReceiver::ConnReceiver(ConnBusyHost& host) : host_(host), schedule_(new Schedule) {
  ConnChannel& channel = host.channel();
  uv2wm_set_writing(channel.stream, 0);
  uv2wm_set_read_size(channel.stream, 16, 16);
  uv2wm_start_read(channel.stream);
  mbedtls_aes_setkey_dec(&schedule_->aes.context, channel.receiveKey, 256);
}

ConnReceiver::~ConnReceiver() = default;

namespace {

// Reads ask for at most this much: a 4 MiB reply is not one 4 MiB buffer per
// read, and a peer cannot make the client allocate ahead of what it sends.
constexpr size_t maxReplyRead = 64 << 10;

uint32_t nextRead(size_t remaining) { return static_cast<uint32_t>(std::min(remaining, maxReplyRead)); }

}  // namespace

// The first block tells the frame's length; the rest of the frame is then read
// with reads never reaching past its end, so whatever follows stays unread.
// The payload grows with the bytes that arrive, never beyond the frame the
// length announces: a frame that never comes costs nothing.
void ConnReceiver::onData(const unsigned char* data, size_t length) {
  ConnChannel& channel = host_.channel();
  mbedtls_aes_context* aes = &schedule_->aes.context;
  if (first_) {
    first_ = false;
    unsigned char plain[16];
    mbedtls_aes_crypt_cbc(aes, MBEDTLS_AES_DECRYPT, sizeof plain, channel.receiveIv, data, plain);
    expected_ = (size_t(plain[0]) << 16) | (size_t(plain[1]) << 8) | plain[2];
    const size_t frame = (expected_ + 3 + 15) / 16 * 16;
    remaining_ = frame - sizeof plain;
    payloadRoom_ = frame - 3;
    if (!makeRoom(sizeof plain - 3)) return;
    std::copy(plain + 3, plain + sizeof plain, &payload_[0]);
    decrypted_ = sizeof plain - 3;
    if (remaining_ == 0) {
      complete();
      return;
    }
    uv2wm_set_read_size(channel.stream, 0, nextRead(remaining_));
    return;
  }

  remaining_ -= length;
  if (!makeRoom((carried_ + length) / 16 * 16)) return;
  auto* out = reinterpret_cast<unsigned char*>(&payload_[0]);
  if (carried_) {
    const size_t take = std::min(sizeof carry_ - carried_, length);
    std::copy(data, data + take, carry_ + carried_);
    carried_ += take;
    data += take;
    length -= take;
    if (carried_ < sizeof carry_) return;
    mbedtls_aes_crypt_cbc(aes, MBEDTLS_AES_DECRYPT, sizeof carry_, channel.receiveIv, carry_, out + decrypted_);
    decrypted_ += sizeof carry_;
    carried_ = 0;
  }
  const size_t whole = length / 16 * 16;
  if (whole) {
    mbedtls_aes_crypt_cbc(aes, MBEDTLS_AES_DECRYPT, whole, channel.receiveIv, data, out + decrypted_);
    decrypted_ += whole;
  }
  carried_ = length - whole;
  std::copy(data + whole, data + length, carry_);
  if (remaining_ == 0) {
    complete();
    return;
  }
  uv2wm_set_read_size(channel.stream, 0, nextRead(remaining_));
}

bool ConnReceiver::makeRoom(size_t more) {
  const size_t needed = decrypted_ + more;
  if (needed <= payload_.size()) return true;
  try {
    // Steps of four times keep the copies of a large reply to about a third of
    // it, and what a frame that stops coming holds to four times what came.
    if (needed > payload_.capacity()) payload_.reserve(std::min(std::max(needed, 4 * payload_.capacity()), payloadRoom_));
    payload_.resize(needed);
  } catch (const std::bad_alloc&) {
    // A reply the process cannot hold is a broken reply, not the process's end.
    host_.replyBroken();
    return false;
  }
  return true;
}

void ConnReceiver::complete() {
  std::ostringstream line;
  line << "plain size=" << expected_ << "\n";
  writeDebugLog(line.str());
  payload_.resize(expected_);
  std::string text;
  try {
    text = decodeReplyPayload(std::move(payload_));
  } catch (const std::exception&) {
    host_.replyBroken();
    return;
  }
  host_.replyComplete(std::move(text));
}

std::string decodeReplyPayload(std::string payload, size_t limit) {
  if (payload.empty() || payload[0] != '\0') return payload;
  const auto* stream = reinterpret_cast<const unsigned char*>(payload.data()) + 1;
  const size_t length = payload.size() - 1;
  size_t consumed = 0;
  std::string text = inflateBody(stream, length, inflateRaw, &consumed, limit);
  if (consumed != length) throw NumberError(24);
  return text;
}
