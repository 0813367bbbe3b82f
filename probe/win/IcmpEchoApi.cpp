#include "probe/win/IcmpEchoApi.h"

namespace {

class SystemIcmpEchoApi : public IcmpEchoApi {
 public:
  HANDLE createFile() override { return IcmpCreateFile(); }
  DWORD sendEcho2(HANDLE icmp, HANDLE event, IPAddr destination, void* request, WORD requestSize, void* reply,
                  DWORD replySize, DWORD timeoutMs) override {
    return IcmpSendEcho2(icmp, event, nullptr, nullptr, destination, request, requestSize, nullptr, reply, replySize,
                         timeoutMs);
  }
  DWORD parseReplies(void* reply, DWORD replySize) override { return IcmpParseReplies(reply, replySize); }
  BOOL closeHandle(HANDLE icmp) override { return IcmpCloseHandle(icmp); }
};

}  // namespace

std::shared_ptr<IcmpEchoApi> systemIcmpEchoApi() { return std::make_shared<SystemIcmpEchoApi>(); }
