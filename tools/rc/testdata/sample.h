// Ids for the rc2cpp sample script.
#pragma once
#define IDD_SAMPLE 300
#define IDC_FIRST 1000
#define IDC_SECOND (IDC_FIRST + 1)
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
#ifdef RC_INVOKED
#define SAMPLE_STYLE (WS_POPUP | WS_CAPTION)
#else
#error the sample is for resource compilers only
#endif
