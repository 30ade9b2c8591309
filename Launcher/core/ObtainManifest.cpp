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
    if (trusted.load == nullptr) {
        return LoadManifest(manifest, path);
    }
    bool valid = false;
    switch (trusted.load(manifest, path, signaturePath, trusted.keys, trusted.count, valid)) {
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
    if (trusted.load(backup, kBackupManifestPath, kBackupSignaturePath, trusted.keys, trusted.count, valid) !=
            SignatureCheck::kValid ||
        !valid || manifest.serial >= backup.serial) {
        return false;
    }
    LogLine(L"[FAIL] Update manifest serial %ls is lower than the backup's serial %ls.",
            std::to_wstring(manifest.serial).c_str(), std::to_wstring(backup.serial).c_str());
    return true;
}

// The backup and, in a signed build, its signature are replaced as a pair:
// both are copied under temporary names, a journal then says the copies are
// complete, and only then are they renamed into place. A run killed midway
// leaves either the old pair or a journal to finish from, never a backup
// whose signature belongs to another manifest.
struct BackupFile {
    const wchar_t* source;
    const wchar_t* staged;
    const wchar_t* target;
};

constexpr BackupFile kBackupFiles[] = {
    {kSignaturePath, kStagedBackupSignaturePath, kBackupSignaturePath},
    {kManifestPath, kStagedBackupManifestPath, kBackupManifestPath},
};

size_t BackupFileCount(const ManifestKeys& trusted) {
    // Without keys there is no signature to keep: the manifest alone.
    return trusted.load != nullptr ? 2 : 1;
}

const BackupFile* FirstBackupFile(const ManifestKeys& trusted) {
    return kBackupFiles + (2 - BackupFileCount(trusted));
}

bool MoveIntoPlace(const BackupFile& file) {
    return MoveFileExW(file.staged, file.target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

// Finishes a replacement that a journal says was complete, or drops copies
// that never got that far.
void CompleteBackupReplacement() {
    bool committed = GetFileAttributesW(kBackupJournal) != INVALID_FILE_ATTRIBUTES;
    for (const BackupFile& file : kBackupFiles) {
        if (GetFileAttributesW(file.staged) == INVALID_FILE_ATTRIBUTES) {
            continue;  // already moved, or never copied
        }
        if (!committed || !MoveIntoPlace(file)) {
            DeleteFileW(file.staged);
        }
    }
    DeleteFileW(kBackupJournal);
}

bool WriteJournal() {
    std::wstring journal;
    return ResolveRelativePath(kBackupJournal, journal) && WriteWideText(journal, L"", true);
}

bool SaveBackup(const ManifestKeys& trusted) {
    const BackupFile* files = FirstBackupFile(trusted);
    size_t count = BackupFileCount(trusted);
    for (size_t i = 0; i < count; ++i) {
        if (!CopyFileWithDirectories(files[i].source, files[i].staged)) {
            CompleteBackupReplacement();  // no journal yet: drops the copies
            return false;
        }
    }
    if (!WriteJournal()) {
        DeleteFileW(kBackupJournal);
        CompleteBackupReplacement();
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (!MoveIntoPlace(files[i])) {
            return false;  // the journal stays: the next start finishes the pair
        }
    }
    DeleteFileW(kBackupJournal);
    return true;
}

}  // namespace

bool ObtainManifest(Manifest& manifest, const ManifestFetch& fetch, const ManifestKeys& trusted) {
    // Before anything reads the backup: a run killed while replacing it.
    CompleteBackupReplacement();
    LogLine(L"[ OK ] Downloading update manifest file.");
    // Whether it arrived only decides whether its signature is worth a
    // request: whatever file is on disk is judged by parsing.
    bool fetched = fetch(kManifestUrl, kManifestPath);
    // Without a manifest there is nothing to sign, and a second wait for an
    // unreachable server would only delay the fallback.
    if (trusted.load != nullptr && fetched) {
        LogLine(L"[ OK ] Downloading update manifest signature.");
        fetch(kSignatureUrl, kSignaturePath);
    }

    bool valid = LoadTrusted(manifest, kManifestPath, kSignaturePath, trusted, L"Update");
    if (trusted.load != nullptr) {
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
