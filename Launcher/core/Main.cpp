// Entry point: single-instance guard, then one run.
#include "common/Handles.h"
#include "core/InstanceGuard.h"
#include "core/Run.h"

#include <windows.h>
#include <commctrl.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    ScopedHandle guard;
    if (!AcquireInstanceGuard(guard)) {
        return 1;
    }

    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    return RunUpdate(instance);
}
