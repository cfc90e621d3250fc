// A port key's three popup flags, "Offline", "OutOfPaper", "NoResponse" in
// this order, into or out of the port's record.
#pragma once

#include "platform.h"
#include "ports/port_record.h"

void ReadPortFlags(HKEY hPortKey, PortRecord* pRecord);
void WritePortFlags(HKEY hPortKey, const PortRecord* pRecord);
