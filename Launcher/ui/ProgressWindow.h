// The progress dialog's procedure; the Updater's window operations are
// declared with the Updater.
#pragma once

#include <windows.h>

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The size line, "1.00 MB of 3.00 MB", for byte counts.
void FormatSizeText(double done, double total, wchar_t* text, size_t capacity);
