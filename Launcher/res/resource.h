// Resource ids shared by the resource script and the code.
#pragma once

#define IDI_LAUNCHER 1
#define IDD_PROGRESS 1
#define IDC_PROGRESS_BAR 101
#define IDC_STATUS_TEXT 102
#define IDC_SIZE_TEXT 103
