// A port key's popup flags, read into and written from the port's record.
#include "ports/port_flags.h"

#include "base/module_state.h"
#include "base/registry_keys.h"
#include "base/settings.h"

void ReadPortFlags(HKEY hPortKey, PortRecord* pRecord) {
  WriteShared(pRecord->dwOffline, ReadFlagValue(hPortKey, REG_VALUE_OFFLINE));
  WriteShared(pRecord->dwOutOfPaper, ReadFlagValue(hPortKey, REG_VALUE_OUT_OF_PAPER));
  WriteShared(pRecord->dwNoResponse, ReadFlagValue(hPortKey, REG_VALUE_NO_RESPONSE));
}

LONG WritePortFlags(HKEY hPortKey, const PortRecord* pRecord) {
  LONG lResult = WriteFlagValue(hPortKey, REG_VALUE_OFFLINE, ReadShared(pRecord->dwOffline));
  if (lResult == ERROR_SUCCESS) lResult = WriteFlagValue(hPortKey, REG_VALUE_OUT_OF_PAPER, ReadShared(pRecord->dwOutOfPaper));
  if (lResult == ERROR_SUCCESS) lResult = WriteFlagValue(hPortKey, REG_VALUE_NO_RESPONSE, ReadShared(pRecord->dwNoResponse));
  return lResult;
}
