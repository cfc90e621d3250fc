// The spooler's printers: keys under the Printers key with a "Port" value, and
// the status the monitors set on them through SetPrinterA.
#include "printers.h"

#include <strings.h>

#include "host/registry.h"
#include "registry_key.h"
#include "specs.h"

namespace spoolhost {

using tools::PrinterStatusText;

namespace {

std::string KeyOf(const std::string& name) { return std::string(kPrintersKey) + "\\" + name; }
std::string Regedit(const std::string& body) { return "REGEDIT4\n\n" + body; }
std::string KeyLine(const std::string& name) { return "[HKEY_LOCAL_MACHINE\\" + KeyOf(name) + "]\n"; }
std::string DeleteLine(const std::string& name) { return "[-HKEY_LOCAL_MACHINE\\" + KeyOf(name) + "]\n"; }

}  // namespace

bool PrinterRegistry::NoCase::operator()(const std::string& a, const std::string& b) const {
  return ::strcasecmp(a.c_str(), b.c_str()) < 0;
}

bool PrinterRegistry::ValidName(const std::string& name, std::string* error) {
  if (name.empty() || name.size() > 200) {
    *error = "a printer name has 1 to 200 characters";
    return false;
  }
  if (name.find_first_not_of(' ') == std::string::npos) {
    *error = "a printer name cannot be only spaces";
    return false;
  }
  // The Windows spooler's rules, with [ ] and " kept out of regedit text.
  for (unsigned char ch : name)
    if (ch < 0x20 || ch == ',' || ch == '\\' || ch == '[' || ch == ']' || ch == '"' || ch == 0x7f) {
      *error = "a printer name cannot hold control characters, a comma, \\, [, ] or \"";
      return false;
    }
  return true;
}

bool PrinterRegistry::HasPrinter(const std::string& name) {
  RegKey key;
  return !name.empty() && name.find('\\') == std::string::npos && key.Open(KeyOf(name));
}

bool PrinterRegistry::SetPrinterStatus(const std::string& name, std::uint32_t status) {
  if (!HasPrinter(name)) return false;
  std::optional<std::uint32_t> before;
  {
    std::lock_guard lock(mutex_);
    auto it = status_.find(name);
    if (it != status_.end()) before = it->second;
    status_[name] = status;
  }
  if (before.value_or(0) != status || !before)
    log_("printer " + name + ": status " + PrinterStatusText(status));
  return true;
}

std::optional<std::uint32_t> PrinterRegistry::StatusOf(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto it = status_.find(name);
  if (it == status_.end()) return std::nullopt;
  return it->second;
}

std::vector<Printer> PrinterRegistry::List() {
  std::vector<Printer> printers;
  RegKey root;
  if (!root.Open(kPrintersKey)) return printers;
  for (const std::string& name : root.SubKeys()) {
    Printer p;
    p.name = name;
    RegKey key;
    if (key.Open(KeyOf(name))) p.port = key.String("Port").value_or("");
    p.status = StatusOf(name).value_or(0);
    printers.push_back(p);
  }
  return printers;
}

std::optional<Printer> PrinterRegistry::Find(const std::string& name) {
  for (Printer& p : List())
    if (::strcasecmp(p.name.c_str(), name.c_str()) == 0) return p;
  return std::nullopt;
}

bool PrinterRegistry::Add(const std::string& name, const std::string& port, std::string* error) {
  if (!ValidName(name, error)) return false;
  if (Find(name)) {
    *error = "a printer named " + name + " exists already";
    return false;
  }
  plat::RegistryStatus s = plat::ImportRegistry(Regedit(KeyLine(name) + "\"Port\"=" + RegQuote(port) + "\n"));
  if (!s) {
    *error = "cannot add printer " + name + " to the registry: " + s.error;
    return false;
  }
  std::lock_guard lock(mutex_);
  status_.erase(name);
  return true;
}

bool PrinterRegistry::Delete(const std::string& name, std::string* error) {
  std::optional<Printer> p = Find(name);
  if (!p) {
    *error = "no printer named " + name;
    return false;
  }
  plat::RegistryStatus s = plat::ImportRegistry(Regedit(DeleteLine(p->name)));
  if (!s) {
    *error = "cannot delete printer " + name + ": " + s.error;
    return false;
  }
  std::lock_guard lock(mutex_);
  status_.erase(p->name);
  return true;
}

bool PrinterRegistry::Rename(const std::string& from, const std::string& to, std::string* error) {
  std::optional<Printer> p = Find(from);
  if (!p) {
    *error = "no printer named " + from;
    return false;
  }
  if (!ValidName(to, error)) return false;
  const bool caseOnly = ::strcasecmp(p->name.c_str(), to.c_str()) == 0;
  if (p->name == to) {
    *error = "the printer is already named " + to;
    return false;
  }
  if (!caseOnly && Find(to)) {
    *error = "a printer named " + to + " exists already";
    return false;
  }
  // The old key goes and the new one comes in one transaction.
  plat::RegistryStatus s =
      plat::ImportRegistry(Regedit(DeleteLine(p->name) + "\n" + KeyLine(to) + "\"Port\"=" + RegQuote(p->port) + "\n"));
  if (!s) {
    *error = "cannot rename printer " + from + ": " + s.error;
    return false;
  }
  std::lock_guard lock(mutex_);
  auto it = status_.find(p->name);
  std::optional<std::uint32_t> status;
  if (it != status_.end()) {
    status = it->second;
    status_.erase(it);
  }
  if (status) status_[to] = *status;
  return true;
}

bool PrinterRegistry::SetPort(const std::string& name, const std::string& port, std::string* error) {
  std::optional<Printer> p = Find(name);
  if (!p) {
    *error = "no printer named " + name;
    return false;
  }
  RegKey key;
  if (!key.Open(KeyOf(p->name)) || !key.SetString("Port", port)) {
    *error = "cannot set the port of printer " + name;
    return false;
  }
  return true;
}

}  // namespace spoolhost
