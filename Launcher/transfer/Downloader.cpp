// One HTTP GET of one URL streamed into one file under the current directory,
// within the bounds of TransferLimits.h.
#include "core/FileHelpers.h"
#include "common/Handles.h"
#include "core/RunLog.h"
#include "core/Updater.h"
#include "transfer/TransferLimits.h"

#include <string>

namespace {

// Always from the server, never into the cache, no cookies either way.
// Redirects are followed here, so that a loop ends.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                                INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT;

// A Location may be relative to the URL that answered with it.
bool ResolveLocation(const std::wstring& base, const std::wstring& location, std::wstring& next) {
    DWORD length = INTERNET_MAX_URL_LENGTH;
    std::wstring combined(length, L'\0');
    if (!InternetCombineUrlW(base.c_str(), location.c_str(), &combined[0], &length, 0)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return false;
        }
        combined.assign(length + 1, L'\0');
        if (!InternetCombineUrlW(base.c_str(), location.c_str(), &combined[0], &length, 0)) {
            return false;
        }
    }
    combined.resize(length);
    next.swap(combined);
    return true;
}

unsigned Seconds(uint32_t milliseconds) { return milliseconds / 1000; }

}  // namespace

Updater::TransferClock::TransferClock(bool withDeadline)
    : deadline(withDeadline ? GetTickCount64() + kManifestDeadlineMs : 0) {}

uint32_t Updater::TransferClock::NextWait(bool& deadlineBound) const {
    deadlineBound = false;
    if (deadline == 0) {
        return kStallLimitMs;
    }
    ULONGLONG now = GetTickCount64();
    ULONGLONG left = deadline > now ? deadline - now : 0;
    if (left <= kStallLimitMs) {
        deadlineBound = true;
        return static_cast<uint32_t>(left);
    }
    return kStallLimitMs;
}

Updater::CallEnd Updater::AwaitCall(const wchar_t* url, const TransferClock& clock, bool withProgress) {
    bool deadlineBound = false;
    uint32_t limit = clock.NextWait(deadlineBound);
    HANDLE finished = worker.Finished();
    ULONGLONG start = GetTickCount64();
    // A quick answer is taken without looking at the queue; the window is
    // pumped after every block anyway.
    DWORD quiet = withProgress && kQuietWaitMs < limit ? kQuietWaitMs : limit;
    if (WaitForSingleObject(finished, quiet) == WAIT_OBJECT_0) {
        return CallEnd::kFinished;
    }
    while (withProgress) {
        ULONGLONG waited = GetTickCount64() - start;
        if (waited >= limit) {
            break;
        }
        DWORD woke = MsgWaitForMultipleObjectsEx(1, &finished, static_cast<DWORD>(limit - waited), QS_ALLINPUT,
                                                 MWMO_INPUTAVAILABLE);
        if (woke == WAIT_OBJECT_0) {
            return CallEnd::kFinished;
        }
        if (woke == WAIT_OBJECT_0 + 1 && !PumpMessages()) {
            worker.Abandon();
            return CallEnd::kCancelled;
        }
        if (woke == WAIT_FAILED) {
            break;
        }
    }
    if (WaitForSingleObject(finished, 0) == WAIT_OBJECT_0) {
        return CallEnd::kFinished;
    }
    worker.Abandon();
    if (deadlineBound) {
        LogLine(L"[FAIL] Download of \"%ls\" took longer than %u s (error %u).", url, Seconds(kManifestDeadlineMs),
                static_cast<unsigned>(ERROR_INTERNET_TIMEOUT));
    } else {
        LogLine(L"[FAIL] No data from \"%ls\" for %u s (error %u).", url, Seconds(kStallLimitMs),
                static_cast<unsigned>(ERROR_INTERNET_TIMEOUT));
    }
    return CallEnd::kTimedOut;
}

HINTERNET Updater::OpenFollowingRedirects(const wchar_t* url, const TransferClock& clock, bool withProgress,
                                          CallEnd& end) {
    std::wstring current = url;
    for (unsigned hops = 0;; ++hops) {
        if (!worker.StartOpen(session, current.c_str(), kRequestFlags)) {
            return nullptr;
        }
        end = AwaitCall(url, clock, withProgress);
        if (end != CallEnd::kFinished) {
            return nullptr;
        }
        ScopedInternetHandle request(worker.TakeRequest());
        if (!request.IsValid()) {
            return nullptr;
        }
        if (!IsRedirectStatus(worker.StatusCode()) || worker.Location().empty()) {
            return request.Release();
        }
        if (hops == kMaxRedirects) {
            LogLine(L"[FAIL] More than %u redirects from \"%ls\" (error %u).", kMaxRedirects, url,
                    static_cast<unsigned>(ERROR_HTTP_REDIRECT_FAILED));
            end = CallEnd::kLimit;
            return nullptr;
        }
        std::wstring next;
        if (!ResolveLocation(current, worker.Location(), next)) {
            return nullptr;
        }
        current.swap(next);
    }
}

Updater::CallEnd Updater::Receive(HINTERNET request, HANDLE file, const wchar_t* url, const wchar_t* relativePath,
                                  const TransferClock& clock, bool withProgress) {
    uint64_t written = 0;
    // The open usually brought the first block along.
    bool pending = worker.HasBlock();
    for (;;) {
        if (!pending) {
            if (!worker.StartRead(request)) {
                return CallEnd::kFailed;
            }
            CallEnd end = AwaitCall(url, clock, withProgress);
            if (end != CallEnd::kFinished) {
                return end;
            }
        }
        // A failed read ends like the data: the caller judges what arrived.
        DWORD count = worker.Count();
        if (!worker.Succeeded() || count == 0) {
            return CallEnd::kFinished;
        }
        if (!withProgress && written + count > kManifestSizeCap) {
            LogLine(L"[FAIL] \"%ls\" is larger than %u bytes (error %u).", url, kManifestSizeCap,
                    static_cast<unsigned>(ERROR_FILE_TOO_LARGE));
            return CallEnd::kLimit;
        }
        const BYTE* data = worker.Data();
        // The next block is read while this one is written and the window
        // pumped; whoever leaves early abandons that read.
        pending = !worker.Ended();
        if (pending && !worker.StartRead(request)) {
            return CallEnd::kFailed;
        }
        DWORD put = 0;
        if (!WriteFile(file, data, count, &put, nullptr) || put != count) {
            DWORD error = GetLastError();
            LogLine(L"[FAIL] Failed to write file \"%ls\" (error %u).", relativePath,
                    static_cast<unsigned>(error != ERROR_SUCCESS ? error : ERROR_DISK_FULL));
            worker.Abandon();
            return CallEnd::kFailed;
        }
        written += count;
        if (withProgress) {
            AddProgress(count);
            if (!PumpMessages()) {
                worker.Abandon();
                return CallEnd::kCancelled;
            }
        }
        if (!pending) {
            return CallEnd::kFinished;
        }
        CallEnd end = AwaitCall(url, clock, withProgress);
        if (end != CallEnd::kFinished) {
            return end;
        }
    }
}

bool Updater::DownloadFile(const wchar_t* url, const wchar_t* relativePath, bool withProgress) {
    if (url == nullptr || relativePath == nullptr || session == nullptr || IsCancelled()) {
        return false;
    }
    // The manifest shows no window and cannot be cancelled: it gets a deadline.
    TransferClock clock(!withProgress);
    CallEnd end = CallEnd::kFailed;
    ScopedInternetHandle request(OpenFollowingRedirects(url, clock, withProgress, end));
    if (!request.IsValid()) {
        return false;
    }
    // The same full path for the directories and the file.
    std::wstring fullPath;
    if (!EnsureParentDirectories(relativePath, &fullPath)) {
        return false;
    }
    ScopedFileHandle file(CreateFileW(fullPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        LogLine(L"[FAIL] Failed to open file \"%ls\".", relativePath);
        return false;
    }

    // The HTTP status is not looked at: the caller judges the content by
    // parsing it or by its digest.
    end = Receive(request.Get(), file.Get(), url, relativePath, clock, withProgress);
    file.Close();
    // No move of the bar per file (each move repaints it at once under
    // Wine): AddProgress moves it, and the size timer catches up with it.
    if (!withProgress && (end == CallEnd::kTimedOut || end == CallEnd::kLimit)) {
        // A manifest cut off by a bound could still parse as a whole one.
        DeleteFileW(fullPath.c_str());
    }
    return end == CallEnd::kFinished;
}

bool DownloadEntry(void* updater, const wchar_t* url, const wchar_t* relativePath) {
    LogLine(L"[ OK ] Downloading \"%ls\" from \"%ls\"", relativePath, url);
    return static_cast<Updater*>(updater)->DownloadFile(url, relativePath, true);
}
