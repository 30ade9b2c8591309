// The update phase of a run: manifest, backup and fallback, verification,
// downloads with the progress window, and the decision to launch.
#include "core/Constants.h"
#include "core/FileHelpers.h"
#include "core/RunLog.h"
#include "core/Updater.h"

namespace {

constexpr wchar_t kUpdateFailedText[] =
    L"Failed to download updates.\r\n\r\nCheck your Internet connection, or try again later.";

}  // namespace

bool Updater::UpdateFiles() {
    LogLine(L"[ OK ] Downloading update manifest file.");
    // The result does not matter: whatever file is on disk is judged by parsing.
    DownloadFile(kManifestUrl, kManifestPath, false);

    if (LoadManifest(manifest, kManifestPath)) {
        LogLine(L"[ OK ] Update manifest file is valid.");
        if (CopyFileWithDirectories(kManifestPath, kBackupManifestPath)) {
            LogLine(L"[ OK ] Backup of update manifest created.");
        } else {
            LogLine(L"[FAIL] Failed to create backup of update manifest.");
        }
    } else {
        LogLine(L"[ OK ] Update manifest file not available or invalid. Using backup copy...");
        if (!LoadManifest(manifest, kBackupManifestPath)) {
            LogLine(L"[FAIL] Invalid or no update manifest. Aborting.");
            MessageBoxW(nullptr, kUpdateFailedText, kCaption, MB_ICONERROR);
            return false;
        }
        LogLine(L"[ OK ] Backup update manifest file is valid. Continuing...");
    }

    if (!manifest.NeedsUpdate()) {
        LogLine(L"[ OK ] No update required.");
        return true;
    }

    ShowProgressWindow();
    InitProgress();
    SetStatusText(L"Updating...");

    bool ok = manifest.UpdateAll(this, DownloadEntry);
    if (ok) {
        SetStatusText(L"Update complete.");
    } else if (!IsCancelled()) {
        SetStatusText(L"Update failed.");
        // Owned by the window, whose size line keeps refreshing meanwhile.
        MessageBoxW(window, kUpdateFailedText, kCaption, MB_ICONERROR);
    }
    CloseProgressWindow();
    return ok;
}
