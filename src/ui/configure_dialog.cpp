// The Configure dialog (210): one port's popup flags and the refresh
// interval of all ports, shown at WM_INITDIALOG and stored on OK.
#include <cstdio>

#include "base/module_state.h"
#include "base/registry_keys.h"
#include "base/settings.h"
#include "diag/messages.h"
#include "ports/port_flags.h"
#include "ports/port_lists.h"
#include "ui/port_dialogs.h"

#define MS_PER_SECOND 1000
#define TIMER_DIGITS 3

DWORD ConfigureCount = 0;
LPSTR ConfigurePortName = nullptr;

namespace {

// ConfigureCount is shared by the spooler threads that run dialogs. Claiming
// it is one indivisible step, so two dialogs that start at the same moment
// cannot both find it at 0.
BOOL ClaimConfigureDialog(void) {
  DWORD dwExpected = 0;
  return __atomic_compare_exchange_n(&ConfigureCount, &dwExpected, 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

void IncrementConfigureCount(void) { __atomic_add_fetch(&ConfigureCount, 1, __ATOMIC_ACQ_REL); }

void DecrementConfigureCount(void) { __atomic_sub_fetch(&ConfigureCount, 1, __ATOMIC_ACQ_REL); }

// The port's record, from AvailableList, else OpenList. Opening a port moves
// its record between the two under ReportLock, so holding it here keeps the
// record from being in neither list while we look. Records in these lists
// live until shutdown.
PortRecord* LookUpPort(LPCSTR pPortName) {
  ListLock reports(&ReportLock);
  ListNode* pNode = FindPort(pPortName, AVAILABLE_LIST);
  if (pNode == nullptr) pNode = FindPort(pPortName, OPEN_LIST);
  return PortOf(pNode);
}

DWORD CheckState(HWND hDlg, int nId) { return IsDlgButtonChecked(hDlg, nId) == BST_CHECKED ? 1 : 0; }

// The three popup flags of a port, as memory and the registry hold them.
struct PortFlags {
  DWORD dwOffline;
  DWORD dwOutOfPaper;
  DWORD dwNoResponse;
};

PortFlags FlagsOf(const PortRecord* pRecord) {
  return {ReadShared(pRecord->dwOffline), ReadShared(pRecord->dwOutOfPaper), ReadShared(pRecord->dwNoResponse)};
}

void SetFlags(PortRecord* pRecord, const PortFlags& flags) {
  WriteShared(pRecord->dwOffline, flags.dwOffline);
  WriteShared(pRecord->dwOutOfPaper, flags.dwOutOfPaper);
  WriteShared(pRecord->dwNoResponse, flags.dwNoResponse);
}

// Whether root exists: "Timer" is written only then, since root is not
// created here. FALSE with *pbExists unset when the registry cannot tell.
BOOL FindRoot(BOOL* pbExists) {
  *pbExists = FALSE;
  if (RegistryRoot == nullptr) return TRUE;
  KeyHolder root;
  LONG lResult = RegOpenKeyExA(HKEY_LOCAL_MACHINE, RegistryRoot, 0, KEY_ALL_ACCESS, root.Out());
  if (lResult == ERROR_FILE_NOT_FOUND) return TRUE;
  *pbExists = lResult == ERROR_SUCCESS;
  return *pbExists;
}

BOOL StoreTimer(DWORD dwSeconds) {
  KeyHolder root;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RegistryRoot, 0, KEY_ALL_ACCESS, root.Out()) != ERROR_SUCCESS) return FALSE;
  return WriteTimerValue(root.Get(), dwSeconds) == ERROR_SUCCESS;
}

// The port key, opened or created, with the three flags. A path that does
// not fit its block would name some other key: that is a failure too.
BOOL StoreFlags(LPSTR pPath, LPCSTR pPortName, const PortFlags& flags) {
  if (RegistryRoot == nullptr) return FALSE;
  int cch = std::snprintf(pPath, MAX_PATH, "%s\\%s", RegistryRoot, pPortName);
  if (cch < 0 || cch >= MAX_PATH) return FALSE;
  KeyHolder port;
  if (OpenOrCreateKey(HKEY_LOCAL_MACHINE, pPath, port.Out()) != ERROR_SUCCESS) return FALSE;
  PortRecord record = {};
  SetFlags(&record, flags);
  return WritePortFlags(port.Get(), &record) == ERROR_SUCCESS;
}

// Stores the port's flags, then the interval. FALSE when any of it cannot be
// stored; flags already stored then get back the values of `before`, as far as
// the registry lets them, so that a restart finds what memory keeps.
BOOL StoreConfiguredSettings(LPSTR pPath, LPCSTR pPortName, const PortFlags& flags, const PortFlags& before,
                             DWORD dwSeconds) {
  BOOL bRootExists = FALSE;
  if (!FindRoot(&bRootExists)) return FALSE;
  if (!StoreFlags(pPath, pPortName, flags)) return FALSE;
  if (bRootExists && !StoreTimer(dwSeconds)) {
    StoreFlags(pPath, pPortName, before);
    return FALSE;
  }
  return TRUE;
}

}  // namespace

INT_PTR CALLBACK ConfigureDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg == WM_INITDIALOG) {
    if (!ClaimConfigureDialog()) {
      ShowMessage(IDS_ONE_CONFIGURE, MB_ICONINFORMATION | MB_SETFOREGROUND, hDlg);
      EndDialog(hDlg, 1);
      return TRUE;
    }
    LPSTR pPortName = reinterpret_cast<LPSTR>(lParam);
    WriteShared(ConfigurePortName, pPortName);
    return ConfigureInitDialog(hDlg, pPortName);
  }
  if (uMsg != WM_COMMAND) return FALSE;
  switch (LOWORD(wParam)) {
    case IDOK:
      ConfigureOk(hDlg, ReadShared(ConfigurePortName));
      DecrementConfigureCount();
      return TRUE;
    case IDCANCEL:
      DecrementConfigureCount();
      EndDialog(hDlg, 1);
      return TRUE;
    case IDC_HELP_BUTTON:
      ShowHelp(hDlg);
      return TRUE;
    case IDC_ABOUT:
      RunAboutDialog(hDlg);
      return TRUE;
    default:
      return FALSE;
  }
}

BOOL ConfigureInitDialog(HWND hDlg, LPSTR pPortName) {
  SetForegroundWindow(hDlg);
  PortRecord* pRecord = LookUpPort(pPortName);
  // A port in neither list keeps the controls as they start: unchecked, empty.
  if (pRecord != nullptr) {
    CheckDlgButton(hDlg, IDC_OFFLINE, ReadShared(pRecord->dwOffline) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(hDlg, IDC_OUT_OF_PAPER, ReadShared(pRecord->dwOutOfPaper) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(hDlg, IDC_NO_RESPONSE, ReadShared(pRecord->dwNoResponse) ? BST_CHECKED : BST_UNCHECKED);
    SetDlgItemInt(hDlg, IDC_TIMER, GetConfiguredInterval() / MS_PER_SECOND, FALSE);
  }
  SendDlgItemMessageA(hDlg, IDC_TIMER_SPIN, UDM_SETRANGE, 0, MAKELPARAM(MAX_TIMER, MIN_TIMER));
  SendDlgItemMessageA(hDlg, IDC_TIMER, EM_LIMITTEXT, TIMER_DIGITS, 0);
  return TRUE;
}

BOOL ConfigureOk(HWND hDlg, LPSTR pPortName) {
  // The path buffer comes first: when it cannot be had the user is told and
  // the dialog stays open with everything as entered, nothing stored, so that
  // OK can be tried again or the dialog cancelled. (Storing in memory only and
  // closing would look like success and lose the settings at the next start.)
  LPSTR pPath = static_cast<LPSTR>(LocalAlloc(LPTR, MAX_PATH));
  if (pPath == nullptr) {
    ShowMessage(IDS_OUT_OF_MEMORY, MB_ICONINFORMATION | MB_SETFOREGROUND, hDlg);
    IncrementConfigureCount();  // the decrement after every OK leaves the count as it was
    return TRUE;
  }
  PortRecord* pRecord = LookUpPort(pPortName);
  if (pRecord == nullptr) {
    LocalFree(pPath);
    EndDialog(hDlg, 1);
    return TRUE;
  }
  // The flags reach the record before the interval is tested: a refused OK has
  // changed them in memory, not in the registry.
  PortFlags before = FlagsOf(pRecord);
  PortFlags flags = {CheckState(hDlg, IDC_OFFLINE), CheckState(hDlg, IDC_OUT_OF_PAPER),
                     CheckState(hDlg, IDC_NO_RESPONSE)};
  SetFlags(pRecord, flags);

  // No upper test: the edit takes at most three digits.
  UINT uSeconds = GetDlgItemInt(hDlg, IDC_TIMER, nullptr, FALSE);
  if (uSeconds < MIN_TIMER) {
    CHAR szFormat[MESSAGE_CCH];
    CHAR szText[MESSAGE_CCH];
    LoadMessage(IDS_TIMER_RANGE, szFormat);
    std::snprintf(szText, sizeof szText, szFormat, MIN_TIMER, MAX_TIMER);
    ShowMessageText(szText, MB_ICONINFORMATION | MB_SETFOREGROUND, hDlg);
    IncrementConfigureCount();  // the dialog stays open
    LocalFree(pPath);
    return TRUE;
  }
  // Settings that cannot be stored would be lost at the next start: the
  // user is told, memory keeps what it had, and the dialog stays open.
  if (!StoreConfiguredSettings(pPath, pPortName, flags, before, uSeconds)) {
    SetFlags(pRecord, before);
    ShowMessage(IDS_SETTINGS_NOT_STORED, MB_ICONINFORMATION | MB_SETFOREGROUND, hDlg);
    IncrementConfigureCount();  // the dialog stays open
    LocalFree(pPath);
    return TRUE;
  }
  SetConfiguredInterval(uSeconds * MS_PER_SECOND);
  LocalFree(pPath);
  EndDialog(hDlg, 1);
  return TRUE;
}
