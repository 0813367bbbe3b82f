#include "update/LocalReadAhead.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <system_error>
#include <utility>

#include "core/NumberError.h"
#include "update/LocalFiles.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

constexpr size_t pieceSize = 256 << 10;

}  // namespace

LocalReadAhead::LocalReadAhead(std::vector<std::wstring> paths) : files_(paths.size()) {
  for (size_t i = 0; i < paths.size(); ++i) files_[i].path = std::move(paths[i]);
  try {
    reader_ = std::thread(&LocalReadAhead::readAll, this);
  } catch (const std::system_error&) {
    // No thread: each file is read when it is taken.
  }
}

LocalReadAhead::~LocalReadAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (reader_.joinable()) reader_.join();
}

bool LocalReadAhead::publish(File& file, size_t ready, bool finished) {
  std::lock_guard<std::mutex> lock(mutex_);
  file.ready = ready;
  file.finished = finished;
  changed_.notify_all();
  return !stopping_;
}

void LocalReadAhead::readAll() {
  for (size_t i = 0; i < files_.size(); ++i) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || i <= taken_ + 1; });
      if (stopping_) return;
    }
    readOne(files_[i]);
    std::lock_guard<std::mutex> lock(mutex_);
    if (files_[i].error || stopping_) return;
  }
}

// Only this file's reader writes its bytes beyond ready; the caller reads
// those before ready, and takes them all once finished.
void LocalReadAhead::readOne(File& file) {
  try {
    if (localPathKind(file.path) != LocalPathKind::file) {
      publish(file, 0, true);
      return;
    }
    std::unique_ptr<std::FILE, FileCloser> stream(openLocalFile(file.path, "rb"));
    if (!stream) throw NumberError(11);
    if (std::fseek(stream.get(), 0, SEEK_END) != 0) throw NumberError(12);
    long size = std::ftell(stream.get());
    if (size < 0) throw NumberError(13);
    if (std::fseek(stream.get(), 0, SEEK_SET) != 0) throw NumberError(14);
    const size_t total = static_cast<size_t>(size);
    file.bytes.resize(total);
    char* const bytes = &file.bytes[0];
    {
      std::lock_guard<std::mutex> lock(mutex_);
      file.isFile = true;
    }
    // Once finished is published the caller may move the bytes away: nothing
    // of file.bytes is touched after that.
    if (total == 0) {
      publish(file, 0, true);
      return;
    }
    for (size_t at = 0; at < total;) {
      const size_t take = std::min(pieceSize, total - at);
      if (std::fread(bytes + at, 1, take, stream.get()) != take) throw NumberError(15);
      at += take;
      if (!publish(file, at, at == total)) return;
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    file.error = std::current_exception();
    file.finished = true;
    changed_.notify_all();
  }
}

bool LocalReadAhead::takeNext(std::string& bytes, Sha1Digest& digest) {
  File& file = files_[taken_];
  if (!reader_.joinable()) readOne(file);
  Sha1Hasher hasher;
  size_t hashed = 0;
  for (;;) {
    size_t ready;
    bool finished;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return file.finished || file.ready > hashed; });
      ready = file.ready;
      finished = file.finished;
    }
    if (ready > hashed) {
      hasher.update(file.bytes.data() + hashed, ready - hashed);
      hashed = ready;
    }
    if (finished) break;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++taken_;
  }
  changed_.notify_all();
  if (file.error) std::rethrow_exception(file.error);
  if (!file.isFile) return false;
  digest = hasher.finish();
  bytes = std::move(file.bytes);
  return true;
}
