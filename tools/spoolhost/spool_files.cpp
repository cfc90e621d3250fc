// A job's files in the spool folder: the data file and the record.
#include "spool_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace spoolhost {

using tools::UniqueFd;

namespace {

bool Fail(const std::string& what, std::string* error) {
  *error = what + ": " + std::strerror(errno);
  return false;
}

bool WriteAll(int fd, const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    ssize_t n = ::write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

// Record values are names the registry and the boxes gave: one line each.
std::string OneLine(std::string text) {
  std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return text;
}

std::optional<std::uint64_t> Number(const std::string& text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::stoull(text);
}

}  // namespace

std::string SpoolFolder::DataPath(std::uint32_t id) const { return path_ + "/" + std::to_string(id) + ".spl"; }
std::string SpoolFolder::RecordPath(std::uint32_t id) const { return path_ + "/" + std::to_string(id) + ".job"; }

bool SpoolFolder::WriteFile(const std::string& name, const std::string& text, bool durable,
                            std::string* error) const {
  const std::string temp = name + ".new";
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd.Valid()) return Fail(temp, error);
  if (!WriteAll(fd.Get(), text) || (durable && ::fsync(fd.Get()) != 0)) {
    Fail(temp, error);
    ::unlink(temp.c_str());
    return false;
  }
  fd.Reset();
  if (::rename(temp.c_str(), name.c_str()) != 0) {
    Fail(name, error);
    ::unlink(temp.c_str());
    return false;
  }
  if (durable) {
    // The rename itself is on the disk once the folder is.
    UniqueFd dir(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid() || ::fsync(dir.Get()) != 0) return Fail(path_, error);
  }
  return true;
}

bool SpoolFolder::WriteRecord(const JobRecord& r, bool durable, std::string* error) const {
  std::string text = "id " + std::to_string(r.id) + "\nprinter " + OneLine(r.printer) + "\nport " + OneLine(r.port) +
                     "\nsize " + std::to_string(r.size) + "\ncomplete " + (r.complete ? "1" : "0") + "\nstate " +
                     (r.printing ? "printing" : "queued") + "\ncopies " + std::to_string(r.copies) +
                     "\ncopies-done " + std::to_string(r.copiesDone) + "\n";
  return WriteFile(RecordPath(r.id), text, durable, error);
}

std::vector<JobRecord> SpoolFolder::ReadRecords(std::vector<std::pair<std::uint32_t, std::string>>* damaged) const {
  std::vector<JobRecord> records;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path_, ec)) {
    const std::string file = entry.path().filename().string();
    if (file.size() < 5 || file.compare(file.size() - 4, 4, ".job") != 0) continue;
    std::optional<std::uint64_t> id = Number(file.substr(0, file.size() - 4));
    if (!id || *id == 0 || *id > 0xffffffffULL) continue;
    std::ifstream in(entry.path());
    JobRecord r;
    r.id = static_cast<std::uint32_t>(*id);
    std::string line;
    bool sawId = false, sawPrinter = false, sawSize = false, sawCopies = false;
    while (std::getline(in, line)) {
      auto space = line.find(' ');
      std::string key = line.substr(0, space), value = space == std::string::npos ? "" : line.substr(space + 1);
      std::optional<std::uint64_t> n = Number(value);
      if (key == "id") sawId = n && *n == r.id;
      if (key == "printer") sawPrinter = !value.empty(), r.printer = value;
      if (key == "port") r.port = value;
      if (key == "size" && n) sawSize = true, r.size = *n;
      if (key == "complete") r.complete = value == "1";
      if (key == "state") r.printing = value == "printing";
      if (key == "copies" && n && *n >= 1 && *n <= 999) sawCopies = true, r.copies = static_cast<unsigned>(*n);
      if (key == "copies-done" && n && *n <= 999) r.copiesDone = static_cast<unsigned>(*n);
    }
    if (!sawId || !sawPrinter || !sawSize || !sawCopies)
      damaged->push_back({r.id, "its record " + entry.path().string() + " cannot be read"});
    else
      records.push_back(r);
  }
  std::sort(records.begin(), records.end(), [](const JobRecord& a, const JobRecord& b) { return a.id < b.id; });
  return records;
}

void SpoolFolder::Remove(std::uint32_t id) const {
  ::unlink(DataPath(id).c_str());
  ::unlink(RecordPath(id).c_str());
}

void SpoolFolder::RemoveStrays() const {
  std::error_code ec;
  std::vector<std::filesystem::path> strays;
  for (const auto& entry : std::filesystem::directory_iterator(path_, ec)) {
    const std::filesystem::path& file = entry.path();
    if (file.extension() == ".new" ||
        (file.extension() == ".spl" && !std::filesystem::exists(std::filesystem::path(file).replace_extension(".job"))))
      strays.push_back(file);
  }
  for (const auto& file : strays) ::unlink(file.c_str());
}

UniqueFd SpoolFolder::CreateData(std::uint32_t id, std::string* error) const {
  UniqueFd fd(::open(DataPath(id).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600));
  if (!fd.Valid()) Fail(DataPath(id), error);
  return fd;
}

UniqueFd SpoolFolder::OpenData(std::uint32_t id, std::string* error) const {
  UniqueFd fd(::open(DataPath(id).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) Fail(DataPath(id), error);
  return fd;
}

long long SpoolFolder::DataSize(std::uint32_t id) const {
  struct stat st {};
  return ::stat(DataPath(id).c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::uint32_t SpoolFolder::LoadNextId() const {
  std::ifstream in(path_ + "/next-id");
  std::string text;
  std::getline(in, text);
  std::optional<std::uint64_t> n = Number(text);
  return n && *n >= 1 && *n <= 0xffffffffULL ? static_cast<std::uint32_t>(*n) : 1;
}

bool SpoolFolder::StoreNextId(std::uint32_t next, std::string* error) const {
  // Not synced: it stands before every job's first byte, and a daemon that
  // dies leaves it to the system all the same; only a power cut could lose
  // it, and then the records still on the disk count too.
  return WriteFile(path_ + "/next-id", std::to_string(next) + "\n", false, error);
}

}  // namespace spoolhost
