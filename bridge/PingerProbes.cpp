#include "bridge/PingerProbes.h"

#include <utility>

namespace {

class BothSinks : public PingDnsSink, public PingResultSink {
 public:
  explicit BothSinks(std::shared_ptr<ServerProbeSink> sink) : sink_(std::move(sink)) {}
  void resolved(uint32_t address) override { sink_->resolved(address); }
  void unresolved() override { sink_->unresolved(); }
  void replied(uint32_t latencyMs) override { sink_->replied(latencyMs); }
  void failed() override { sink_->failed(); }

 private:
  std::shared_ptr<ServerProbeSink> sink_;
};

}  // namespace

PingerProbes::PingerProbes(std::unique_ptr<Pinger> pinger) : pinger_(std::move(pinger)) {}

void PingerProbes::ping(const std::string& host, std::shared_ptr<ServerProbeSink> sink) {
  auto both = std::make_shared<BothSinks>(std::move(sink));
  pinger_->ping(host, both, both);
}
