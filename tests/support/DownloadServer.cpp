#include "tests/support/DownloadServer.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "tests/support/TestFiles.h"

DownloadServer::DownloadServer() {
  const char* server = std::getenv("ZAV_DOWNLOAD_SERVER");
  if (!server) throw std::runtime_error("run under tests/support/download_server.py --exec");
  std::istringstream in(server);
  std::string folder;
  in >> port_ >> folder;
  if (!in || port_ <= 0) throw std::runtime_error("ZAV_DOWNLOAD_SERVER is not \"PORT FOLDER\"");
  folder_ = hostPath(folder);
}

std::string DownloadServer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string DownloadServer::path(const std::string& name) const {
#ifdef _WIN32
  return folder_ + "\\" + name;
#else
  return folder_ + "/" + name;
#endif
}
