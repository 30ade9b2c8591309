// The one object of a run: the Internet session, the progress window and its
// counters, the cancelled flag and the manifest.
#pragma once

#include "manifest/Manifest.h"

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
};

// The download operation for Manifest::UpdateAll: context is the Updater.
bool DownloadEntry(void* updater, const wchar_t* url, const wchar_t* relativePath);
