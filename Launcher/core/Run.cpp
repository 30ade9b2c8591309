#include "core/Run.h"

#include "common/Constants.h"
#include "common/Handles.h"
#include "common/RunLog.h"
#include "core/FetchAll.h"
#include "core/Launch.h"
#include "core/ObtainManifest.h"
#include "install/Commit.h"
#include "install/StagedFile.h"
#include "manifest/Manifest.h"
#include "manifest/VerifiedRecord.h"
#include "transfer/Downloader.h"
#include "ui/ProgressWindow.h"

#include <unordered_set>
#include <vector>

namespace {

constexpr wchar_t kUpdateFailedText[] =
    L"Failed to download updates.\r\n\r\nCheck your Internet connection, or try again later.";

// The manifest's keys as this build was made: none for an unsigned build.
ManifestKeys BuiltInKeys() {
    ManifestKeys trusted;
    if constexpr (kManifestSigned) {
        trusted.keys = kManifestPublicKeys;
        trusted.count = kManifestKeyCount;
        trusted.load = LoadSignedManifest;
    }
    return trusted;
}

// Shows the window, receives every stale entry into the staging folder and,
// once all have arrived whole, moves them into place together; true when the
// install is now current. A failure not caused by the user is shown to them.
// Each arrival is noted in the record, in a build that keeps one.
bool FetchStale(HINSTANCE instance, Downloader& downloader, const Manifest& manifest, VerificationRecord& record) {
    ProgressWindow window(instance);
    window.Show();
    double total = 0.0;
    double done = 0.0;
    manifest.ComputeTotals(total, done);
    window.Start(total, done);
    window.SetStatusText(L"Updating...");

    ScopedCryptProvider provider(AcquireDigestProvider(manifest.signedFormat));
    std::vector<const ManifestEntry*> stale;
    for (const ManifestEntry& entry : manifest.entries) {
        if (!entry.IsCurrent()) {
            stale.push_back(&entry);
        }
    }
    bool ok = HasRoomFor(BytesToFetch(manifest));
    // One move per file, whatever the manifest lists twice: the later entry
    // wins, as it always did.
    std::vector<Replacement> staged;
    if (ok) {
        std::vector<bool> arrived = FetchAll(downloader, window, stale, provider.Get());
        std::unordered_set<std::wstring> moved;
        for (size_t i = 0; i < stale.size(); ++i) {
            ok = ok && arrived[i];
            std::wstring path = StagingPathFor(stale[i]->path);
            if (moved.insert(path).second) {
                staged.push_back({path, stale[i]->path});
            }
            if constexpr (kRememberVerified) {
                if (arrived[i]) {
                    record.NoteStaged(*stale[i], path);
                }
            }
        }
    }
    // A click given after the last block still counts: nothing is replaced,
    // and nothing starts, once cancelled. What arrived whole is kept staged
    // when the update fails, for the next run to use rather than fetch again.
    auto wait = [&](uint32_t milliseconds) { return WaitAnswering(window, milliseconds); };
    ok = ok && window.Pump() && CommitReplacements(staged, wait);
    if (ok) {
        window.SetStatusText(L"Update complete.");
    } else if (!window.IsCancelled()) {
        window.SetStatusText(L"Update failed.");
        // Owned by the window, whose size line keeps refreshing meanwhile.
        MessageBoxW(window.Handle(), kUpdateFailedText, kCaption, MB_ICONERROR);
    }
    window.Close();
    return ok;
}

}  // namespace

int RunUpdate(HINSTANCE instance) {
    OpenRunLog();
    // Before anything reads a file of the install: a run killed mid-update.
    FinishInterruptedCommit();
    Downloader downloader;
    Manifest manifest;
    auto fetch = [&](const wchar_t* url, const wchar_t* path) { return downloader.FetchManifest(url, path); };
    if (!ObtainManifest(manifest, fetch, BuiltInKeys())) {
        MessageBoxW(nullptr, kUpdateFailedText, kCaption, MB_ICONERROR);
        return 1;
    }
    // Only a build made to remember what it verified reads or writes the record.
    VerificationRecord record(kVerifiedRecordPath);
    bool stale = manifest.NeedsUpdate(kRememberVerified ? &record : nullptr);
    if constexpr (kRememberVerified) {
        record.SaveVerified(manifest);
    }
    // Staged copies of entries that are gone, changed or current are of no use.
    PruneStaging(manifest);
    if (!stale) {
        LogLine(L"[ OK ] No update required.");
    } else if (!FetchStale(instance, downloader, manifest, record)) {
        return 1;
    } else if constexpr (kRememberVerified) {
        // Every stale entry is now in place, as its digests were checked on arrival.
        record.SaveInstalled(manifest);
    }
    return LaunchApplication();
}
