// The module's entry points: DllMain for load and unload, and
// InitializeMonitorEx, which starts the monitor and fills the spooler's table.
#include "base/module_state.h"
#include "diag/log.h"
#include "monitor/lifecycle.h"
#include "monitor/monitor_table.h"
#include "spool/port_operations.h"
#include "ui/port_dialogs.h"

namespace {

void FillMonitorTable(LPMONITOR pMonitor) {
  pMonitor->pfnEnumPorts = EnumPorts;
  pMonitor->pfnOpenPort = OpenPort;
  pMonitor->pfnOpenPortEx = nullptr;
  pMonitor->pfnStartDocPort = StartDocPort;
  pMonitor->pfnWritePort = WritePort;
  pMonitor->pfnReadPort = ReadPort;
  pMonitor->pfnEndDocPort = EndDocPort;
  pMonitor->pfnClosePort = ClosePort;
  pMonitor->pfnAddPort = AddPort;
  pMonitor->pfnConfigurePort = ConfigurePort;
  pMonitor->pfnDeletePort = DeletePort;
  pMonitor->pfnGetPrinterDataFromPort = GetPrinterDataFromPort;
  // One declining routine serves both slots; it reads none of its arguments,
  // so the slot's own parameter list does not matter to it.
  pMonitor->pfnSetPortTimeOuts =
      reinterpret_cast<decltype(pMonitor->pfnSetPortTimeOuts)>(reinterpret_cast<void*>(DeletePort));
}

}  // namespace

void InitModule(HINSTANCE hInstance) {
  InitCommonControls();
  ModuleInstance = hInstance;
}

extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR pRegistryRoot, LPMONITOR pMonitor) {
  if (!InitMonitor(pRegistryRoot)) {
    WriteLog("InitializeMonitorEx", "InitMonitor failed");
    return FALSE;
  }
  if (pMonitor != nullptr) FillMonitorTable(pMonitor);
  return TRUE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
  switch (dwReason) {
    case DLL_PROCESS_ATTACH:
      InitModule(hInstance);
      OpenLogFile(hInstance);
      WriteLog("Initialize", "Print Monitor Log File");
      break;
    case DLL_PROCESS_DETACH:
      ShutdownMonitor();
      break;
    default:
      break;
  }
  return TRUE;
}
