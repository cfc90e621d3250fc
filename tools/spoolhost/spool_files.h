// A job's files in the spool folder: its data, written as it comes, and its
// record (printer, port, size, state, copies), so that a daemon that dies
// finds its jobs again when it starts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace spoolhost {

struct JobRecord {
  std::uint32_t id = 0;
  std::string printer;
  std::string port;
  std::uint64_t size = 0;  // bytes of data, once complete
  bool complete = false;   // the client sent the whole job
  bool printing = false;   // the job had reached its port
  unsigned copies = 1;
  unsigned copiesDone = 0;
};

class SpoolFolder {
 public:
  explicit SpoolFolder(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }
  std::string DataPath(std::uint32_t id) const;
  std::string RecordPath(std::uint32_t id) const;

  // Writes the record whole or not at all (a temporary file renamed over
  // it); `durable` also waits until it is on the disk. False with a reason.
  bool WriteRecord(const JobRecord& record, bool durable, std::string* error) const;
  // The records in the folder, by id; a record that cannot be read is one
  // with only its id and a reason in *damaged.
  std::vector<JobRecord> ReadRecords(std::vector<std::pair<std::uint32_t, std::string>>* damaged) const;
  // Removes the job's files.
  void Remove(std::uint32_t id) const;
  // Removes what a daemon that died left half made: temporary files, and data
  // files without a record.
  void RemoveStrays() const;

  // A new, empty data file (0600), open for appending; invalid with a reason.
  tools::UniqueFd CreateData(std::uint32_t id, std::string* error) const;
  tools::UniqueFd OpenData(std::uint32_t id, std::string* error) const;
  // The size of the job's data file, or -1 when it is missing.
  long long DataSize(std::uint32_t id) const;

  // Ids keep growing across restarts: the next one is kept in the folder.
  std::uint32_t LoadNextId() const;
  bool StoreNextId(std::uint32_t next, std::string* error) const;

 private:
  bool WriteFile(const std::string& name, const std::string& text, bool durable, std::string* error) const;

  std::string path_;
};

}  // namespace spoolhost
