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

// Where a file's transfer starts: at byte `offset`, continuing a partial copy
// of the body the server identified by `validator`; offset 0: from the start.
struct ResumeFrom {
    uint64_t offset = 0;
    std::wstring validator;
};

// How a file's transfer ended.
enum class FetchOutcome {
    kDone,            // the whole body arrived
    kCancelled,       // the user cancelled (or the process is asked to end)
    kNetworkFailure,  // refused, reset, cut short, silent: worth another attempt
    kResumeRefused,   // a resumed request answered with neither 206 at the offset, 200 nor 5xx (a 416)
    kTooLarge,        // the body ran past its bound: it is not the listed content
    kFailed,          // anything else (a bound, a redirect refused, the sink): another attempt would fail too
};

class Downloader {
public:
    // Opens the Internet session; a null session is kept, and every fetch
    // then fails, so the run falls back to the manifests already on disk.
    Downloader();
    // Another transfer in the same session (its own connection and worker).
    explicit Downloader(SharedSession* session);
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // The manifest: no window and no Cancel, so all of it must arrive within
    // the manifest deadline and size cap; a file cut off by either is deleted,
    // since it could still parse as a whole one.
    bool FetchManifest(const wchar_t* url, const wchar_t* relativePath);
    // A file of the update into sink, a body of at most maxBytes in all: each
    // call may wait up to the stall limit, and every block is reported to
    // progress, whose Pump decides cancellation. With from.offset, the
    // request asks for the rest (Range and If-Range); a 206 at that offset
    // continues the sink's bytes, a 200 starts again from zero.
    FetchOutcome FetchFile(const wchar_t* url, ByteSink& sink, uint64_t maxBytes, Progress& progress,
                           const ResumeFrom& from = ResumeFrom());
    // The error of the last failed transfer (WinINet's, or a timeout's).
    DWORD LastError() const { return lastError_; }

    HINTERNET Session() const { return session_ != nullptr ? session_->Get() : nullptr; }
    SharedSession* Shared() const { return session_; }

private:
    // How a network call or a transfer ended.
    enum class CallEnd { kFinished, kTimedOut, kCancelled, kLimit, kTooLarge, kNetwork, kResumeRefused, kFailed };

    // The time a transfer may still wait: the stall limit for each call, and
    // for the manifest a deadline for the whole transfer.
    struct TransferClock {
        explicit TransferClock(bool withDeadline);
        uint32_t NextWait(bool& deadlineBound) const;
        ULONGLONG deadline;
    };

    // progress is null for the manifest.
    CallEnd Fetch(const wchar_t* url, ByteSink& sink, uint64_t maxBytes, Progress* progress, const ResumeFrom& from);
    CallEnd AwaitCall(const wchar_t* url, const TransferClock& clock, Progress* progress);
    // True when the worker holds the request of the final answer.
    bool OpenFollowingRedirects(const wchar_t* url, const std::wstring& headers, const TransferClock& clock,
                                Progress* progress, CallEnd& end);
    // Logs a connection, name, certificate or read failure and keeps its error.
    void LogFailure(const wchar_t* url, DWORD error);
    CallEnd Receive(ByteSink& sink, const wchar_t* url, uint64_t maxBytes, const TransferClock& clock,
                    Progress* progress);
    // One [FAIL] line for a call that could not be started.
    void LogNoThread(const wchar_t* url);

    SharedSession* session_ = nullptr;
    DWORD lastError_ = ERROR_SUCCESS;
    NetworkWorker worker_;
};

// Whether a transfer may follow a redirect from one absolute URL to another.
bool IsRedirectAllowed(const std::wstring& from, const std::wstring& to);
