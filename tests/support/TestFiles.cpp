#include "tests/support/TestFiles.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

std::string hostPath(const std::string& unixPath) {
#ifdef _WIN32
  std::string path = "Z:" + unixPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
#else
  return unixPath;
#endif
}

std::string testKeyPath(const std::string& name) { return hostPath(std::string(ZAV_TEST_KEYS_DIR) + "/" + name); }

std::string readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}
