#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// A SHA-1 value naming one update content, or absent.
class Sha1Digest {
 public:
  static constexpr size_t kSize = 20;
  using Bytes = std::array<uint8_t, kSize>;

  Sha1Digest() = default;
  explicit Sha1Digest(const Bytes& bytes) : bytes_(bytes) {}

  // Exactly 40 lowercase hexadecimal characters: NumberError 6 for another
  // length, 8 for any other character.
  static Sha1Digest fromHex(const std::string& text);
  static Sha1Digest of(const void* data, size_t length);
  static Sha1Digest of(const std::string& bytes) { return of(bytes.data(), bytes.size()); }
  static bool equals(const Sha1Digest& a, const Sha1Digest& b) { return a.bytes_ == b.bytes_; }

  bool present() const { return bytes_.has_value(); }
  // Null when absent.
  const uint8_t* data() const { return bytes_ ? bytes_->data() : nullptr; }
  // Empty when absent.
  std::string toHex() const;

  bool operator==(const Sha1Digest& other) const { return equals(*this, other); }
  bool operator!=(const Sha1Digest& other) const { return !equals(*this, other); }

 private:
  std::optional<Bytes> bytes_;
};

// SHA-1 over bytes given in pieces.
class Sha1Hasher {
 public:
  Sha1Hasher();
  ~Sha1Hasher();
  Sha1Hasher(const Sha1Hasher&) = delete;
  Sha1Hasher& operator=(const Sha1Hasher&) = delete;
  void update(const void* data, size_t length);
  // Once, after the last piece.
  Sha1Digest finish();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// The first four bytes as a little-endian number; 0 for an absent digest.
struct Sha1DigestHash {
  size_t operator()(const Sha1Digest& digest) const;
};
