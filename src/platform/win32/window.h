// Window-system stand-ins: string resources and message boxes. Dialogs, check
// boxes, edits and help join these for the configuration dialog.
#pragma once

#include "types.h"

// Message box styles and answers.
#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_ICONHAND 0x00000010L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONINFORMATION 0x00000040L
#define MB_ICONSTOP MB_ICONHAND
#define MB_SETFOREGROUND 0x00010000L
#define IDOK 1
#define IDCANCEL 2

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
// Copies string resource uID of the instance into lpBuffer (at most cchBufferMax
// characters with the terminating zero); returns the characters copied, or 0.
int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);

// Common controls: nothing to initialise in the stand-in.
typedef struct tagINITCOMMONCONTROLSEX {
  DWORD dwSize;
  DWORD dwICC;
} INITCOMMONCONTROLSEX, *LPINITCOMMONCONTROLSEX;
#define ICC_UPDOWN_CLASS 0x00000010
void WINAPI InitCommonControls(void);
BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce);
