#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "update/Sha1Digest.h"

// Reads the files of the local check in order on a thread of its own, at most
// one file ahead of the caller, so one file's read never waits for another's
// hash. The caller takes the files in the same order and hashes each piece as
// it arrives.
class LocalReadAhead {
 public:
  explicit LocalReadAhead(std::vector<std::wstring> paths);
  // Stops the reads still to come and joins the thread.
  ~LocalReadAhead();
  LocalReadAhead(const LocalReadAhead&) = delete;
  LocalReadAhead& operator=(const LocalReadAhead&) = delete;

  // The next file: false when it is not a file (missing, a folder); else its
  // whole bytes and their digest. Throws what reading it threw (NumberError
  // 11-15, std::bad_alloc); nothing further is read then.
  bool takeNext(std::string& bytes, Sha1Digest& digest);

 private:
  struct File {
    std::wstring path;
    bool isFile = false;
    std::string bytes;
    size_t ready = 0;  // bytes read so far
    bool finished = false;
    std::exception_ptr error;
  };

  void readAll();
  void readOne(File& file);
  // Under mutex_; false once the reads are to stop.
  bool publish(File& file, size_t ready, bool finished);

  std::vector<File> files_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t taken_ = 0;  // files the caller has taken
  bool stopping_ = false;
  std::thread reader_;
};
