#include "updater/win/UpdaterRun.h"

#include <shlwapi.h>

#include <sstream>
#include <vector>

#include "core/win/WinHandle.h"
#include "update/RelativePath.h"
#include "update/UpdateBlockFormat.h"
#include "updater/UpdaterFailure.h"
#include "updater/win/UpdaterSha1.h"

namespace {

using UpdaterHandle = BasicWinHandle<winhandle::Object, winhandle::LetGo>;
using UpdaterFile = BasicWinHandle<winhandle::File, winhandle::LetGo>;
using UpdaterFind = BasicWinHandle<winhandle::Find, winhandle::LetGo>;
using UpdaterView = BasicWinHandle<winhandle::View, winhandle::LetGo>;

class MappedBlock {
 public:
  explicit MappedBlock(uint32_t size)
      : mapping_(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, handoff::kMappingName), winhandle::kNoCloseCode) {
    if (!mapping_) throw UpdaterFailure(updaterText::argument3);
    view_ = UpdaterView(MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, size), winhandle::kNoCloseCode);
    if (!view_) throw UpdaterFailure(updaterText::argument4);
  }

  const unsigned char* data() const { return static_cast<const unsigned char*>(view_.get()); }
  void close() {
    view_.reset();
    mapping_.reset();
  }

 private:
  UpdaterHandle mapping_;
  UpdaterView view_;
};

DWORD attributesOf(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }
bool exists(const std::wstring& path) { return attributesOf(path) != INVALID_FILE_ATTRIBUTES; }

bool isAbsoluteFolder(const std::wstring& path) {
  if (path.size() >= 3 && path[1] == L':' && relpath::isSeparator(path[2]))
    return (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
  return path.size() > 2 && path[0] == L'\\' && path[1] == L'\\';
}

std::wstring folderOf(const std::wstring& path) {
  size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

std::vector<std::wstring> stepsOf(const std::wstring& relative) {
  std::vector<std::wstring> steps;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = relative.size();
    steps.push_back(relative.substr(start, end - start));
    start = end + 1;
  }
  return steps;
}

// The main program path relative to the base folder, or empty when it is not inside it.
std::wstring mainProgramRelative(const HandoffBlock& block) {
  const std::wstring& base = block.baseFolder;
  if (!relpath::isSameOrInside(block.mainProgram, base) || block.mainProgram.size() <= base.size()) return {};
  size_t start = base.size();
  if (relpath::isSeparator(block.mainProgram[start])) ++start;
  std::wstring relative = block.mainProgram.substr(start);
  return relpath::isPlainRelativePath(relative) ? relative : std::wstring();
}

// Checks one target below the base folder and returns its full path.
std::wstring checkTarget(const std::wstring& base, const std::wstring& relative, bool written) {
  if (!relpath::isPlainRelativePath(relative)) throw UpdaterFailure(updaterText::corrupted);
  std::wstring target = combinePath(base, relative);
  // Room for the temporary names beside the target; the client refuses a
  // manifest that breaks the same rule.
  if (!relpath::fitsPathBuffers(base, relative)) throw UpdaterFailure(updaterText::pathTooLong);
  std::vector<std::wstring> steps = stepsOf(relative);
  std::wstring current = base;
  for (size_t i = 0; i + 1 < steps.size(); ++i) {
    current = combinePath(current, steps[i]);
    DWORD attributes = attributesOf(current);
    if (attributes == INVALID_FILE_ATTRIBUTES) break;
    // Deleting or writing through a link would reach outside the client folder.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) throw UpdaterFailure(updaterText::corrupted);
  }
  // A link to be replaced would have to be moved aside, and some file
  // systems move what it points to instead.
  DWORD attributes = attributesOf(target);
  if (written && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    throw UpdaterFailure(updaterText::corrupted);
  return target;
}

const std::string& checkedContent(const HandoffBlock& block, const ContentKey& key) {
  auto found = block.contents.find(key);
  if (found == block.contents.end()) throw UpdaterFailure(updaterText::corrupted);
  ContentKey actual;
  if (!sha1Of(found->second, actual) || actual != key) throw UpdaterFailure(updaterText::corrupted);
  return found->second;
}

// Each change made to the folder, so that a failure can undo them in reverse.
class Journal {
 public:
  ~Journal() {
    if (!committed_) rollBack();
  }

  void createdFolder(const std::wstring& path) { steps_.push_back({Kind::createdFolder, path, {}}); }
  void stagedFile(const std::wstring& path) { steps_.push_back({Kind::staged, path, {}}); }
  void movedAside(const std::wstring& original, const std::wstring& aside) {
    steps_.push_back({Kind::movedAside, original, aside});
  }
  void placed(const std::wstring& target) { steps_.push_back({Kind::placed, target, {}}); }
  // A link is not moved aside (a rename may follow it): it goes once all is in place.
  void linkToRemove(const std::wstring& link) { steps_.push_back({Kind::linkToRemove, link, {}}); }

  // Everything is in place: what was set aside goes now; a leftover is
  // harmless, so its failure is not the update's.
  void commit() {
    committed_ = true;
    for (const Step& step : steps_) {
      // A leftover too deep to name (its folder got a longer name when moved
      // aside) must not turn a complete update into a failure.
      try {
        if (step.kind == Kind::movedAside) removeTree(step.aside);
        if (step.kind == Kind::linkToRemove) removeTree(step.path);
      } catch (...) {
      }
    }
  }

 private:
  enum class Kind { createdFolder, staged, movedAside, placed, linkToRemove };
  struct Step {
    Kind kind;
    std::wstring path;
    std::wstring aside;
  };

  void rollBack() {
    for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
      switch (step->kind) {
        case Kind::createdFolder:
          RemoveDirectoryW(step->path.c_str());
          break;
        case Kind::staged:
          if (exists(step->path)) DeleteFileW(step->path.c_str());
          break;
        case Kind::placed:
          DeleteFileW(step->path.c_str());
          break;
        case Kind::linkToRemove:
          break;
        case Kind::movedAside:
          if (!MoveFileExW(step->aside.c_str(), step->path.c_str(), MOVEFILE_WRITE_THROUGH))
            MoveFileExW(step->aside.c_str(), step->path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
          break;
      }
    }
  }

  std::vector<Step> steps_;
  bool committed_ = false;
};

// Names of relpath::kTemporaryNameUnits at most.
std::wstring uniqueSibling(const std::wstring& folder, const wchar_t* suffix) {
  static unsigned counter = 0;
  for (;;) {
    std::wostringstream name;
    name << L"~zav" << std::hex << GetCurrentProcessId() << std::dec << L"-" << ++counter << suffix;
    std::wstring path = combinePath(folder, name.str());
    if (!exists(path)) return path;
  }
}

void moveAside(const std::wstring& target, Journal& journal, const wchar_t* failure) {
  std::wstring aside = uniqueSibling(folderOf(target), L".old");
  if (!MoveFileExW(target.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) throw UpdaterFailure(failure);
  journal.movedAside(target, aside);
}

void createParents(const std::wstring& base, const std::wstring& relative, Journal& journal) {
  std::vector<std::wstring> steps = stepsOf(relative);
  std::wstring current = base;
  for (size_t i = 0; i + 1 < steps.size(); ++i) {
    current = combinePath(current, steps[i]);
    DWORD attributes = attributesOf(current);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) throw UpdaterFailure(updaterText::createFailed);
      continue;
    }
    if (!CreateDirectoryW(current.c_str(), nullptr)) throw UpdaterFailure(updaterText::createFailed);
    journal.createdFolder(current);
  }
}

void writeNewFile(const std::wstring& path, const std::string& bytes, Journal& journal) {
  UpdaterFile file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr),
                   winhandle::kNoCloseCode);
  if (!file) throw UpdaterFailure(updaterText::createFailed);
  journal.stagedFile(path);
  const char* data = bytes.data();
  size_t left = bytes.size();
  bool ok = true;
  while (ok && left > 0) {
    DWORD piece = static_cast<DWORD>(left < (1u << 30) ? left : (1u << 30));
    DWORD written = 0;
    ok = WriteFile(file.get(), data, piece, &written, nullptr) && written == piece;
    data += piece;
    left -= piece;
  }
  ok = ok && FlushFileBuffers(file.get());
  if (!file.close()) ok = false;
  if (!ok) throw UpdaterFailure(updaterText::writeFailed);
}

struct PlannedWrite {
  std::wstring relative;
  std::wstring target;
  const std::string* content;
  std::wstring staged;
};

}  // namespace

std::wstring combinePath(const std::wstring& base, const std::wstring& more) {
  if (base.size() + 1 > MAX_PATH) throw UpdaterFailure(updaterText::pathTooLong);
  wchar_t buffer[MAX_PATH];
  base.copy(buffer, base.size());
  buffer[base.size()] = L'\0';
  if (!PathAppendW(buffer, more.c_str())) throw UpdaterFailure(updaterText::combineFailed);
  return buffer;
}

bool removeTree(const std::wstring& path) {
  DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    bool complete = true;
    WIN32_FIND_DATAW found;
    UpdaterFind find(FindFirstFileW(combinePath(path, L"*").c_str(), &found), winhandle::kNoCloseCode);
    if (find) {
      do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") complete = removeTree(combinePath(path, name)) && complete;
      } while (FindNextFileW(find.get(), &found));
      find.reset();
    }
    return RemoveDirectoryW(path.c_str()) && complete;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryW(path.c_str()) != 0;
  return DeleteFileW(path.c_str()) != 0;
}

uint32_t parseBlockSize(int argc, const wchar_t* const* argv) {
  if (argc != 2) throw UpdaterFailure(updaterText::argument1);
  std::wistringstream in(argv[1]);
  in >> std::ws;
  // The stream would take a sign and wrap it round.
  if (in.peek() < L'0' || in.peek() > L'9') throw UpdaterFailure(updaterText::argument2);
  uint32_t size = 0;
  in >> size;
  if (in.fail() || !in.eof()) throw UpdaterFailure(updaterText::argument2);
  return size;
}

HANDLE clientProcessHandle(uint32_t blockValue) {
  return reinterpret_cast<HANDLE>(handoff::blockValueToHandle(blockValue));
}

void checkHandoffBlock(const HandoffBlock& block) {
  if (!isAbsoluteFolder(block.baseFolder)) throw UpdaterFailure(updaterText::corrupted);
  combinePath(block.baseFolder, L"x");
  DWORD base = attributesOf(block.baseFolder);
  if (base == INVALID_FILE_ATTRIBUTES || !(base & FILE_ATTRIBUTE_DIRECTORY)) throw UpdaterFailure(updaterText::corrupted);
  std::wstring mainRelative = mainProgramRelative(block);
  if (mainRelative.empty()) throw UpdaterFailure(updaterText::corrupted);
  checkTarget(block.baseFolder, mainRelative, true);
  checkedContent(block, block.mainKey);
  for (const auto& path : block.deletePaths) checkTarget(block.baseFolder, path, false);
  for (const auto& entry : block.writeEntries) {
    checkTarget(block.baseFolder, entry.first, true);
    checkedContent(block, entry.second);
  }
  DWORD client = GetProcessId(clientProcessHandle(block.clientProcess));
  if (client == 0 || client == GetCurrentProcessId()) throw UpdaterFailure(updaterText::argument9);
}

void applyHandoffBlock(const HandoffBlock& block) {
  Journal journal;
  for (const auto& path : block.deletePaths) {
    std::wstring target = combinePath(block.baseFolder, path);
    DWORD attributes = attributesOf(target);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
      throw UpdaterFailure(updaterText::deleteFileFailed);
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      journal.linkToRemove(target);
      continue;
    }
    moveAside(target, journal,
              (attributes & FILE_ATTRIBUTE_DIRECTORY) ? updaterText::deleteFolderFailed : updaterText::deleteFileFailed);
  }

  // The client program goes last, also over a write entry of the same path.
  std::vector<PlannedWrite> writes;
  for (const auto& entry : block.writeEntries)
    writes.push_back({entry.first, combinePath(block.baseFolder, entry.first), &block.contents.at(entry.second), {}});
  writes.push_back({mainProgramRelative(block), block.mainProgram, &block.contents.at(block.mainKey), {}});

  for (PlannedWrite& write : writes) {
    createParents(block.baseFolder, write.relative, journal);
    write.staged = uniqueSibling(folderOf(write.target), L".new");
    writeNewFile(write.staged, *write.content, journal);
  }
  for (const PlannedWrite& write : writes) {
    if (exists(write.target)) moveAside(write.target, journal, updaterText::writeFailed);
    if (!MoveFileExW(write.staged.c_str(), write.target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      throw UpdaterFailure(updaterText::writeFailed);
    journal.placed(write.target);
  }
  journal.commit();
}

bool restartClient(const std::wstring& program) {
  std::wstring commandLine = L"\"" + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  BOOL ok = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_BREAKAWAY_FROM_JOB,
                           nullptr, nullptr, &startup, &started);
  // Inside a job that forbids breaking away, a client in that job beats none.
  if (!ok && GetLastError() == ERROR_ACCESS_DENIED) {
    commandLine = L"\"" + program + L"\"";
    ok = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started);
  }
  if (!ok) return false;
  UpdaterHandle(started.hThread, winhandle::kNoCloseCode).reset();
  UpdaterHandle(started.hProcess, winhandle::kNoCloseCode).reset();
  return true;
}

int runUpdater(int argc, const wchar_t* const* argv, UpdaterUi& ui) {
  HandoffBlock block;
  const wchar_t* failure = nullptr;
  try {
    uint32_t size = parseBlockSize(argc, argv);
    MappedBlock mapped(size);
    BlockReader reader(mapped.data(), size);
    block = readHandoffBlock(reader);
    checkHandoffBlock(block);
    UpdaterHandle client(clientProcessHandle(block.clientProcess), winhandle::kNoCloseCode);
    if (!TerminateProcess(client.get(), 0)) throw UpdaterFailure(updaterText::argument9);
    // From here on the client is going: every way out starts it again.
    if (WaitForSingleObject(client.get(), INFINITE) != WAIT_OBJECT_0) failure = updaterText::argument10;
    client.reset();
    mapped.close();
  } catch (const UpdaterFailure& early) {
    ui.showError(early.message());
    return 0;
  } catch (...) {  // out of memory while reading the block: nothing was changed
    ui.showError(updaterText::corrupted);
    return 0;
  }

  if (!failure) {
    try {
      applyHandoffBlock(block);
    } catch (const UpdaterFailure& late) {
      failure = late.message();
    } catch (...) {
      // Caught so that the journal unwinds and rolls back, and the client
      // in place is still started.
      failure = updaterText::writeFailed;
    }
  }
  block.contents.clear();
  bool restarted = restartClient(block.mainProgram);
  if (failure) ui.showError(failure);
  if (!restarted) ui.showError(updaterText::restartFailed);
  return failure || !restarted ? 1 : 0;
}
