#pragma once

#include <exception>

// One of the updater's fixed messages; the run ends with it shown.
class UpdaterFailure : public std::exception {
 public:
  explicit UpdaterFailure(const wchar_t* message) : message_(message) {}
  const wchar_t* message() const noexcept { return message_; }
  const char* what() const noexcept override { return "updater failure"; }

 private:
  const wchar_t* message_;
};

namespace updaterText {
inline constexpr const wchar_t* argument1 = L"Argument error(1)";
inline constexpr const wchar_t* argument2 = L"Argument error(2)";
inline constexpr const wchar_t* argument3 = L"Argument error(3)";
inline constexpr const wchar_t* argument4 = L"Argument error(4)";
inline constexpr const wchar_t* argument5 = L"Argument error(5)";
inline constexpr const wchar_t* argument6 = L"Argument error(6)";
inline constexpr const wchar_t* argument7 = L"Argument error(7)";
inline constexpr const wchar_t* argument8 = L"Argument error(8)";
inline constexpr const wchar_t* argument9 = L"Argument error(9)";
inline constexpr const wchar_t* argument10 = L"Argument error(10)";
inline constexpr const wchar_t* corrupted = L"Corrupted data";
inline constexpr const wchar_t* pathTooLong = L"Path too long.";
inline constexpr const wchar_t* combineFailed = L"Failed to combine path.";
inline constexpr const wchar_t* listFailed = L"Failed to list directory.";
inline constexpr const wchar_t* deleteFolderFailed = L"Failed to delete directory.";
inline constexpr const wchar_t* deleteFileFailed = L"Failed to delete file.";
inline constexpr const wchar_t* createFailed = L"Failed to create file.";
inline constexpr const wchar_t* writeFailed = L"Failed to write file.";
inline constexpr const wchar_t* restartFailed = L"Failed to restart main program.";
}  // namespace updaterText
