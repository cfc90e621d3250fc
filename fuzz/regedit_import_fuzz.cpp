// Fuzzes the REGEDIT4 import: any text either imports, or fails naming a
// line; what imports exports to a text that imports to the same hive.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/host/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plat::ResetRegistry();
  std::string text(reinterpret_cast<const char*>(data), size);
  plat::RegistryStatus status = plat::ImportRegistry(text);
  if (!status) {
    if (status.error.rfind("line ", 0) != 0) std::abort();
    // Nothing of a refused text may be left in the hive.
    if (plat::ExportRegistry() != "REGEDIT4\n\n") std::abort();
    return 0;
  }
  std::string exported = plat::ExportRegistry();
  plat::ResetRegistry();
  if (!plat::ImportRegistry(exported)) std::abort();
  if (plat::ExportRegistry() != exported) std::abort();
  return 0;
}
