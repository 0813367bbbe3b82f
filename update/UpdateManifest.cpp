#include "update/UpdateManifest.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/Json.h"
#include "core/NumberError.h"
#include "core/SignatureVerifier.h"
#include "core/Text.h"
#include "update/LocalFiles.h"
#include "update/LocalReadAhead.h"
#include "update/RelativePath.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// The updater decodes the hand-off block's paths with a checked decoder and
// the block carries toUtf8 of what is checked here: only a path that is UTF-8
// reaches the updater as the very path the client checked. Replacing what is
// not would let two names the check tells apart become one file.
std::wstring manifestPath(const rapidjson::Value& text, const char* member) {
  try {
    return fromUtf8Checked(jsonString(text));
  } catch (const std::invalid_argument&) {
    throw std::logic_error(std::string(member) + " holds a path that is not UTF-8");
  }
}

}  // namespace

const wchar_t* updateFileName() { return L"ZAV.upd"; }

UpdateManifest::UpdateManifest(const std::string& body, SignatureVerifier& verifier)
    : UpdateManifest(verifiedDocument(body, verifier)) {}

UpdateManifest::UpdateManifest(const std::string& verifiedDocument) {
  readFields(verifiedDocument);
  checkPaths();
}

std::string UpdateManifest::verifiedDocument(const std::string& body, SignatureVerifier& verifier) {
  size_t lineEnd = body.find('\n');
  if (lineEnd == std::string::npos) throw NumberError(1);
  std::string document = base64Decode(body.substr(0, lineEnd));
  std::string signature = base64Decode(body.substr(lineEnd + 1));
  if (signature.size() != 256) throw NumberError(2);
  if (!verifier.verify(reinterpret_cast<const unsigned char*>(document.data()), document.size(),
                       reinterpret_cast<const unsigned char*>(signature.data())))
    throw NumberError(3);
  return document;
}

void UpdateManifest::readFields(const std::string& document) {
  rapidjson::Document root;
  if (!parseJsonText(root, document)) throw NumberError(4);

  updateNeeded_ = false;
  // Another root has no members at all, so it lacks the first one read.
  if (!root.IsObject()) throw std::logic_error("entryProgram not found");
  entryProgram_ = Sha1Digest::fromHex(jsonGetString(root, "entryProgram"));
  updaterProgram_ = Sha1Digest::fromHex(jsonGetString(root, "updaterProgram"));
  for (const auto& element : jsonTypedMember(root, "deletedFiles", &rapidjson::Value::IsArray).GetArray()) {
    if (!element.IsString()) throw NumberError(7);
    deletedFiles_.insert(manifestPath(element, "deletedFiles"));
  }
  for (const auto& entry : jsonTypedMember(root, "requiredFiles", &rapidjson::Value::IsObject).GetObject()) {
    if (!entry.value.IsString()) throw NumberError(5);
    requiredFiles_[manifestPath(entry.name, "requiredFiles")] = Sha1Digest::fromHex(jsonString(entry.value));
  }
}

// The updater deletes and writes these paths under the client folder: only
// plain relative paths, never one both removed and written (nor inside a
// removed folder), never the updater's own file.
void UpdateManifest::checkPaths() const {
  const std::wstring updater = updateFileName();
  for (const auto& path : deletedFiles_) {
    if (!relpath::isPlainRelativePath(path)) throw std::logic_error("deletedFiles holds an unusable path");
    if (relpath::comparable(path) == relpath::comparable(updater))
      throw std::logic_error("deletedFiles names the updater");
  }
  for (const auto& entry : requiredFiles_) {
    if (!relpath::isPlainRelativePath(entry.first)) throw std::logic_error("requiredFiles holds an unusable path");
    if (relpath::comparable(entry.first) == relpath::comparable(updater))
      throw std::logic_error("requiredFiles names the updater");
    for (const auto& deleted : deletedFiles_)
      if (relpath::isSameOrInside(entry.first, deleted))
        throw std::logic_error("requiredFiles and deletedFiles name the same path");
  }
}

void UpdateManifest::checkInstalledFiles() { checkInstalledFiles(runningProgramPath()); }

void UpdateManifest::checkInstalledFiles(const std::wstring& clientProgram) {
  clientProgram_ = clientProgram;
  clientFolder_ = localParentFolder(clientProgram);
  std::wstring programName = clientProgram.substr(clientProgram.find_last_of(L"\\/") + 1);
  for (const auto& path : deletedFiles_)
    if (relpath::comparable(path) == relpath::comparable(programName))
      throw std::logic_error("deletedFiles names the client program");
  checkPathLengths(programName);

  // The files in this order, each with what it should hold and whether a
  // difference needs an update (the updater's own file does not).
  std::vector<std::wstring> paths{clientProgram_, joinLocalPath(clientFolder_, updateFileName())};
  std::vector<std::pair<const Sha1Digest*, bool>> expected{{&entryProgram_, true}, {&updaterProgram_, false}};
  for (const auto& entry : requiredFiles_) {
    paths.push_back(joinLocalPath(clientFolder_, entry.first));
    expected.push_back({&entry.second, true});
  }
  LocalReadAhead reads(std::move(paths));
  for (const auto& file : expected) {
    std::string bytes;
    Sha1Digest actual;
    if (reads.takeNext(bytes, actual) && actual == *file.first) {
      filesAtHand_[actual] = std::move(bytes);
      continue;
    }
    if (file.second) updateNeeded_ = true;
  }
  for (const auto& path : deletedFiles_)
    if (localPathKind(joinLocalPath(clientFolder_, path)) != LocalPathKind::missing) updateNeeded_ = true;
}

// A path that the client could not join, or that the updater would refuse,
// in this folder would fail the update at every start: nothing is joined or
// downloaded before all of them are known to fit.
void UpdateManifest::checkPathLengths(const std::wstring& programName) const {
  auto check = [this](const std::wstring& relative) {
    if (!relpath::fitsPathBuffers(clientFolder_, relative))
      throw std::logic_error("a path is too long for the client folder");
  };
  check(programName);
  check(updateFileName());
  for (const auto& path : deletedFiles_) check(path);
  for (const auto& entry : requiredFiles_) check(entry.first);
}

uint32_t UpdateManifest::countMissing() const {
  std::unordered_set<Sha1Digest, Sha1DigestHash> missing;
  auto note = [&](const Sha1Digest& digest) {
    if (!filesAtHand_.count(digest)) missing.insert(digest);
  };
  note(updaterProgram_);
  note(entryProgram_);
  for (const auto& entry : requiredFiles_) note(entry.second);
  return static_cast<uint32_t>(missing.size());
}

Sha1Digest UpdateManifest::nextMissing() const {
  if (!filesAtHand_.count(updaterProgram_)) return updaterProgram_;
  if (!filesAtHand_.count(entryProgram_)) return entryProgram_;
  for (const auto& entry : requiredFiles_)
    if (!filesAtHand_.count(entry.second)) return entry.second;
  return Sha1Digest();
}

void UpdateManifest::addDownloaded(const Sha1Digest& expected, std::string bytes) {
  if (Sha1Digest::of(bytes) != expected) throw NumberError(16);
  filesAtHand_[expected] = std::move(bytes);
}

void UpdateManifest::writeUpdater() const {
  auto content = filesAtHand_.find(updaterProgram_);
  if (content == filesAtHand_.end()) throw NumberError(17);
  std::unique_ptr<std::FILE, FileCloser> file(openLocalFile(joinLocalPath(clientFolder_, updateFileName()), "wb"));
  if (!file) throw NumberError(19);
  const std::string& bytes = content->second;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() || std::fflush(file.get()) != 0)
    throw NumberError(18);
}
