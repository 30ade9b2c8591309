// HTTP GETs of one URL streamed into one file below the current directory,
// within the bounds of TransferLimits.h. The blocking WinINet calls run on a
// NetworkWorker, so every wait here has an end.
#pragma once

#include "common/ByteSink.h"
#include "common/Progress.h"
#include "transfer/NetworkWorker.h"

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

class Downloader {
public:
    // Opens the Internet session; a null session is kept, and every fetch
    // then fails, so the run falls back to the manifests already on disk.
    Downloader();
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // The manifest: no window and no Cancel, so all of it must arrive within
    // the manifest deadline and size cap; a file cut off by either is deleted,
    // since it could still parse as a whole one.
    bool FetchManifest(const wchar_t* url, const wchar_t* relativePath);
    // A file of the update into sink, a body of at most maxBytes: each call
    // may wait up to the stall limit, and every block is reported to
    // progress, whose Pump decides cancellation.
    bool FetchFile(const wchar_t* url, ByteSink& sink, uint64_t maxBytes, Progress& progress);

    HINTERNET Session() const { return session_ != nullptr ? session_->Get() : nullptr; }

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

    // progress is null for the manifest.
    CallEnd Fetch(const wchar_t* url, ByteSink& sink, uint64_t maxBytes, Progress* progress);
    CallEnd AwaitCall(const wchar_t* url, const TransferClock& clock, Progress* progress);
    // True when the worker holds the request of the final answer.
    bool OpenFollowingRedirects(const wchar_t* url, const TransferClock& clock, Progress* progress, CallEnd& end);
    CallEnd Receive(ByteSink& sink, const wchar_t* url, uint64_t maxBytes, const TransferClock& clock,
                    Progress* progress);
    // One [FAIL] line for a call that could not be started.
    void LogNoThread(const wchar_t* url) const;

    SharedSession* session_ = nullptr;
    NetworkWorker worker_;
};

// Logs which entry is fetched from where, then fetches it into sink as a file
// of the update (after a cancellation the line is still written, but nothing
// is requested).
bool DownloadEntry(Downloader& downloader, Progress& progress, const wchar_t* url, const wchar_t* relativePath,
                   ByteSink& sink, uint64_t maxBytes);

// Whether a transfer may follow a redirect from one absolute URL to another.
bool IsRedirectAllowed(const std::wstring& from, const std::wstring& to);
