#pragma once

#include <memory>
#include <string>

#include "bridge/ServerProbes.h"
#include "probe/Pinger.h"

// The main controller's probes over the probe room's Pinger: each server's
// sink hears both of the Pinger's reports. Destroying it destroys the Pinger,
// which stops its probes and joins its threads.
class PingerProbes : public ServerProbes {
 public:
  explicit PingerProbes(std::unique_ptr<Pinger> pinger);
  void ping(const std::string& host, std::shared_ptr<ServerProbeSink> sink) override;

 private:
  std::unique_ptr<Pinger> pinger_;
};
