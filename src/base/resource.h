// Resource ids of the module's string table and dialogs, shared by the
// resource script and the code.
#pragma once

#define IDS_OUT_OF_MEMORY 2
#define IDS_TIMER_RANGE 506
#define IDS_OUT_OF_PAPER 507
#define IDS_NO_RESPONSE 508
#define IDS_OFF_LINE 509
#define IDS_PRINTER_IS 510
#define IDS_ADD_PORT 511
#define IDS_HELP_FILE 513
#define IDS_ENABLE_NETBEUI 514
#define IDS_TITLE 515
#define IDS_NOT_ENOUGH_MEMORY 516
#define IDS_PORT_DESCRIPTION 518
#define IDS_MONITOR_NAME 519
#define IDS_ILLEGAL_VALUE 520
#define IDS_ONE_CONFIGURE 521
#define IDS_REGISTRY_INFO 522
#define IDS_MODULE_NAME 523
#define IDS_SETTINGS_NOT_STORED 524

// Dialogs and their controls.
#define IDD_ABOUT 114
#define IDD_CONFIGURE 210
#define IDC_OFFLINE 1007
#define IDC_OUT_OF_PAPER 1008
#define IDC_NO_RESPONSE 1009
#define IDC_TIMER 1011
#define IDC_TIMER_SPIN 1015
#define IDC_HELP_BUTTON 1016
#define IDC_ABOUT 1017
#define IDC_INTERNAL 1021

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
