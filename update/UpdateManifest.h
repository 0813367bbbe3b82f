#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

#include "update/Sha1Digest.h"

class SignatureVerifier;

// The updater's file name in the client folder.
const wchar_t* updateFileName();

// The signed description of the current release and what of it is at hand.
// Main thread only.
class UpdateManifest {
 public:
  using FileMap = std::map<std::wstring, Sha1Digest>;
  using PathSet = std::set<std::wstring>;
  using Contents = std::unordered_map<Sha1Digest, std::string, Sha1DigestHash>;

  // Verifies and parses the manifest body: NumberError 1-10, or
  // std::logic_error for a missing or mistyped member, a path that is not
  // UTF-8 or a path that would reach outside the client folder.
  UpdateManifest(const std::string& body, SignatureVerifier& verifier);

  // Compares the running client's folder with the manifest.
  void checkInstalledFiles();
  // The same for the client program at clientProgram and its folder.
  // NumberError 11-15 when a present file cannot be read; std::logic_error
  // when a deletion names the client program or the updater file, or when a
  // path does not fit the path buffers of the client or the updater there.
  void checkInstalledFiles(const std::wstring& clientProgram);

  uint32_t countMissing() const;
  // Updater, then client program, then required files in path order; absent
  // when everything is at hand.
  Sha1Digest nextMissing() const;
  // NumberError 16, storing nothing, when the bytes are not that content.
  void addDownloaded(const Sha1Digest& expected, std::string bytes);

  // Writes the updater's content to "ZAV.upd" in the client folder:
  // NumberError 17 (not at hand), 19 (cannot create), 18 (write or flush).
  void writeUpdater() const;
  // Hands the update to the updater and waits to be ended by it; never
  // returns (Windows only).
  [[noreturn]] void startUpdater() const;

  const FileMap& requiredFiles() const { return requiredFiles_; }
  const PathSet& deletedFiles() const { return deletedFiles_; }
  const Sha1Digest& updaterProgram() const { return updaterProgram_; }
  const Sha1Digest& entryProgram() const { return entryProgram_; }
  const Contents& filesAtHand() const { return filesAtHand_; }
  bool updateNeeded() const { return updateNeeded_; }
  // Set by the local check.
  const std::wstring& clientProgram() const { return clientProgram_; }
  const std::wstring& clientFolder() const { return clientFolder_; }

 private:
  // The fuzz target reaches the parse of a document whose signature it does
  // not make; the client has no way in but the signed body.
  friend struct UpdateManifestFuzzAccess;
  explicit UpdateManifest(const std::string& verifiedDocument);
  static std::string verifiedDocument(const std::string& body, SignatureVerifier& verifier);

  // Parses the document (NumberError 4) and reads its members.
  void readFields(const std::string& document);
  void checkPaths() const;
  void checkPathLengths(const std::wstring& programName) const;

  FileMap requiredFiles_;
  PathSet deletedFiles_;
  Sha1Digest updaterProgram_;
  Sha1Digest entryProgram_;
  Contents filesAtHand_;
  bool updateNeeded_ = false;
  std::wstring clientProgram_;
  std::wstring clientFolder_;
};
