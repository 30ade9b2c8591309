// Entry point: single-instance guard, then one run.
#include "common/Constants.h"
#include "common/Handles.h"
#include "core/Run.h"

#include <windows.h>
#include <commctrl.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // The guard is the named object's existence; it is never waited on.
    ScopedHandle guard(CreateMutexW(nullptr, TRUE, kMutexName));
    if (guard.IsValid() && GetLastError() == ERROR_ALREADY_EXISTS) {
        return 1;
    }

    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    return RunUpdate(instance);
}
