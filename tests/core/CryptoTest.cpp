#include <gtest/gtest.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha256.h>
#include <mbedtls/sha512.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/Endpoints.h"
#include "core/RandomGenerator.h"
#include "core/Sha256.h"
#include "core/SignatureVerifier.h"
#include "tests/support/FatalTrap.h"
#include "tests/support/TestFiles.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The longest run of one byte value: a generator that skipped part of the
// buffer leaves the zero fill behind.
size_t longestRun(const Bytes& bytes) {
  size_t longest = 0, run = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    run = (i > 0 && bytes[i] == bytes[i - 1]) ? run + 1 : 1;
    longest = std::max(longest, run);
  }
  return longest;
}

TEST(RandomGeneratorTest, FillsRequestsOfAnyLength) {
  RandomGenerator generator;
  generator.random(nullptr, 0);
  for (size_t length : {1u, 48u, 1024u, 1025u, 5000u}) {
    Bytes first(length, 0), second(length, 0);
    EXPECT_EQ(fatalCodeOf([&] { generator.random(first.data(), length); }), -1) << length;
    generator.random(second.data(), length);
    if (length >= 48) {
      EXPECT_NE(first, second) << length;
      EXPECT_LT(longestRun(first), 8u) << length;
      EXPECT_LT(longestRun(Bytes(first.end() - 16, first.end())), 4u) << "tail of " << length;
    }
  }
}

TEST(RandomGeneratorTest, RngAdapterDrawsFromTheGenerator) {
  // Length 0 never reaches the generator: a null one is not touched.
  EXPECT_EQ(randomGeneratorRng(nullptr, nullptr, 0), 0);

  RandomGenerator generator;
  Bytes out(2048, 0);
  EXPECT_EQ(randomGeneratorRng(&generator, out.data(), out.size()), 0);
  EXPECT_LT(longestRun(out), 8u);
}

class TestKey {
 public:
  explicit TestKey(const std::string& file) {
    mbedtls_pk_init(&pk_);
    std::string pem = readFileBytes(testKeyPath(file));
    EXPECT_EQ(mbedtls_pk_parse_key(&pk_, reinterpret_cast<const unsigned char*>(pem.c_str()), pem.size() + 1,
                                   nullptr, 0),
              0);
  }
  ~TestKey() { mbedtls_pk_free(&pk_); }
  mbedtls_rsa_context* rsa() { return mbedtls_pk_rsa(pk_); }

  Bytes signSha512(const Bytes& data, RandomGenerator& generator) {
    unsigned char digest[64];
    mbedtls_sha512_ret(data.data(), data.size(), digest, 0);
    return sign(MBEDTLS_MD_SHA512, digest, sizeof digest, generator);
  }
  Bytes signSha256(const Bytes& data, RandomGenerator& generator) {
    unsigned char digest[32];
    mbedtls_sha256_ret(data.data(), data.size(), digest, 0);
    return sign(MBEDTLS_MD_SHA256, digest, sizeof digest, generator);
  }

 private:
  Bytes sign(mbedtls_md_type_t md, const unsigned char* digest, size_t length, RandomGenerator& generator) {
    Bytes signature(256);
    EXPECT_EQ(mbedtls_rsa_pkcs1_sign(rsa(), randomGeneratorRng, &generator, MBEDTLS_RSA_PRIVATE, md,
                                     static_cast<unsigned int>(length), digest, signature.data()),
              0);
    return signature;
  }
  mbedtls_pk_context pk_;
};

std::string testPublicPem(const std::string& file) { return readFileBytes(testKeyPath(file)); }

std::string trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

TEST(SignatureVerifierTest, AcceptsOnlyTheSha512SignatureOfTheExactData) {
  RandomGenerator generator;
  TestKey service("service-test-private.pem");
  TestKey other("log-test-private.pem");
  auto verifier = SignatureVerifier::createFromPem(testPublicPem("service-test-public.pem").c_str());

  const Bytes manifest = bytesOf("{\"version\":7,\"files\":[\"client.exe\"]}\n");
  const Bytes good = service.signSha512(manifest, generator);
  Bytes tamperedData = manifest;
  tamperedData[10] ^= 0x01;
  Bytes tamperedSignature = good;
  tamperedSignature[255] ^= 0x01;

  struct Case {
    const char* name;
    const Bytes& data;
    Bytes signature;
    bool valid;
  } cases[] = {
      {"good", manifest, good, true},
      {"tampered data", tamperedData, good, false},
      {"tampered signature", manifest, tamperedSignature, false},
      {"SHA-256 signature", manifest, service.signSha256(manifest, generator), false},
      {"other key", manifest, other.signSha512(manifest, generator), false},
      {"zero signature", manifest, Bytes(256, 0), false},
  };
  for (const Case& c : cases) EXPECT_EQ(verifier->verify(c.data.data(), c.data.size(), c.signature.data()), c.valid) << c.name;

  const Bytes empty;
  const Bytes emptySigned = service.signSha512(empty, generator);
  EXPECT_TRUE(verifier->verify(nullptr, 0, emptySigned.data()));
}

TEST(SignatureVerifierTest, RsaContextEncryptsTheChannelKeysForThePrivateKey) {
  RandomGenerator generator;
  TestKey service("service-test-private.pem");
  auto verifier = SignatureVerifier::createFromPem(testPublicPem("service-test-public.pem").c_str());
  ASSERT_EQ(mbedtls_rsa_get_len(verifier->rsa()), 256u);

  Bytes keys(48);
  generator.random(keys.data(), keys.size());
  Bytes block(256), again(256);
  ASSERT_EQ(mbedtls_rsa_pkcs1_encrypt(verifier->rsa(), randomGeneratorRng, &generator, MBEDTLS_RSA_PUBLIC,
                                      keys.size(), keys.data(), block.data()),
            0);
  ASSERT_EQ(mbedtls_rsa_pkcs1_encrypt(verifier->rsa(), randomGeneratorRng, &generator, MBEDTLS_RSA_PUBLIC,
                                      keys.size(), keys.data(), again.data()),
            0);
  EXPECT_NE(block, again) << "padding must be random";

  Bytes plain(256);
  size_t length = 0;
  ASSERT_EQ(mbedtls_rsa_pkcs1_decrypt(service.rsa(), randomGeneratorRng, &generator, MBEDTLS_RSA_PRIVATE, &length,
                                      block.data(), plain.data(), plain.size()),
            0);
  plain.resize(length);
  EXPECT_EQ(plain, keys);
}

TEST(SignatureVerifierTest, UnusableKeysAreFatal) {
  const std::string rsa1024 = testPublicPem("rsa1024-public.pem");
  const std::string ec = testPublicPem("ec-p256-public.pem");
  std::string cut = testPublicPem("service-test-public.pem");
  cut.erase(cut.size() / 2, 40);
  struct Case {
    const char* name;
    std::string pem;
    int code;
  } cases[] = {
      {"not PEM", "hello", 99},
      {"empty", "", 99},
      {"damaged base64", cut, 99},
      {"private key", readFileBytes(testKeyPath("service-test-private.pem")), 99},
      {"RSA-1024", rsa1024, 100},
      {"EC P-256", ec, 101},
  };
  for (const Case& c : cases)
    EXPECT_EQ(fatalCodeOf([&] { SignatureVerifier::createFromPem(c.pem.c_str()); }), c.code) << c.name;
}

TEST(SignatureVerifierTest, BuiltInKeyIsTheServiceKeyOfTheBuild) {
  EXPECT_EQ(updateKeyPem().rfind("-----BEGIN PUBLIC KEY-----", 0), 0u);
  auto verifier = SignatureVerifier::create();
  ASSERT_TRUE(verifier);
  EXPECT_EQ(mbedtls_rsa_get_len(verifier->rsa()), 256u);

  if (trimmed(updateKeyPem()) != trimmed(testPublicPem("service-test-public.pem"))) GTEST_SKIP() << "built with a real service key";
  RandomGenerator generator;
  TestKey service("service-test-private.pem");
  const Bytes data = bytesOf("desc");
  EXPECT_TRUE(verifier->verify(data.data(), data.size(), service.signSha512(data, generator).data()));
}

TEST(EndpointsTest, BuildInputsHaveTheirRoles) {
  EXPECT_FALSE(backendHost().empty());
  EXPECT_EQ(backendHost().find_first_of(":/"), std::string::npos) << backendHost();
  EXPECT_GT(channelPort(), 0);
  EXPECT_LT(channelPort(), 65536);
  EXPECT_EQ(downloadBaseUrl().rfind("http://", 0), 0u) << downloadBaseUrl();
  EXPECT_NE(downloadBaseUrl().back(), '/');
  const std::string path = "/NDP451-KB2858728-x86-x64-AllOS-ENU.exe";
  EXPECT_EQ(runtimeInstallerUrl().rfind("http://", 0), 0u) << runtimeInstallerUrl();
  ASSERT_GT(runtimeInstallerUrl().size(), path.size());
  EXPECT_EQ(runtimeInstallerUrl().substr(runtimeInstallerUrl().size() - path.size()), path);
}

}  // namespace

// Published test vectors (one longer than a block), and bytes a text would
// end at or sign-extend: a NUL and a high byte.
TEST(Sha256Test, DigestsAsLowercaseHex) {
  struct Case {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string("\0\xff", 2), "06eb7d6a69ee19e5fbdf749018d3d2abfa04bcbd1365db312eb86dc7169389b8"},
  };
  for (const Case& c : cases) EXPECT_EQ(sha256Hex(c.input), c.digest) << c.input;
}
