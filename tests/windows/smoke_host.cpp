// A minimal Windows spooler stand-in for the smoke test: loads TAVRO.dll, starts
// it with its own 13-slot ANSI table and drives the operations that need no
// print server, printing what it saw (one fact per line) for the test to check.
// With "held-popup" it leaves the monitor's popup open across the unload
// instead, and closes it only once the module is gone from the host's view.
#define _WIN32_WINNT 0x0601
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN64
// The layouts of the 32-bit spoolers, which the module must match.
static_assert(sizeof(PORT_INFO_1A) == 4 && sizeof(PORT_INFO_2A) == 20, "32-bit PORT_INFO layouts");
#endif

namespace {

// The spooler's side of the ANSI port-monitor table: 13 slots, no AddPortEx.
struct AnsiMonitorTable {
  BOOL(WINAPI* pfnEnumPorts)(LPSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);
  BOOL(WINAPI* pfnOpenPort)(LPSTR, LPHANDLE);
  void* pfnOpenPortEx;
  void* pfnStartDocPort;
  void* pfnWritePort;
  BOOL(WINAPI* pfnReadPort)(HANDLE, LPBYTE, DWORD, LPDWORD);
  void* pfnEndDocPort;
  BOOL(WINAPI* pfnClosePort)(HANDLE);
  void* pfnAddPort;
  void* pfnConfigurePort;
  BOOL(WINAPI* pfnDeletePort)(LPSTR, HWND, LPSTR);
  BOOL(WINAPI* pfnGetPrinterDataFromPort)(HANDLE, DWORD, LPSTR, LPSTR, DWORD, LPSTR, DWORD, LPDWORD);
  BOOL(WINAPI* pfnSetPortTimeOuts)(HANDLE, LPCOMMTIMEOUTS, DWORD);
};
static_assert(sizeof(AnsiMonitorTable) == 13 * sizeof(void*), "13 slots");

typedef BOOL(WINAPI* InitializeMonitorExFn)(LPSTR, AnsiMonitorTable*);
typedef BOOL(WINAPI* StartDocPortFn)(HANDLE, LPSTR, DWORD, DWORD, LPBYTE);

const char kRoot[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Varnhold Smoke";
const char kPrinters[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
const char kAdapterMap[] = "SOFTWARE\\Microsoft\\Rpc\\Netbios";
const DWORD kSentinelError = 0xdeadbeef;

const char* Bool(BOOL b) { return b ? "TRUE" : "FALSE"; }

// Creates (or opens) HKLM\path, sets one value and closes the key.
bool SetValue(const std::string& path, const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  bool ok = name == nullptr ||
            RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

bool CreateKey(const std::string& path) { return SetValue(path, nullptr, 0, nullptr, 0); }

bool KeyExists(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// "REG_BINARY:01", "REG_SZ:1.04", "REG_DWORD:16" or "missing".
std::string DescribeValue(const std::string& path, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "no key";
  BYTE data[64] = {};
  DWORD type = 0, size = sizeof(data);
  LONG rc = RegQueryValueExA(key, name, nullptr, &type, data, &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return "missing";
  char text[160];
  switch (type) {
    case REG_SZ:
      snprintf(text, sizeof(text), "REG_SZ:%.*s", static_cast<int>(size), reinterpret_cast<char*>(data));
      return text;
    case REG_DWORD:
      snprintf(text, sizeof(text), "REG_DWORD:%lu", static_cast<unsigned long>(*reinterpret_cast<DWORD*>(data)));
      return text;
    case REG_BINARY: {
      std::string s = "REG_BINARY:";
      for (DWORD i = 0; i < size; ++i) {
        snprintf(text, sizeof(text), "%02X", data[i]);
        s += text;
      }
      return s;
    }
    default:
      snprintf(text, sizeof(text), "type %lu", static_cast<unsigned long>(type));
      return text;
  }
}

// The registry as a spooler machine would have it: the NetBIOS adapter map,
// one spooler printer, and two ports the monitor remembers (PS1_P1 with that
// printer and one that has vanished, PS2_P1 with none). No refresh interval:
// the module writes its default of 16 s, which an unload must not wait for.
bool SeedRegistry() {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kRoot);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string(kPrinters) + "\\Smoke Laser").c_str());
  const std::string root = kRoot;
  const BYTE one = 1, zero = 0;
  return SetValue(kAdapterMap, "ncacn_nb_nb0", REG_SZ, "0", 2) &&
         SetValue(std::string(kPrinters) + "\\Smoke Laser", "Port", REG_SZ, "PS1_P1", 7) &&
         SetValue(root + "\\PS1_P1", "Offline", REG_BINARY, &one, 1) &&
         SetValue(root + "\\PS1_P1", "OutOfPaper", REG_BINARY, &zero, 1) &&
         SetValue(root + "\\PS1_P1", "NoResponse", REG_BINARY, &one, 1) &&
         CreateKey(root + "\\PS1_P1\\Smoke Laser") && CreateKey(root + "\\PS1_P1\\Gone Printer") &&
         SetValue(root + "\\PS2_P1", "Offline", REG_BINARY, &zero, 1) &&
         SetValue(root + "\\PS2_P1", "OutOfPaper", REG_BINARY, &one, 1) &&
         SetValue(root + "\\PS2_P1", "NoResponse", REG_BINARY, &zero, 1);
}

struct Enumerated {
  BOOL ok = FALSE;
  DWORD error = 0;
  DWORD needed = 0;
  DWORD returned = 0;
  std::vector<BYTE> buffer;
};

Enumerated Enumerate(const AnsiMonitorTable& table, DWORD level, DWORD size) {
  Enumerated e;
  e.buffer.assign(size + 1, 0xcc);
  e.needed = e.returned = 0xcccccccc;
  SetLastError(kSentinelError);
  e.ok = table.pfnEnumPorts(nullptr, level, size ? e.buffer.data() : nullptr, size, &e.needed, &e.returned);
  e.error = GetLastError();
  return e;
}

// Asks for the size, then enumerates into a buffer of exactly that size.
Enumerated EnumerateAll(const AnsiMonitorTable& table, DWORD level) {
  Enumerated probe = Enumerate(table, level, 0);
  if (probe.ok || probe.error != ERROR_INSUFFICIENT_BUFFER) return probe;
  return Enumerate(table, level, probe.needed);
}

std::string PortNames(const Enumerated& e, DWORD level) {
  std::string names;
  for (DWORD i = 0; e.ok && i < e.returned; ++i) {
    const char* name = level == 1 ? reinterpret_cast<const PORT_INFO_1A*>(e.buffer.data())[i].pName
                                  : reinterpret_cast<const PORT_INFO_2A*>(e.buffer.data())[i].pPortName;
    names += names.empty() ? "" : " ";
    names += name ? name : "(null)";
  }
  return names;
}

void CheckLevel2(const Enumerated& e) {
  printf("EnumPorts level 2: %s, %lu ports\n", Bool(e.ok), static_cast<unsigned long>(e.returned));
  const BYTE* begin = e.buffer.data();
  const BYTE* end = begin + e.needed;
  for (DWORD i = 0; e.ok && i < e.returned; ++i) {
    const PORT_INFO_2A& info = reinterpret_cast<const PORT_INFO_2A*>(begin)[i];
    bool inside = true;
    for (const char* s : {info.pPortName, info.pMonitorName, info.pDescription})
      inside = inside && reinterpret_cast<const BYTE*>(s) >= begin && reinterpret_cast<const BYTE*>(s) < end;
    printf("  %s | %s | %s | type %lu reserved %lu | strings inside buffer: %s\n", info.pPortName,
           info.pMonitorName, info.pDescription, static_cast<unsigned long>(info.fPortType),
           static_cast<unsigned long>(info.Reserved), inside ? "yes" : "no");
  }
  printf("  guard byte after buffer untouched: %s\n", e.buffer[e.needed] == 0xcc ? "yes" : "no");
}

// The bytes the spooler expects after enumerating `ports` at `level` into a
// buffer of `size` bytes at `base`, worked out here from the platform's
// pointer size alone: the structures from the start of the buffer, each
// port's strings in field order packed from the end downwards (so the first
// port's strings lie highest), every pointer into the buffer, the two words
// of level 2 zero, and the gap between structures and strings, like the
// guard byte after the buffer, still 0xcc.
std::vector<BYTE> ExpectedLayout(const BYTE* base, DWORD size, DWORD level, const std::vector<std::string>& ports) {
  const size_t pointer = sizeof(void*);
  const size_t record = level == 1 ? pointer : 3 * pointer + 2 * sizeof(DWORD);
  std::vector<BYTE> image(size + 1, 0xcc);
  size_t end = size;
  for (size_t i = 0; i < ports.size(); ++i) {
    std::vector<std::string> fields{ports[i]};
    if (level == 2) fields = {ports[i], "Local Port", "Print Server Port"};
    BYTE* slot = image.data() + i * record;
    for (size_t f = 0; f < fields.size(); ++f) {
      end -= fields[f].size() + 1;
      memcpy(image.data() + end, fields[f].c_str(), fields[f].size() + 1);
      const BYTE* address = base + end;
      memcpy(slot + f * pointer, &address, pointer);
    }
    if (level == 2) memset(slot + 3 * pointer, 0, 2 * sizeof(DWORD));
  }
  return image;
}

// Enumerates into a buffer with `spare` bytes more than needed and compares
// every byte, the guard after the buffer included, with the expected layout.
void CheckLayout(const AnsiMonitorTable& table, DWORD level, DWORD spare, const std::vector<std::string>& ports) {
  Enumerated probe = Enumerate(table, level, 0);
  Enumerated e = Enumerate(table, level, probe.needed + spare);
  std::vector<BYTE> expected = ExpectedLayout(e.buffer.data(), probe.needed + spare, level, ports);
  std::string verdict = "yes";
  for (size_t i = 0; i < expected.size(); ++i) {
    if (e.buffer[i] != expected[i]) {
      char text[96];
      snprintf(text, sizeof(text), "no, byte %u of %u is %02X, not %02X", static_cast<unsigned>(i),
               static_cast<unsigned>(expected.size()), e.buffer[i], expected[i]);
      verdict = text;
      break;
    }
  }
  printf("EnumPorts level %lu, %lu bytes to spare: %s, %lu ports, every byte as laid out: %s\n",
         static_cast<unsigned long>(level), static_cast<unsigned long>(spare), Bool(e.ok),
         static_cast<unsigned long>(e.returned), verdict.c_str());
}

// The monitor's message box on screen (Wine's null display driver keeps
// windows without showing them), or null.
HWND FindMonitorBox() { return FindWindowA("#32770", "Varnhold"); }

std::string BoxText(HWND box) {
  char text[256] = {};
  GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));  // the static text of a message box
  return text;
}

// Plays the user for the popups of the plain run: answers each box the
// monitor raises and keeps the text of the last one.
struct BoxAnswerer {
  volatile LONG stop = 0;
  volatile LONG answered = 0;
  char lastText[256] = {};

  static DWORD WINAPI Run(LPVOID self) {
    auto* answerer = static_cast<BoxAnswerer*>(self);
    while (!answerer->stop) {
      if (HWND box = FindMonitorBox()) {
        std::string text = BoxText(box);
        snprintf(answerer->lastText, sizeof(answerer->lastText), "%s", text.c_str());
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        InterlockedIncrement(&answerer->answered);
        while (IsWindow(box)) Sleep(20);
      }
      Sleep(20);
    }
    return 0;
  }
};

// Waits (real time, up to `ms`) for the monitor's box to appear.
HWND WaitForMonitorBox(DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += 50) {
    if (HWND box = FindMonitorBox()) return box;
    Sleep(50);
  }
  return nullptr;
}

void DescribePortKey(const char* port) {
  const std::string path = std::string(kRoot) + "\\" + port;
  printf("port key %s: Offline=%s OutOfPaper=%s NoResponse=%s\n", port, DescribeValue(path, "Offline").c_str(),
         DescribeValue(path, "OutOfPaper").c_str(), DescribeValue(path, "NoResponse").c_str());
}

// Loads the DLL and starts it; false (having said why) when it cannot.
struct Started {
  HMODULE module = nullptr;
  AnsiMonitorTable table;
};

bool LoadAndStart(const char* dll, Started* started) {
  if (!SeedRegistry()) {
    printf("seeding the registry failed\n");
    return false;
  }
  printf("registry seeded\n");

  started->module = LoadLibraryA(dll);
  printf("LoadLibrary: %s\n", started->module ? "loaded" : "failed");
  if (!started->module) return false;
  auto initialize = reinterpret_cast<InitializeMonitorExFn>(
      reinterpret_cast<void*>(GetProcAddress(started->module, "InitializeMonitorEx")));
  printf("GetProcAddress InitializeMonitorEx: %s\n", initialize ? "found" : "missing");
  if (!initialize) return false;

  memset(&started->table, 0xab, sizeof(started->table));
  char root[sizeof(kRoot)];
  memcpy(root, kRoot, sizeof(kRoot));
  BOOL ok = initialize(root, &started->table);
  printf("InitializeMonitorEx: %s\n", Bool(ok));
  return ok != FALSE;
}

// Unloads the module and says how long the shutdown took in real time.
DWORD TimedFreeLibrary(HMODULE module) {
  DWORD before = GetTickCount();
  BOOL freed = FreeLibrary(module);
  DWORD ms = GetTickCount() - before;
  printf("FreeLibrary: %s\n", Bool(freed));
  fprintf(stderr, "shutdown took %lu ms\n", static_cast<unsigned long>(ms));
  return ms;
}

// A job on the remembered port, on a thread of its own as the spooler would
// run it: it marks the printer active and waits for the silent server.
struct HeldJob {
  StartDocPortFn startDocPort;
  HANDLE port;
  BOOL result = TRUE;

  static DWORD WINAPI Run(LPVOID self) {
    auto* job = static_cast<HeldJob*>(self);
    char printer[] = "Smoke Laser";
    job->result = job->startDocPort(job->port, printer, 1, 1, nullptr);
    return 0;
  }
};

// The monitor raises the no-response popup for the job's printer and nobody
// answers it: the unload does not wait for the box but must leave the module
// mapped, so that closing the box afterwards lets its thread come back into
// code that is still there and end.
int RunHeldPopup(const char* dll) {
  Started started;
  if (!LoadAndStart(dll, &started)) return 1;
  const AnsiMonitorTable& table = started.table;
  HANDLE port = nullptr;
  char ps1[] = "PS1_P1";
  printf("OpenPort PS1_P1: %s\n", Bool(table.pfnOpenPort(ps1, &port)));
  HeldJob job{reinterpret_cast<StartDocPortFn>(table.pfnStartDocPort), port};
  HANDLE jobThread = CreateThread(nullptr, 0, HeldJob::Run, &job, 0, nullptr);
  HWND box = WaitForMonitorBox(30000);
  printf("popup open: %s\n", box ? BoxText(box).c_str() : "none");
  if (!box) return 1;

  DWORD ms = TimedFreeLibrary(started.module);
  printf("shutdown within 8 to 9 s: %s\n", ms >= 7500 && ms < 9000 ? "yes" : "no");
  WaitForSingleObject(jobThread, INFINITE);
  CloseHandle(jobThread);
  printf("job given up: %s\n", job.result ? "no" : "yes");
  printf("module after FreeLibrary: %s\n", GetModuleHandleA("TAVRO.dll") ? "pinned" : "unmapped");
  printf("popup still open: %s\n", IsWindow(box) ? "yes" : "no");

  // The worker returns from the box into the module and ends at its next look.
  PostMessageA(box, WM_COMMAND, IDOK, 0);
  for (int i = 0; i < 100 && IsWindow(box); ++i) Sleep(50);
  printf("popup closed: %s\n", IsWindow(box) ? "no" : "yes");
  Sleep(2000);
  printf("host exiting\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  const char* dll = argc > 1 ? argv[1] : "TAVRO.dll";
  printf("smoke host: %d-bit\n", static_cast<int>(sizeof(void*) * 8));
  if (argc > 2 && strcmp(argv[2], "held-popup") == 0) return RunHeldPopup(dll);

  BoxAnswerer answerer;
  HANDLE answererThread = CreateThread(nullptr, 0, BoxAnswerer::Run, &answerer, 0, nullptr);
  Started started;
  if (!LoadAndStart(dll, &started)) return 1;
  const AnsiMonitorTable& table = started.table;
  void* const* slots = reinterpret_cast<void* const*>(&table);
  int filled = 0;
  for (int i = 0; i < 13; ++i)
    if (slots[i] != nullptr && reinterpret_cast<UINT_PTR>(slots[i]) != static_cast<UINT_PTR>(0xababababababababULL))
      ++filled;
  printf("table: %d of 13 slots set, OpenPortEx %s, DeletePort and SetPortTimeOuts %s\n", filled,
         table.pfnOpenPortEx ? "set" : "null",
         reinterpret_cast<void*>(table.pfnDeletePort) == reinterpret_cast<void*>(table.pfnSetPortTimeOuts)
             ? "the same routine"
             : "different routines");
  printf("monitor key: Version=%s Timer=%s\n", DescribeValue(kRoot, "Version").c_str(),
         DescribeValue(kRoot, "Timer").c_str());
  printf("remembered printers of PS1_P1: Smoke Laser %s, Gone Printer %s\n",
         KeyExists(std::string(kRoot) + "\\PS1_P1\\Smoke Laser") ? "kept" : "gone",
         KeyExists(std::string(kRoot) + "\\PS1_P1\\Gone Printer") ? "kept" : "gone");

  // A server name is refused outright: nothing written, no error set.
  {
    DWORD needed = 0x1234, returned = 0x5678;
    BYTE buffer[64];
    char server[] = "\\\\elsewhere";
    SetLastError(kSentinelError);
    BOOL ok = table.pfnEnumPorts(server, 1, buffer, sizeof(buffer), &needed, &returned);
    printf("EnumPorts with a server name: %s, error %s, out-parameters %s\n", Bool(ok),
           GetLastError() == kSentinelError ? "unchanged" : "set",
           needed == 0x1234 && returned == 0x5678 ? "untouched" : "written");
  }

  // The remembered port without printers reaches the available list on the
  // status worker's first pass; give it a few seconds at most.
  Enumerated level1;
  for (int tries = 0; tries < 50; ++tries) {
    level1 = EnumerateAll(table, 1);
    if (level1.ok && level1.returned >= 2) break;
    Sleep(200);
  }
  Enumerated probe = Enumerate(table, 1, 0);
  printf("EnumPorts level 1, no buffer: %s, error %lu, needed %s\n", Bool(probe.ok),
         static_cast<unsigned long>(probe.error),
         probe.needed == 2 * sizeof(PORT_INFO_1A) + 7 + 7 ? "2 structures + 2 names" : "unexpected");
  printf("EnumPorts level 1: %s, %lu ports: %s\n", Bool(level1.ok), static_cast<unsigned long>(level1.returned),
         PortNames(level1, 1).c_str());
  Enumerated shortOne = Enumerate(table, 1, probe.needed - 1);
  printf("EnumPorts level 1, one byte short: %s, error %lu\n", Bool(shortOne.ok),
         static_cast<unsigned long>(shortOne.error));
  CheckLevel2(EnumerateAll(table, 2));
  const std::vector<std::string> ports{"PS2_P1", "PS1_P1"};
  for (DWORD level : {1, 2}) {
    CheckLayout(table, level, 0, ports);
    CheckLayout(table, level, 24, ports);
  }
  // An unsupported level raises message 520 for the user; the answerer
  // closes it.
  Enumerated level3 = Enumerate(table, 3, 0);
  printf("EnumPorts level 3, no buffer: %s, error %lu, needed %lu, message box: %s\n", Bool(level3.ok),
         static_cast<unsigned long>(level3.error), static_cast<unsigned long>(level3.needed), answerer.lastText);

  // OpenPort: the available port moves to the open ports and is written to
  // the registry; a remembered open port rewrites its flags from memory.
  HANDLE port = nullptr, again = nullptr, other = nullptr;
  char ps2[] = "PS2_P1", ps2lower[] = "ps2_p1", nosuch[] = "NOSUCH", ps1[] = "PS1_P1";
  SetLastError(kSentinelError);
  BOOL opened = table.pfnOpenPort(ps2, &port);
  printf("OpenPort PS2_P1: %s, error %s\n", Bool(opened), GetLastError() == kSentinelError ? "unchanged" : "set");
  BOOL openedAgain = table.pfnOpenPort(ps2, &again);
  printf("OpenPort PS2_P1 again: %s, %s handle\n", Bool(openedAgain), again == port ? "same" : "another");
  other = reinterpret_cast<HANDLE>(0x1);
  printf("OpenPort ps2_p1: %s, handle %s\n", Bool(table.pfnOpenPort(ps2lower, &other)),
         other == reinterpret_cast<HANDLE>(0x1) ? "untouched" : "written");
  printf("OpenPort NOSUCH: %s\n", Bool(table.pfnOpenPort(nosuch, &other)));
  DescribePortKey("PS2_P1");
  const BYTE seven = 7;
  SetValue(std::string(kRoot) + "\\PS1_P1", "Offline", REG_BINARY, &seven, 1);
  HANDLE ps1Handle = nullptr;
  printf("OpenPort PS1_P1: %s\n", Bool(table.pfnOpenPort(ps1, &ps1Handle)));
  DescribePortKey("PS1_P1");
  Enumerated after = EnumerateAll(table, 1);
  printf("EnumPorts level 1 after OpenPort: %s, %lu ports: %s\n", Bool(after.ok),
         static_cast<unsigned long>(after.returned), PortNames(after, 1).c_str());

  // The operations the monitor declines: FALSE, and no last-error code.
  {
    BYTE buffer[16];
    DWORD count = 0x5555;
    SetLastError(kSentinelError);
    BOOL ok = table.pfnReadPort(port, buffer, sizeof(buffer), &count);
    printf("ReadPort: %s, count %lu, error %s\n", Bool(ok), static_cast<unsigned long>(count),
           GetLastError() == kSentinelError ? "unchanged" : "set");
    SetLastError(kSentinelError);
    ok = table.pfnDeletePort(nullptr, nullptr, ps2);
    printf("DeletePort: %s, error %s\n", Bool(ok), GetLastError() == kSentinelError ? "unchanged" : "set");
    COMMTIMEOUTS timeouts = {};
    SetLastError(kSentinelError);
    ok = table.pfnSetPortTimeOuts(port, &timeouts, 0);
    printf("SetPortTimeOuts: %s, error %s\n", Bool(ok), GetLastError() == kSentinelError ? "unchanged" : "set");
    char valueName[] = "Anything", in[4] = {}, out[8];
    memset(out, 0x77, sizeof(out));
    DWORD returned = 0x6666;
    SetLastError(kSentinelError);
    ok = table.pfnGetPrinterDataFromPort(port, 0, valueName, in, sizeof(in), out, sizeof(out), &returned);
    printf("GetPrinterDataFromPort: %s, error %s, output %s\n", Bool(ok),
           GetLastError() == kSentinelError ? "unchanged" : "set",
           returned == 0x6666 && out[0] == 0x77 && out[7] == 0x77 ? "untouched" : "written");
    SetLastError(kSentinelError);
    ok = table.pfnClosePort(port);
    printf("ClosePort: %s, error %s\n", Bool(ok), GetLastError() == kSentinelError ? "unchanged" : "set");
    printf("OpenPort PS2_P1 after ClosePort: %s\n", Bool(table.pfnOpenPort(ps2, &again)));
  }

  answerer.stop = 1;
  WaitForSingleObject(answererThread, INFINITE);
  CloseHandle(answererThread);
  printf("message boxes answered: %ld\n", static_cast<long>(answerer.answered));

  // Every thread is idle: the unload takes its 5 s grace and one 3 s pass,
  // whatever the refresh interval.
  DWORD ms = TimedFreeLibrary(started.module);
  printf("shutdown within 8 to 9 s: %s\n", ms >= 7500 && ms < 9000 ? "yes" : "no");
  printf("module after FreeLibrary: %s\n", GetModuleHandleA("TAVRO.dll") ? "still mapped" : "unmapped");
  return 0;
}
