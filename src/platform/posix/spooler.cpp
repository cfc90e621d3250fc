// The spooler printer API stand-in: OpenPrinterA, SetPrinterA and ClosePrinter
// served by the printer store the host registers.
#include <mutex>
#include <set>
#include <string>

#include "../host/printers.h"
#include "../win32/kernel.h"
#include "../win32/spooler.h"

namespace plat {
namespace {

// What a printer HANDLE points to: the store it was opened on and the name.
struct PrinterHandle {
  std::shared_ptr<PrinterStore> store;
  std::string name;
};

struct SpoolerState {
  std::mutex mutex;
  std::shared_ptr<PrinterStore> store;
  std::set<PrinterHandle*> handles;  // open handles, so stale ones are refused
};

SpoolerState& State() {
  static SpoolerState state;
  return state;
}

// The handle's store and printer name, if the handle is open.
bool LookUp(HANDLE h, std::shared_ptr<PrinterStore>* store, std::string* name) {
  SpoolerState& s = State();
  std::lock_guard lock(s.mutex);
  auto* handle = static_cast<PrinterHandle*>(h);
  if (s.handles.count(handle) == 0) return false;
  *store = handle->store;
  *name = handle->name;
  return true;
}

}  // namespace

void SetPrinterStore(std::shared_ptr<PrinterStore> store) {
  SpoolerState& s = State();
  std::lock_guard lock(s.mutex);
  s.store = std::move(store);
}

std::shared_ptr<PrinterStore> GetPrinterStore() {
  SpoolerState& s = State();
  std::lock_guard lock(s.mutex);
  return s.store;
}

int OpenPrinterHandleCount() {
  SpoolerState& s = State();
  std::lock_guard lock(s.mutex);
  return static_cast<int>(s.handles.size());
}

void MemoryPrinterStore::AddPrinter(const std::string& name, std::uint32_t status) {
  std::lock_guard lock(mutex_);
  printers_[name].status = status;
}

void MemoryPrinterStore::RemovePrinter(const std::string& name) {
  std::lock_guard lock(mutex_);
  printers_.erase(name);
}

std::optional<std::uint32_t> MemoryPrinterStore::Status(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = printers_.find(name);
  if (it == printers_.end()) return std::nullopt;
  return it->second.status;
}

std::vector<std::uint32_t> MemoryPrinterStore::History(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = printers_.find(name);
  if (it == printers_.end()) return {};
  return it->second.history;
}

int MemoryPrinterStore::SetCount() const {
  std::lock_guard lock(mutex_);
  return setCount_;
}

void MemoryPrinterStore::ClearHistory() {
  std::lock_guard lock(mutex_);
  for (auto& [name, printer] : printers_) printer.history.clear();
  setCount_ = 0;
}

bool MemoryPrinterStore::HasPrinter(const std::string& name) {
  std::lock_guard lock(mutex_);
  return printers_.count(name) != 0;
}

bool MemoryPrinterStore::SetPrinterStatus(const std::string& name, std::uint32_t status) {
  std::lock_guard lock(mutex_);
  auto it = printers_.find(name);
  if (it == printers_.end()) return false;
  it->second.status = status;
  it->second.history.push_back(status);
  ++setCount_;
  return true;
}

}  // namespace plat

BOOL WINAPI OpenPrinterA(LPSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSA) {
  if (phPrinter == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *phPrinter = nullptr;
  std::shared_ptr<plat::PrinterStore> store = plat::GetPrinterStore();
  // A null name would open the local print server, which the stand-in has not.
  if (store == nullptr || pPrinterName == nullptr || !store->HasPrinter(pPrinterName)) {
    SetLastError(ERROR_INVALID_PRINTER_NAME);
    return FALSE;
  }
  auto* handle = new plat::PrinterHandle{std::move(store), pPrinterName};
  plat::SpoolerState& s = plat::State();
  {
    std::lock_guard lock(s.mutex);
    s.handles.insert(handle);
  }
  *phPrinter = handle;
  return TRUE;
}

BOOL WINAPI SetPrinterA(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD Command) {
  std::shared_ptr<plat::PrinterStore> store;
  std::string name;
  if (!plat::LookUp(hPrinter, &store, &name)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (Level != 0) {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  if (Command != PRINTER_CONTROL_SET_STATUS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The status word travels in place of the pointer.
  auto status = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(pPrinter));
  if (!store->SetPrinterStatus(name, status)) {
    SetLastError(ERROR_INVALID_PRINTER_NAME);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
  plat::SpoolerState& s = plat::State();
  auto* handle = static_cast<plat::PrinterHandle*>(hPrinter);
  {
    std::lock_guard lock(s.mutex);
    if (s.handles.erase(handle) == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  delete handle;
  return TRUE;
}
