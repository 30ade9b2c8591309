// The one object of a run: the Internet session, the progress window and its
// counters, the cancelled flag and the manifest.
#pragma once

#include "common/Handles.h"
#include "manifest/Manifest.h"
#include "transfer/NetworkWorker.h"

#include <windows.h>
#include <wininet.h>

#include <cstdint>

class Updater {
public:
    static constexpr uint32_t kCancelled = 1;  // bit 0 of flags

    explicit Updater(HINSTANCE instance);
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Opens the log, brings the files up to date and starts the application;
    // returns the process exit code.
    int RunUpdate();

    // Transfer (transfer/Downloader.cpp).
    bool DownloadFile(const wchar_t* url, const wchar_t* relativePath, bool withProgress);

    // Progress window (ui/ProgressWindow.cpp).
    void ShowProgressWindow();
    void CloseProgressWindow();
    void SetStatusText(const wchar_t* text);
    void InitProgress();
    void AddProgress(uint32_t bytes);
    void UpdateSizeText();
    bool PumpMessages();
    void Cancel(HWND dialog);
    bool IsCancelled() const { return (flags & kCancelled) != 0; }

    HWND Window() const { return window; }
    HINTERNET Session() const { return session; }
    double Total() const { return total; }
    double Done() const { return done; }
    Manifest& GetManifest() { return manifest; }

private:
    // How a network call or a transfer ended.
    enum class CallEnd { kFinished, kTimedOut, kCancelled, kLimit, kFailed };

    // The time a transfer may still wait: the stall limit for each call, and
    // for the manifest a deadline for the whole transfer.
    struct TransferClock {
        explicit TransferClock(bool withDeadline);
        uint32_t NextWait(bool& deadlineBound) const;
        ULONGLONG deadline;
    };

    // Transfer steps (transfer/Downloader.cpp).
    CallEnd AwaitCall(const wchar_t* url, const TransferClock& clock, bool withProgress);
    HINTERNET OpenFollowingRedirects(const wchar_t* url, const TransferClock& clock, bool withProgress, CallEnd& end);
    CallEnd Receive(HINTERNET request, HANDLE file, const wchar_t* url, const wchar_t* relativePath,
                    const TransferClock& clock, bool withProgress);

    // Moves the bar to exactly `done` (ui/ProgressWindow.cpp).
    void ShowProgress();
    int DrawnBarLength() const;

    // The update phase (core/UpdateSequence.cpp): true when the application
    // may start, false when the run must end with 1.
    bool UpdateFiles();

    uint32_t flags = 0;
    HINSTANCE instance = nullptr;
    HINTERNET session = nullptr;
    HWND window = nullptr;
    double total = 0.0;
    double done = 0.0;
    Manifest manifest;

    NetworkWorker worker;
    int barPixels = 0;   // the bar's drawn length when full
    int barDrawn = -1;   // its drawn length after the last move
    ULONGLONG barMoved = 0;  // when it last moved (GetTickCount64)
};

// The download operation for Manifest::UpdateAll: context is the Updater.
bool DownloadEntry(void* updater, const wchar_t* url, const wchar_t* relativePath);
