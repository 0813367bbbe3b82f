#include "probe/win/IcmpEchoApi.h"

namespace {

// Windows documents the event and the APC routine together. Given an event
// alone, Wine frees the request's status block while the echo is pending and
// the reply then writes into the freed block (heap corruption); with a routine
// it keeps the block until its APC has run. The routine does nothing and gets
// no context, so an APC that runs after its probe is gone touches nothing.
void NTAPI echoCompleted(void*, IO_STATUS_BLOCK*, ULONG) {}

class SystemIcmpEchoApi : public IcmpEchoApi {
 public:
  HANDLE createFile() override { return IcmpCreateFile(); }
  DWORD sendEcho2(HANDLE icmp, HANDLE event, IPAddr destination, void* request, WORD requestSize, void* reply,
                  DWORD replySize, DWORD timeoutMs) override {
    return IcmpSendEcho2(icmp, event, echoCompleted, nullptr, destination, request, requestSize, nullptr, reply,
                         replySize, timeoutMs);
  }
  DWORD parseReplies(void* reply, DWORD replySize) override { return IcmpParseReplies(reply, replySize); }
  BOOL closeHandle(HANDLE icmp) override { return IcmpCloseHandle(icmp); }
};

}  // namespace

std::shared_ptr<IcmpEchoApi> systemIcmpEchoApi() { return std::make_shared<SystemIcmpEchoApi>(); }
