#include "core/ObtainManifest.h"

#include "common/Constants.h"
#include "common/FileHelpers.h"
#include "common/RunLog.h"

#include <string>

namespace {

// A signed build trusts a manifest file only together with a signature that
// verifies with one of its keys; name says which of the two files it is in
// the log.
bool LoadTrusted(Manifest& manifest, const wchar_t* path, const wchar_t* signaturePath, const ManifestKeys& trusted,
                 const wchar_t* name) {
    if (trusted.count == 0) {
        return LoadManifest(manifest, path);
    }
    bool valid = false;
    switch (LoadSignedManifest(manifest, path, signaturePath, trusted.keys, trusted.count, valid)) {
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

// A signed release older than the backup's is a replay meant to downgrade:
// refused. Without a trusted backup (first run, or one saved by an unsigned
// build) there is nothing to compare with.
bool IsOlderThanBackup(const Manifest& manifest, const ManifestKeys& trusted) {
    Manifest backup;
    bool valid = false;
    if (LoadSignedManifest(backup, kBackupManifestPath, kBackupSignaturePath, trusted.keys, trusted.count, valid) !=
            SignatureCheck::kValid ||
        !valid || manifest.serial >= backup.serial) {
        return false;
    }
    LogLine(L"[FAIL] Update manifest serial %ls is lower than the backup's serial %ls.",
            std::to_wstring(manifest.serial).c_str(), std::to_wstring(backup.serial).c_str());
    return true;
}

// The backup keeps its signature beside it, so that it can be trusted later.
bool SaveBackup(const ManifestKeys& trusted) {
    bool saved = CopyFileWithDirectories(kManifestPath, kBackupManifestPath);
    if (trusted.count != 0) {
        saved = saved && CopyFileWithDirectories(kSignaturePath, kBackupSignaturePath);
    }
    return saved;
}

}  // namespace

bool ObtainManifest(Manifest& manifest, const ManifestFetch& fetch, const ManifestKeys& trusted) {
    LogLine(L"[ OK ] Downloading update manifest file.");
    // Whether it arrived only decides whether its signature is worth a
    // request: whatever file is on disk is judged by parsing.
    bool fetched = fetch(kManifestUrl, kManifestPath);
    // Without a manifest there is nothing to sign, and a second wait for an
    // unreachable server would only delay the fallback.
    if (trusted.count != 0 && fetched) {
        LogLine(L"[ OK ] Downloading update manifest signature.");
        fetch(kSignatureUrl, kSignaturePath);
    }

    bool valid = LoadTrusted(manifest, kManifestPath, kSignaturePath, trusted, L"Update");
    if (trusted.count != 0) {
        valid = valid && !IsOlderThanBackup(manifest, trusted);
    }
    if (valid) {
        LogLine(L"[ OK ] Update manifest file is valid.");
        if (SaveBackup(trusted)) {
            LogLine(L"[ OK ] Backup of update manifest created.");
        } else {
            LogLine(L"[FAIL] Failed to create backup of update manifest.");
        }
        return true;
    }
    LogLine(L"[ OK ] Update manifest file not available or invalid. Using backup copy...");
    if (!LoadTrusted(manifest, kBackupManifestPath, kBackupSignaturePath, trusted, L"Backup update")) {
        LogLine(L"[FAIL] Invalid or no update manifest. Aborting.");
        return false;
    }
    LogLine(L"[ OK ] Backup update manifest file is valid. Continuing...");
    return true;
}
