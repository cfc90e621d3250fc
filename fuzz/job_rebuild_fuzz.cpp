// Fuzzes the print box's job rebuilding: any byte stream, fed whole or in
// pieces of any size, rebuilds the same jobs, never more bytes than came in.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "printbox/job_rebuilder.h"

namespace {

struct Outcome {
  std::vector<printbox::RebuiltJob> jobs;
  std::size_t malformed = 0;
};

Outcome Rebuild(const std::uint8_t* data, std::size_t size, std::size_t piece) {
  printbox::JobRebuilder r;
  Outcome out;
  for (std::size_t i = 0; i < size; i += piece) {
    r.Feed(std::span<const std::uint8_t>(data + i, std::min(piece, size - i)));
    for (auto& j : r.TakeFinished()) out.jobs.push_back(std::move(j));
  }
  r.End();
  for (auto& j : r.TakeFinished()) out.jobs.push_back(std::move(j));
  out.malformed = r.MalformedPackets();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t piece = 1 + data[0] % 64;
  ++data;
  --size;
  Outcome whole = Rebuild(data, size, size ? size : 1);
  Outcome split = Rebuild(data, size, piece);
  if (whole.malformed > 1 || whole.malformed != split.malformed) std::abort();
  if (whole.jobs.size() != split.jobs.size()) std::abort();
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < whole.jobs.size(); ++i) {
    if (whole.jobs[i].state != split.jobs[i].state || whole.jobs[i].data != split.jobs[i].data) std::abort();
    bytes += whole.jobs[i].data.size();
  }
  if (bytes > size) std::abort();
  return 0;
}
