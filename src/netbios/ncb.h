// The NetBIOS command layer: one operation per command that the module
// issues, each returning the command's one-byte return code.
#pragma once

#include "platform.h"

// Zeroes the control block and fills both name fields with spaces.
void NcbClear(PNCB pNcb);
// Copies a zero-terminated name over a 16-byte field of spaces. Names longer
// than 16 characters are cut at 16; no caller passes one.
void NcbSetName(PUCHAR pField, LPCSTR pName);

// Caller's block: the buffer receives a LANA_ENUM.
UCHAR NetbiosEnum(PNCB pNcb, PUCHAR pBuffer, WORD wLength);
// Own block: 18 sessions, 6 names.
UCHAR NetbiosReset(UCHAR bLana);
// Caller's block: ADAPTER_STATUS and NAME_BUFFERs of callName ("*" = local).
UCHAR NetbiosAdapterStatus(UCHAR bLana, PNCB pNcb, PUCHAR pBuffer, WORD wLength, LPCSTR pCallName);
// Own block.
UCHAR NetbiosDeleteName(UCHAR bLana, LPCSTR pName);
// Own blocks: deletes the name first (code ignored), then adds it as a group
// name when dwIsGroup is non-zero; on success stores the name number in
// *pNameNumber, which is left alone otherwise.
UCHAR NetbiosAddName(UCHAR bLana, LPCSTR pName, DWORD dwIsGroup, PUCHAR pNameNumber);
// Caller's block: a datagram from name number bNameNumber to pCallName.
UCHAR NetbiosDatagramSend(UCHAR bLana, PNCB pNcb, PUCHAR pBuffer, WORD wLength, LPCSTR pCallName,
                          UCHAR bNameNumber);
// Caller's block: waits for a datagram to name number bNameNumber;
// ncb_length is the count received.
UCHAR NetbiosDatagramReceive(UCHAR bLana, PNCB pNcb, PUCHAR pBuffer, WORD wLength, UCHAR bNameNumber);
// Caller's block: no time-outs; ncb_lsn is the new session's number.
UCHAR NetbiosCall(UCHAR bLana, PNCB pNcb, LPCSTR pLocalName, LPCSTR pRemoteName);
// Caller's block.
UCHAR NetbiosHangUp(UCHAR bLana, PNCB pNcb, UCHAR bLsn);
// Caller's block.
UCHAR NetbiosSend(UCHAR bLana, PNCB pNcb, PUCHAR pBuffer, WORD wLength, UCHAR bLsn);
