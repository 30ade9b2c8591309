#include "core/Run.h"

#include "common/Constants.h"
#include "common/Handles.h"
#include "common/RunLog.h"
#include "core/FetchEntry.h"
#include "core/Launch.h"
#include "core/ObtainManifest.h"
#include "install/Commit.h"
#include "install/StagedFile.h"
#include "manifest/Manifest.h"
#include "transfer/Downloader.h"
#include "ui/ProgressWindow.h"

#include <cwchar>
#include <unordered_map>
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
bool FetchStale(HINSTANCE instance, Downloader& downloader, const Manifest& manifest) {
    ProgressWindow window(instance);
    window.Show();
    double total = 0.0;
    double done = 0.0;
    manifest.ComputeTotals(total, done);
    window.Start(total, done);
    window.SetStatusText(L"Updating...");

    ScopedCryptProvider provider(AcquireDigestProvider(manifest.signedFormat));
    std::vector<Replacement> staged;
    std::vector<const ManifestEntry*> stagedFor;  // the entry each replacement came from
    std::unordered_map<std::wstring, size_t> byStagedPath;
    auto stage = [&](const ManifestEntry& entry) {
        // One staged copy and one move per target, however often and in
        // whatever case the manifest names it.
        auto found = byStagedPath.find(StagingPathFor(entry.path));
        size_t same = found != byStagedPath.end() && IsSameTarget(staged[found->second].target, entry.path)
                          ? found->second
                          : staged.size();
        if (same < staged.size() && _wcsicmp(stagedFor[same]->md5.c_str(), entry.md5.c_str()) == 0 &&
            _wcsicmp(stagedFor[same]->sha256.c_str(), entry.sha256.c_str()) == 0) {
            LogLine(L"[ OK ] Using \"%ls\" as received for an earlier entry.", entry.path.c_str());
            return true;
        }
        if (!FetchEntry(downloader, window, entry, provider.Get())) {
            return false;
        }
        if (same == staged.size()) {
            byStagedPath[StagingPathFor(entry.path)] = staged.size();
            staged.push_back({StagingPathFor(entry.path), entry.path});
            stagedFor.push_back(&entry);
        } else {
            stagedFor[same] = &entry;  // listed again with other content: the later one wins, as it always did
        }
        return true;
    };
    // A click given after the last block still counts: nothing is replaced,
    // and nothing starts, once cancelled.
    // What arrived whole is kept staged when the update fails, for the next
    // run to use rather than fetch again.
    auto wait = [&](uint32_t milliseconds) { return WaitAnswering(window, milliseconds); };
    bool ok = HasRoomFor(BytesToFetch(manifest)) && manifest.UpdateAll(stage) && window.Pump() &&
              CommitReplacements(staged, wait);
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
    bool stale = manifest.NeedsUpdate();
    // Staged copies of entries that are gone, changed or current are of no use.
    PruneStaging(manifest);
    if (!stale) {
        LogLine(L"[ OK ] No update required.");
    } else if (!FetchStale(instance, downloader, manifest)) {
        return 1;
    }
    return LaunchApplication();
}
