// Every fixed name of the launcher. There is no configuration: the manifest
// URL comes from the build (LauncherConfig.h), everything else is here.
#pragma once

#include "common/LauncherConfig.h"

#include <cstddef>

constexpr const wchar_t kMutexName[] = L"Launcher.Quorval";
constexpr const wchar_t kAgentName[] = L"Launcher.Quorval";
constexpr const wchar_t kCaption[] = L"Quorval Launcher/Updater";
constexpr const wchar_t kApplicationName[] = L"Lumivex.exe";

constexpr const wchar_t kManifestUrl[] = LAUNCHER_MANIFEST_URL;
// The launcher's own working folder below the install folder.
constexpr const wchar_t kWorkingFolder[] = L"Launcher";
constexpr const wchar_t kLogPath[] = L"Launcher\\log.txt";
constexpr const wchar_t kManifestPath[] = L"Launcher\\manifest.xml";
constexpr const wchar_t kBackupManifestPath[] = L"Launcher\\manifest_backup.xml";
// New content is received here, beside the install, and moved into place only
// once every stale file has arrived whole; the journal lists the moves.
constexpr const wchar_t kStagingFolder[] = L"Launcher\\staging";
constexpr const wchar_t kCommitJournal[] = L"Launcher\\staging\\commit.journal";
// A build made to remember what it verified keeps the record here
// (manifest/VerifiedRecord.h); another build neither reads nor writes it.
constexpr bool kRememberVerified = LAUNCHER_REMEMBER_VERIFIED != 0;
constexpr const wchar_t kVerifiedRecordPath[] = L"Launcher\\verified.dat";

// A build made with public keys accepts only manifests signed with one of them
// (more than one while a new key takes over from an old one).
constexpr bool kManifestSigned = LAUNCHER_MANIFEST_KEY_COUNT != 0;
constexpr size_t kManifestKeyCount = kManifestSigned ? LAUNCHER_MANIFEST_KEY_COUNT : 1;
constexpr const unsigned char kManifestPublicKeys[kManifestKeyCount][64] = {LAUNCHER_MANIFEST_KEY_BYTES};
constexpr const wchar_t kSignatureUrl[] = LAUNCHER_MANIFEST_URL L".sig";
constexpr const wchar_t kSignaturePath[] = L"Launcher\\manifest.xml.sig";
constexpr const wchar_t kBackupSignaturePath[] = L"Launcher\\manifest_backup.xml.sig";
// The backup pair is replaced through these: copies, then a journal, then renames.
constexpr const wchar_t kStagedBackupManifestPath[] = L"Launcher\\manifest_backup.xml.new";
constexpr const wchar_t kStagedBackupSignaturePath[] = L"Launcher\\manifest_backup.xml.sig.new";
constexpr const wchar_t kBackupJournal[] = L"Launcher\\manifest_backup.commit";
