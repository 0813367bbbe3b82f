// The Windows side of the running tunnel's transcript: bytes in the folder
// given, truncating, and a folder that can't be written costs only the lines.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "core/win/System.h"
#include "tests/tunnel/TunnelWinFixtures.h"
#include "tunnel/win/OVPNSystemWin.h"

namespace {

std::string readBytes(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(OVPNSystemWin, TranscriptIsWrittenAsBytesAndTruncated) {
  std::wstring folder = makeTestFolder(L"transcript");
  std::wstring path = joinPath(folder, L"20261210203000.txt");
  placeFile(folder, L"20261210203000.txt", "an older transcript, longer than the new one\n");
  OVPNSystemWin system(std::wstring(), folder);
  std::unique_ptr<std::ostream> out = system.openTranscript("20261210203000.txt");
  ASSERT_TRUE(out && *out);
  // No newline translation: a line feed stays one byte.
  *out << "first\n"
       << "second\r\n";
  out->flush();
  EXPECT_EQ(readBytes(path), "first\nsecond\r\n");
  out.reset();
  EXPECT_EQ(readBytes(path), "first\nsecond\r\n");
}

TEST(OVPNSystemWin, TranscriptInAMissingFolderDropsItsLines) {
  std::wstring folder = joinPath(makeTestFolder(L"transcript"), L"missing");
  OVPNSystemWin system(std::wstring(), folder);
  std::unique_ptr<std::ostream> out = system.openTranscript("20261210203000.txt");
  if (out) {
    EXPECT_FALSE(*out);
    *out << "dropped\n";
    out->flush();
  }
  EXPECT_FALSE(pathExists(folder));
}

}  // namespace
