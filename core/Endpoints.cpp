#include "core/Endpoints.h"

#include "BuildConfig.h"

const std::string& backendHost() {
  static const std::string value(buildconfig::backendHost);
  return value;
}

int channelPort() { return buildconfig::backendPort; }

const std::string& downloadBaseUrl() {
  static const std::string value(buildconfig::downloadBaseUrl);
  return value;
}

const std::string& runtimeInstallerUrl() {
  static const std::string value(buildconfig::runtimeInstallerUrl);
  return value;
}

const std::string& updateKeyPem() {
  static const std::string value(buildconfig::serviceKeyPem);
  return value;
}
