// Kernel objects behind HANDLE values of the stand-ins.
#pragma once

#include <memory>

namespace plat {

// Every HANDLE the stand-ins give out points to one of these; CloseHandle
// deletes the holder, and the object lives while anything else still uses it.
struct KernelObject {
  virtual ~KernelObject() = default;
};

struct HandleHolder {
  std::shared_ptr<KernelObject> object;
};

}  // namespace plat
