#pragma once

#include <string>

// The test's handle on the stand-in download server (download_server.py): the
// test runs as its child, and ZAV_DOWNLOAD_SERVER holds its port and folder.
class DownloadServer {
 public:
  DownloadServer();  // throws std::runtime_error when not run under the server

  int port() const { return port_; }
  // http://127.0.0.1:PORT, without a trailing slash.
  std::string url() const;
  // The served folder as this program opens it.
  const std::string& folder() const { return folder_; }
  // The file the server answers GET /name with.
  std::string path(const std::string& name) const;

 private:
  int port_ = 0;
  std::string folder_;
};
