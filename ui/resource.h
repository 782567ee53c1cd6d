#pragma once

// Resource and control identifiers of the dialog program; shared by the .rc and the code.
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_ZQ418_FIRMWARE_TOOL_DIALOG 102
#define IDR_MAINFRAME 128

#define IDC_PORT_LIST 1001
#define IDC_SELECT_FIRMWARE 1002
#define IDC_FIRMWARE_PATH 1003
#define IDC_UPDATE 1004
#define IDC_LOG 1005
#define IDC_PROGRESS 1006

// System-menu command of the About item; the low four bits are the system's own.
#define IDM_ABOUTBOX 0x0010
