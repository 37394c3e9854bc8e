// Resource and control ids of the dialog application; shared by the resource script and
// the C++ sources.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_VESKUPDATE_DIALOG 102
#define IDR_MAINFRAME 128
#define IDB_BOARD_PICTURE 136

#define IDC_START_INITIALIZATION 1000
#define IDC_STATUS_LABEL 1002
#define IDC_VERSION_TEXT 1005
#define IDC_DEVICE_VALUES 1006
#define IDC_STATUS_BOX 1007

// The system-menu About entry; the system reserves the low four bits of a command id.
#define IDM_ABOUTBOX 0x0010
// The framework's help command, routed to the application.
#define ID_HELP 0xE146

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
