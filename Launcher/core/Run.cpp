#include "core/Run.h"

#include "common/Constants.h"
#include "common/RunLog.h"
#include "core/Launch.h"
#include "core/ObtainManifest.h"
#include "manifest/Manifest.h"
#include "transfer/Downloader.h"
#include "ui/ProgressWindow.h"

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

// Shows the window and fetches every stale entry into place; true when all
// ended current. A failure not caused by the user is shown to them.
bool FetchStale(HINSTANCE instance, Downloader& downloader, Manifest& manifest) {
    ProgressWindow window(instance);
    window.Show();
    double total = 0.0;
    double done = 0.0;
    manifest.ComputeTotals(total, done);
    window.Start(total, done);
    window.SetStatusText(L"Updating...");

    // The window is pumped while each arrival is digested too, and a click
    // given after the last block still counts: nothing starts once cancelled.
    bool ok = manifest.UpdateAll(
                  [&](const wchar_t* url, const wchar_t* path) { return DownloadEntry(downloader, window, url, path); },
                  [&] { return window.Pump(); }) &&
              window.Pump();
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
    Downloader downloader;
    Manifest manifest;
    auto fetch = [&](const wchar_t* url, const wchar_t* path) { return downloader.FetchManifest(url, path); };
    if (!ObtainManifest(manifest, fetch, BuiltInKeys())) {
        MessageBoxW(nullptr, kUpdateFailedText, kCaption, MB_ICONERROR);
        return 1;
    }
    if (!manifest.NeedsUpdate()) {
        LogLine(L"[ OK ] No update required.");
    } else if (!FetchStale(instance, downloader, manifest)) {
        return 1;
    }
    return LaunchApplication();
}
