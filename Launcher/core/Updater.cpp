#include "core/Updater.h"

#include "core/Constants.h"
#include "core/Launch.h"
#include "core/RunLog.h"

Updater::Updater(HINSTANCE moduleInstance) : instance(moduleInstance) {
    // A null session is kept: every download then fails and the run falls
    // back to the manifests already on disk.
    session = InternetOpenW(kAgentName, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
}

Updater::~Updater() {
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
