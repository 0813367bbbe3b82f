#pragma once

// The parts of the update check and download a test replaces, given to the
// login controller and the update download operation at construction: one
// struct, passed by value as the last constructor parameter and handed on to
// what the object makes, whose empty members (the default) mean the client's
// own.
#include <functional>
#include <string>

class UpdateManifest;

struct UpdateSeams {
  // Where the manifest and the contents are fetched from; the built-in
  // download base URL when empty.
  std::string baseUrl;
  // The program whose folder is checked; the running program when empty.
  std::wstring clientProgram;
  // What ends the client's part once nothing is missing; starting the updater
  // when empty. One that returns ends the operation quietly.
  std::function<void(const UpdateManifest&)> handOver;
};
