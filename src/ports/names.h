// Port and printer names: their blocks, copying and comparing them.
#pragma once

#include "platform.h"

// The size of every name block of a port or printer record.
#define NAME_BLOCK_SIZE 260

// Name comparison of port and printer names: case-sensitive, unsigned, a
// double-byte character of the ANSI code page counting as one unit, a lead
// byte followed by the NUL counting as the end. A name is at most
// NAME_BLOCK_SIZE - 1 bytes (what its block holds); the comparison looks no
// further, so a longer name matches its stored copy. A null name is empty.
// Returns <0, 0 or >0.
int CompareNames(LPCSTR a, LPCSTR b);
// Selects the code page whose lead bytes CompareNames honours (0 or 1252:
// single-byte; 932: Shift-JIS). Returns FALSE for a code page it does not know.
BOOL SetNameCodePage(UINT codePage);
// Copies a name into a NAME_BLOCK_SIZE block, cut to what the block holds and
// always NUL-terminated; a null name gives an empty text.
void CopyName(LPSTR pBlock, LPCSTR pName);
// A new zero-filled NAME_BLOCK_SIZE block holding a copy of the name (cut as
// CopyName does), or null when memory is short. Freed with LocalFree.
LPSTR NewNameBlock(LPCSTR pName);
