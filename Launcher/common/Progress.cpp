#include "common/Progress.h"

#include <windows.h>

namespace {

// A Cancel is answered within this, also on a thread without a window.
constexpr DWORD kSliceMs = 100;

}  // namespace

bool WaitAnswering(Progress& progress, uint32_t milliseconds) {
    ULONGLONG until = GetTickCount64() + milliseconds;
    for (ULONGLONG now; (now = GetTickCount64()) < until;) {
        DWORD slice = until - now < kSliceMs ? static_cast<DWORD>(until - now) : kSliceMs;
        MsgWaitForMultipleObjectsEx(0, nullptr, slice, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (!progress.Pump()) {
            return false;
        }
    }
    return progress.Pump();
}
