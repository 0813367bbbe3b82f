#pragma once

// The loopback interface as the system's tables name it: the tests that set
// DNS for real do it on this one.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/win/System.h"

inline uint32_t loopbackIndex() {
  DWORD index = 0;
  EXPECT_EQ(GetBestInterface(htonl(INADDR_LOOPBACK), &index), static_cast<DWORD>(NO_ERROR));
  return index;
}

// Its GUID as text, with braces.
inline std::string loopbackGuid() {
  NET_LUID luid;
  GUID guid;
  EXPECT_EQ(ConvertInterfaceIndexToLuid(loopbackIndex(), &luid), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(ConvertInterfaceLuidToGuid(&luid, &guid), static_cast<DWORD>(NO_ERROR));
  return guidToString(guid);
}
