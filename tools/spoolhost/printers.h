// The spooler's printers: keys under the Printers key with a "Port" value, and
// the status the monitors set on them through SetPrinterA.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/printers.h"

namespace spoolhost {

inline constexpr const char* kPrintersKey = "System\\CurrentControlSet\\Control\\Print\\Printers";

struct Printer {
  std::string name;
  std::string port;
  std::uint32_t status = 0;
};

// Printers are kept in the registry (so they outlive the daemon); their status
// lives as long as the daemon, as it does in a spooler. Names are compared
// without regard to case, as the registry keys that hold them are.
class PrinterRegistry : public plat::PrinterStore {
 public:
  using Logger = std::function<void(const std::string&)>;
  explicit PrinterRegistry(Logger log) : log_(std::move(log)) {}

  bool HasPrinter(const std::string& name) override;
  bool SetPrinterStatus(const std::string& name, std::uint32_t status) override;

  std::vector<Printer> List();
  std::optional<Printer> Find(const std::string& name);
  // Each change is one registry transaction, so a daemon that dies midway
  // leaves either the old printer or the new one. False with a reason.
  bool Add(const std::string& name, const std::string& port, std::string* error);
  bool Delete(const std::string& name, std::string* error);
  bool Rename(const std::string& from, const std::string& to, std::string* error);
  bool SetPort(const std::string& name, const std::string& port, std::string* error);

  // A name a printer key can carry; false with a reason.
  static bool ValidName(const std::string& name, std::string* error);

 private:
  struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  std::optional<std::uint32_t> StatusOf(const std::string& name);

  Logger log_;
  std::mutex mutex_;
  std::map<std::string, std::uint32_t, NoCase> status_;
};

}  // namespace spoolhost
