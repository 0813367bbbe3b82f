#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "updater/BlockReader.h"

// Where the updater's messages go: a message box in the program, a recorder in tests.
class UpdaterUi {
 public:
  virtual void showError(const wchar_t* message) = 0;

 protected:
  ~UpdaterUi() = default;
};

// The whole run: reads and checks the block, ends the client, applies the
// update all or nothing and starts the client program that is then in place.
// Returns the exit code: 0, or 1 after a failure once the client was ended.
int runUpdater(int argc, const wchar_t* const* argv, UpdaterUi& ui);

// The steps, each throwing UpdaterFailure.
uint32_t parseBlockSize(int argc, const wchar_t* const* argv);
// Nothing is touched yet: every path stays under the base folder and fits,
// every content to write is in the block and is what its key says, and the
// handle names a process other than this one.
void checkHandoffBlock(const HandoffBlock& block);
HANDLE clientProcessHandle(uint32_t blockValue);
// Writes everything under temporary names, then swaps it in, keeping what it
// replaces or deletes aside until all is in place; on a failure puts back
// what was swapped and rethrows, so the folder is either updated or as it was.
void applyHandoffBlock(const HandoffBlock& block);
// Without arguments (the path quoted as the only word) and outside any job.
bool restartClient(const std::wstring& program);

std::wstring combinePath(const std::wstring& base, const std::wstring& more);
// Removes a file or a folder with its contents; a junction or symbolic link
// is removed itself, never followed. False when something stayed.
bool removeTree(const std::wstring& path);
