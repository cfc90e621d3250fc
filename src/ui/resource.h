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
