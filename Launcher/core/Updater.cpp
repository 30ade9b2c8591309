#include "core/Updater.h"

#include "core/Constants.h"
#include "core/Launch.h"
#include "core/RunLog.h"
#include "transfer/TransferLimits.h"

Updater::Updater(HINSTANCE moduleInstance) : instance(moduleInstance) {
    // A null session is kept: every download then fails and the run falls
    // back to the manifests already on disk.
    session = InternetOpenW(kAgentName, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (session != nullptr) {
        // Windows honours these; under Wine the launcher's own bounds hold.
        DWORD timeout = kStallLimitMs;
        for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                             INTERNET_OPTION_RECEIVE_TIMEOUT}) {
            InternetSetOptionW(session, option, &timeout, sizeof(timeout));
        }
    }
}

Updater::~Updater() {
    // A call still outstanding is left to finish on its own thread.
    worker.Abandon();
    if (session != nullptr) {
        InternetCloseHandle(session);
        session = nullptr;
    }
}

int Updater::RunUpdate() {
    OpenRunLog();
    if (!UpdateFiles()) {
        return 1;
    }
    return LaunchApplication();
}
