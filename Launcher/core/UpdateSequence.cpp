// The update phase of a run: manifest, backup and fallback, verification,
// downloads with the progress window, and the decision to launch.
#include "core/Constants.h"
#include "core/FileHelpers.h"
#include "core/RunLog.h"
#include "core/Updater.h"
#include "manifest/ManifestSignature.h"

#include <string>

namespace {

constexpr wchar_t kUpdateFailedText[] =
    L"Failed to download updates.\r\n\r\nCheck your Internet connection, or try again later.";

// A signed build trusts a manifest file only together with a signature that
// verifies with its key; name says which of the two files it is in the log.
bool LoadManifestFile(Manifest& manifest, const wchar_t* path, const wchar_t* signaturePath, const wchar_t* name) {
    if constexpr (!kManifestSigned) {
        return LoadManifest(manifest, path);
    } else {
        bool valid = false;
        switch (LoadSignedManifest(manifest, path, signaturePath, kManifestPublicKeys, kManifestKeyCount, valid)) {
        case SignatureCheck::kValid:
            LogLine(L"[ OK ] %ls manifest signature is valid.", name);
            break;
        case SignatureCheck::kInvalid:
            LogLine(L"[FAIL] %ls manifest signature is invalid.", name);
            break;
        case SignatureCheck::kNoManifest:
            break;
        }
        return valid;
    }
}

// A signed release older than the backup's is a replay meant to downgrade:
// refused. Without a trusted backup (first run, or one saved by an unsigned
// build) there is nothing to compare with.
bool IsOlderThanBackup(const Manifest& manifest) {
    Manifest backup;
    bool valid = false;
    if (LoadSignedManifest(backup, kBackupManifestPath, kBackupSignaturePath, kManifestPublicKeys,
                           kManifestKeyCount, valid) !=
            SignatureCheck::kValid ||
        !valid || manifest.serial >= backup.serial) {
        return false;
    }
    LogLine(L"[FAIL] Update manifest serial %ls is lower than the backup's serial %ls.",
            std::to_wstring(manifest.serial).c_str(), std::to_wstring(backup.serial).c_str());
    return true;
}

// The backup keeps its signature beside it, so that it can be trusted later.
bool SaveBackup() {
    bool saved = CopyFileWithDirectories(kManifestPath, kBackupManifestPath);
    if constexpr (kManifestSigned) {
        saved = saved && CopyFileWithDirectories(kSignaturePath, kBackupSignaturePath);
    }
    return saved;
}

}  // namespace

bool Updater::UpdateFiles() {
    LogLine(L"[ OK ] Downloading update manifest file.");
    // Whether it arrived only decides whether its signature is worth a
    // request: whatever file is on disk is judged by parsing.
    bool fetched = DownloadFile(kManifestUrl, kManifestPath, false);
    if constexpr (kManifestSigned) {
        // Without a manifest there is nothing to sign, and a second wait for
        // an unreachable server would only delay the fallback.
        if (fetched) {
            LogLine(L"[ OK ] Downloading update manifest signature.");
            DownloadFile(kSignatureUrl, kSignaturePath, false);
        }
    }

    bool valid = LoadManifestFile(manifest, kManifestPath, kSignaturePath, L"Update");
    if constexpr (kManifestSigned) {
        valid = valid && !IsOlderThanBackup(manifest);
    }
    if (valid) {
        LogLine(L"[ OK ] Update manifest file is valid.");
        if (SaveBackup()) {
            LogLine(L"[ OK ] Backup of update manifest created.");
        } else {
            LogLine(L"[FAIL] Failed to create backup of update manifest.");
        }
    } else {
        LogLine(L"[ OK ] Update manifest file not available or invalid. Using backup copy...");
        if (!LoadManifestFile(manifest, kBackupManifestPath, kBackupSignaturePath, L"Backup update")) {
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
