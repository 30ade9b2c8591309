#include "common/Progress.h"

#include <windows.h>

bool WaitAnswering(Progress& progress, uint32_t milliseconds) {
    ULONGLONG until = GetTickCount64() + milliseconds;
    for (ULONGLONG now; (now = GetTickCount64()) < until;) {
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(until - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (!progress.Pump()) {
            return false;
        }
    }
    return progress.Pump();
}
