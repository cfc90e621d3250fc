// The printers behind the spooler printer API stand-in: a store the host
// registers (spoolhost's, or a test's).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace plat {

class PrinterStore {
 public:
  virtual ~PrinterStore() = default;
  // Whether a printer of this name exists now (OpenPrinterA succeeds).
  virtual bool HasPrinter(const std::string& name) = 0;
  // Sets the printer's status word; false when it no longer exists.
  virtual bool SetPrinterStatus(const std::string& name, std::uint32_t status) = 0;
};

// Installs the store OpenPrinterA and SetPrinterA use; null removes it, after
// which no printer opens. Handles already open keep the store they opened on.
void SetPrinterStore(std::shared_ptr<PrinterStore> store);
std::shared_ptr<PrinterStore> GetPrinterStore();
// Printer handles opened and not yet closed.
int OpenPrinterHandleCount();

// A store in memory: printers by name, each with its status and the history of
// the statuses set on it.
class MemoryPrinterStore : public PrinterStore {
 public:
  void AddPrinter(const std::string& name, std::uint32_t status = 0);
  void RemovePrinter(const std::string& name);
  // The printer's status, or nothing when there is no such printer.
  std::optional<std::uint32_t> Status(const std::string& name) const;
  // Every status set on the printer, oldest first.
  std::vector<std::uint32_t> History(const std::string& name) const;
  // Number of SetPrinterStatus calls on any printer.
  int SetCount() const;
  void ClearHistory();

  bool HasPrinter(const std::string& name) override;
  bool SetPrinterStatus(const std::string& name, std::uint32_t status) override;

 private:
  struct Printer {
    std::uint32_t status = 0;
    std::vector<std::uint32_t> history;
  };
  mutable std::mutex mutex_;
  std::map<std::string, Printer> printers_;
  int setCount_ = 0;
};

}  // namespace plat
