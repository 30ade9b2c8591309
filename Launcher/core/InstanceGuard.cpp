#include "core/InstanceGuard.h"

#include "common/Constants.h"

bool AcquireInstanceGuard(ScopedHandle& guard) {
    guard.Reset(CreateMutexW(nullptr, TRUE, kMutexName));
    if (!guard.IsValid()) {
        return false;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        guard.Close();
        return false;
    }
    return true;
}
