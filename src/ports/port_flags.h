// A port key's three popup flags, "Offline", "OutOfPaper", "NoResponse" in
// this order, into or out of the port's record. The writing stops at the first
// value that cannot be stored and returns its result.
#pragma once

#include "platform.h"
#include "ports/port_record.h"

void ReadPortFlags(HKEY hPortKey, PortRecord* pRecord);
LONG WritePortFlags(HKEY hPortKey, const PortRecord* pRecord);
