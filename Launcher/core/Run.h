// One run of the launcher, from opening the log to the application's end.
#pragma once

#include <windows.h>

// Opens the log, obtains the manifest, brings the files up to date and starts
// the application; returns the process exit code (1 when the run stops).
int RunUpdate(HINSTANCE instance);
