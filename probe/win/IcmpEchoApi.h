#pragma once

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <winternl.h>
// icmpapi.h declares the APC routine as FARPROC unless told that winternl.h's
// PIO_APC_ROUTINE is there.
#define PIO_APC_ROUTINE_DEFINED
#include <icmpapi.h>

#include <memory>

// The IP Helper echo calls a probe makes, behind a seam so that tests can play
// the system's part (Wine reports an unreachable host as no reply at all).
class IcmpEchoApi {
 public:
  virtual HANDLE createFile() = 0;
  // IcmpSendEcho2 with the reply event and no options. The system writes the
  // reply buffer until the event is signalled, and then queues an APC to the
  // calling thread: the caller sends from the thread that waits for the event,
  // and waits alertably.
  virtual DWORD sendEcho2(HANDLE icmp, HANDLE event, IPAddr destination, void* request, WORD requestSize, void* reply,
                          DWORD replySize, DWORD timeoutMs) = 0;
  virtual DWORD parseReplies(void* reply, DWORD replySize) = 0;
  virtual BOOL closeHandle(HANDLE icmp) = 0;
  virtual ~IcmpEchoApi() = default;
};

std::shared_ptr<IcmpEchoApi> systemIcmpEchoApi();
