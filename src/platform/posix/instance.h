// What an HINSTANCE is in the stand-ins: a loaded module and its resources.
#pragma once

#include <string>

#include "../host/resources.h"

struct HINSTANCE__ {
  const plat::ResourceTable* resources = nullptr;
  void* dlHandle = nullptr;  // set by the loader for modules it opened
  std::string path;
};
