// Compiled resources of a module and the instance handles that carry them.
#pragma once

#include <cstdint>

#include "../win32/types.h"

namespace plat {

struct ResourceString {
  std::uint16_t id;
  const char* text;
};

// One control of a dialog template, in tab order. The style holds what the
// resource script gave, with the defaults of its control statement.
struct DialogControl {
  const char* className;  // "BUTTON", "EDIT", "STATIC", "msctls_updown32", ...
  const char* text;
  int id;                 // -1 for controls without an id
  int x, y, cx, cy;       // dialog units
  std::uint32_t style;
  std::uint32_t exStyle;
};

struct DialogTemplate {
  std::uint16_t id;
  const char* caption;
  std::uint32_t style;
  std::uint32_t exStyle;
  int x, y, cx, cy;       // dialog units
  const char* fontName;
  int fontSize;
  const DialogControl* controls;
  std::size_t controlCount;
};

struct ResourceTable {
  const ResourceString* strings;
  std::size_t stringCount;
  const DialogTemplate* dialogs;
  std::size_t dialogCount;
};

// The exported symbol under which a module .so publishes its table.
inline constexpr const char* kResourceTableSymbol = "TavroResourceTable";

// An instance handle for resources linked into the caller (unit tests). The
// handle lives until the process ends.
HINSTANCE MakeModuleInstance(const ResourceTable* table);
const ResourceTable* ResourcesOf(HINSTANCE instance);

}  // namespace plat
