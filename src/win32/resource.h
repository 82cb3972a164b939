// Resource and control ids of the Windows program: the templates of the main window (102), the
// About box (100), the message box (130) and the progress dialog (133), and their icons.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_PESAVO 102
#define IDI_MAIN 127
#define IDI_ABOUT 128
#define IDD_MESSAGE 130
#define IDD_PROGRESS 133
#define IDI_CONNECTED 139
#define IDI_DISCONNECTED 141

#define IDC_LIST 1000
#define IDC_CONNECT 1002
#define IDC_PORT 1004
#define IDC_LANGUAGE 1005
#define IDC_UNIT_KG 1010
#define IDC_UNIT_LB 1011
#define IDC_UNIT_LBOZ 1012
#define IDC_CLEAR 1013
#define IDC_REFRESH 1014
#define IDC_SAVE 1015
#define IDC_LANGUAGE_OK 1016
#define IDC_TEXT 1019
#define IDC_UNIT_GROUP 1019
#define IDC_PORT_GROUP 1020
#define IDC_LANGUAGE_GROUP 1021
#define IDC_PROGRESS_BAR 1027
#define IDC_TEST 1038
#define IDC_ABOUT_TEXT2 1040

#define IDM_ABOUTBOX 0x0010
#define IDM_LIVEPAGE 0x0020
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
