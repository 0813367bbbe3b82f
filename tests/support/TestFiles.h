#pragma once

#include <string>

// A host (Linux) absolute path as the test program can open it: unchanged
// natively, on Wine's Z: drive for Windows builds.
std::string hostPath(const std::string& unixPath);

// A file of tests/keys, opened through hostPath.
std::string testKeyPath(const std::string& name);

// The whole file, or throws std::runtime_error.
std::string readFileBytes(const std::string& path);
