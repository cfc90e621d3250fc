// Fuzzes the refresh thread's filing of server reports: a datagram of any
// length and content files at most 11 records, each named by 1 to 16
// characters with no blank, its called name the same, and nothing is read
// past the bytes received.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/module_state.h"
#include "netbios/lana.h"
#include "ports/discovery.h"
#include "ports/port_lists.h"

namespace {

char g_monitorName[64] = "Local Port";
char g_description[64] = "Print Server Port";

bool Init() {
  InitializeCriticalSection(&ReportLock);
  InitializeCriticalSection(&OpenLock);
  InitializeCriticalSection(&AvailableLock);
  MonitorNameText = g_monitorName;
  DescriptionText = g_description;
  return InitLists() == TRUE;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool ready = Init();
  if (!ready) std::abort();
  // A copy of exactly the bytes received, so a read past them is caught.
  std::vector<BYTE> report(data, data + size);
  LanaRecord lana{};
  lana.bLanaNum = 4;
  std::strcpy(lana.szLocalName, "OV_020000000004");
  DWORD filed = FileServerReport(&lana, report.data(), static_cast<DWORD>(report.size()));
  if (filed > 11) std::abort();

  DWORD records = 0;
  EnterCriticalSection(&ReportLock);
  while (ListNode* node = FirstPort(REPORT_LIST)) {
    PortRecord* r = PortOf(node);
    std::size_t len = std::strlen(r->pPortName);
    if (len == 0 || len > 16 || std::strchr(r->pPortName, ' ')) std::abort();
    if (std::strcmp(r->pPortName, r->pCName) != 0) std::abort();
    if (r->bLanaNum != 4 || std::strcmp(r->szLocalName, lana.szLocalName) != 0) std::abort();
    if (r->Entry.bStatus == STATUS_NOT_A_PORT) std::abort();
    ++records;
    FreePortNode(node);
  }
  LeaveCriticalSection(&ReportLock);
  if (records > filed) std::abort();
  return 0;
}
