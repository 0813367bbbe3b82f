#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "core/EnvironmentBlock.h"

namespace {

const std::wstring kFolder = L"C:\\Windows\\Temp\\zav-{1}";

// The entries, each ended by NUL, and the block's final NUL.
std::wstring block(std::initializer_list<const wchar_t*> entries) {
  std::wstring text;
  for (const wchar_t* entry : entries) {
    text += entry;
    text.push_back(L'\0');
  }
  text.push_back(L'\0');
  return text;
}

// One line per entry, for a readable failure.
std::string shown(const std::wstring& text) {
  std::string lines;
  for (wchar_t c : text) {
    if (c == L'\0') {
      lines += "|\n";
    } else if (c < 0x80) {
      lines.push_back(static_cast<char>(c));
    } else {
      lines += "\\u" + std::to_string(static_cast<unsigned>(c));
    }
  }
  return lines;
}

struct BlockCase {
  const char* name;
  std::wstring parent;
  std::wstring child;
};

const BlockCase kCases[] = {
    {"the user's folders replaced",
     block({L"ALLUSERSPROFILE=C:\\ProgramData", L"TEMP=C:\\Users\\u\\AppData\\Local\\Temp",
            L"TMP=C:\\Users\\u\\AppData\\Local\\Temp", L"windir=C:\\Windows"}),
     block({L"ALLUSERSPROFILE=C:\\ProgramData", L"TEMP=C:\\Windows\\Temp\\zav-{1}", L"TMP=C:\\Windows\\Temp\\zav-{1}",
            L"windir=C:\\Windows"})},
    {"missing names put in their place", block({L"A=1", L"PATH=C:\\bin", L"Z=2"}),
     block({L"A=1", L"PATH=C:\\bin", L"TEMP=C:\\Windows\\Temp\\zav-{1}", L"TMP=C:\\Windows\\Temp\\zav-{1}", L"Z=2"})},
    // GetEnvironmentVariableW takes the first of several: none may stay.
    {"every spelling replaced by one", block({L"Temp=a", L"tmp=b", L"TEMP=c", L"tEmP=d", L"TMP=e"}),
     block({L"TEMP=C:\\Windows\\Temp\\zav-{1}", L"TMP=C:\\Windows\\Temp\\zav-{1}"})},
    {"names that only contain them kept",
     block({L"MY_TMP=a", L"TEMPLATE=b", L"TMPDIR=c", L"TEM=d", L"X=TMP=e", L"TM=f"}),
     block({L"MY_TMP=a", L"TEM=d", L"TEMP=C:\\Windows\\Temp\\zav-{1}", L"TEMPLATE=b", L"TM=f",
            L"TMP=C:\\Windows\\Temp\\zav-{1}", L"TMPDIR=c", L"X=TMP=e"})},
    {"drive folders first, in their order",
     block({L"A=1", L"=C:=C:\\Users\\u", L"=::=::\\", L"=D:=D:\\TMP", L"B=2"}),
     block({L"=C:=C:\\Users\\u", L"=::=::\\", L"=D:=D:\\TMP", L"A=1", L"B=2", L"TEMP=C:\\Windows\\Temp\\zav-{1}",
            L"TMP=C:\\Windows\\Temp\\zav-{1}"})},
    // '_' lies between the capitals and the small letters: after Z.
    {"names compared in capitals", block({L"_X=1", L"b=2", L"a_b=3", L"aZ=4", L"Z=5", L"A=6", L"t=7"}),
     block({L"A=6", L"aZ=4", L"a_b=3", L"b=2", L"t=7", L"TEMP=C:\\Windows\\Temp\\zav-{1}",
            L"TMP=C:\\Windows\\Temp\\zav-{1}", L"Z=5", L"_X=1"})},
    {"other characters by code unit", block({L"\u00e4=1", L"\u00c4=2", L"ZZ=3"}),
     block({L"TEMP=C:\\Windows\\Temp\\zav-{1}", L"TMP=C:\\Windows\\Temp\\zav-{1}", L"ZZ=3", L"\u00c4=2",
            L"\u00e4=1"})},
    {"equal names keep their order", block({L"x=2", L"X=1"}),
     block({L"TEMP=C:\\Windows\\Temp\\zav-{1}", L"TMP=C:\\Windows\\Temp\\zav-{1}", L"x=2", L"X=1"})},
    {"empty values kept, an empty TMP replaced", block({L"EMPTY=", L"TMP=", L"NOVALUE"}),
     block({L"EMPTY=", L"NOVALUE", L"TEMP=C:\\Windows\\Temp\\zav-{1}", L"TMP=C:\\Windows\\Temp\\zav-{1}"})},
    {"an empty block", std::wstring(), block({L"TEMP=C:\\Windows\\Temp\\zav-{1}", L"TMP=C:\\Windows\\Temp\\zav-{1}"})},
    {"a block of only its end", std::wstring(1, L'\0'),
     block({L"TEMP=C:\\Windows\\Temp\\zav-{1}", L"TMP=C:\\Windows\\Temp\\zav-{1}"})},
    {"entries without their final NUL", std::wstring(L"B=2\0A=1", 7),
     block({L"A=1", L"B=2", L"TEMP=C:\\Windows\\Temp\\zav-{1}", L"TMP=C:\\Windows\\Temp\\zav-{1}"})},
    {"nothing after the block's end", std::wstring(L"A=1\0\0B=2\0\0", 10),
     block({L"A=1", L"TEMP=C:\\Windows\\Temp\\zav-{1}", L"TMP=C:\\Windows\\Temp\\zav-{1}"})},
};

TEST(EnvironmentBlockTest, TempFolderReplacesEverySpellingInASortedBlock) {
  for (const BlockCase& c : kCases) {
    std::wstring child = environmentWithTempFolder(c.parent, kFolder);
    EXPECT_EQ(shown(child), shown(c.child)) << c.name;
    // Ends in an empty entry: the last entry's NUL and the block's.
    ASSERT_GE(child.size(), 2u) << c.name;
    EXPECT_EQ(child.substr(child.size() - 2), std::wstring(2, L'\0')) << c.name;
  }
}

TEST(EnvironmentBlockTest, FolderTakenAsGiven) {
  for (const std::wstring& folder : {std::wstring(L"\\\\server\\share\\t m p"), std::wstring(L"C:\\a=b"),
                                     std::wstring(L"C:\\\u6e38\u620f")})
    EXPECT_EQ(environmentWithTempFolder(block({L"TMP=x"}), folder),
              block({(L"TEMP=" + folder).c_str(), (L"TMP=" + folder).c_str()}));
}

}  // namespace
