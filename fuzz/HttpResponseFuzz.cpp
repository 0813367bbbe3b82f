// One HTTP response as a download sees it, with its body decoded. The first
// byte says how many of the following bytes are piece lengths; the response
// is fed once whole and once in those pieces, and both must end the same.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzPieces.h"
#include "service/HttpResponseParser.h"

namespace {

constexpr size_t kBodyLimit = 1 << 20;

struct Outcome {
  int endings = 0;
  bool ok = false;
  std::string body;
  uint32_t lastDone = 0;
};

class RecordingListener : public HttpListener {
 public:
  explicit RecordingListener(Outcome& outcome) : outcome_(outcome) {}
  void onError() override { ++outcome_.endings; }
  void onComplete(std::string body) override {
    ++outcome_.endings;
    outcome_.ok = true;
    outcome_.body = std::move(body);
  }
  void onProgress(uint32_t done, uint32_t total) override {
    FUZZ_CHECK(outcome_.endings == 0);
    FUZZ_CHECK(done <= total || total == 0);
    FUZZ_CHECK(done >= outcome_.lastDone);
    outcome_.lastDone = done;
  }

 private:
  Outcome& outcome_;
};

// What HttpThread does with each read and with the end of the connection.
Outcome run(const std::string& stream, const std::vector<size_t>& pieces) {
  Outcome outcome;
  HttpResponseParser parser(std::make_shared<RecordingListener>(outcome), kBodyLimit);
  size_t at = 0;
  bool waiting = true;
  for (size_t piece : pieces) {
    const size_t length = std::min(piece, stream.size() - at);
    if (length == 0) continue;  // a read never delivers nothing
    waiting = parser.receive(stream.data() + at, length);
    at += length;
    FUZZ_CHECK(outcome.endings == (waiting ? 0 : 1));
    if (!waiting) break;
  }
  // The connection ends after the outcome too: nothing more is reported.
  parser.end(true);
  FUZZ_CHECK(outcome.endings == 1);
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzPieces input;
  if (!splitFuzzInput(data, size, input)) return 0;
  const std::string& stream = input.stream;
  const std::vector<size_t>& pieces = input.pieces;

  const Outcome whole = run(stream, {stream.size()});
  const Outcome split = run(stream, pieces);
  FUZZ_CHECK(whole.endings == 1 && split.endings == 1);
  if (whole.ok) FUZZ_CHECK(whole.body.size() <= kBodyLimit);
  FUZZ_CHECK(whole.ok == split.ok);
  FUZZ_CHECK(whole.body == split.body);
  return 0;
}
