#include "transfer/Downloader.h"

#include "common/Constants.h"
#include "common/FileSink.h"
#include "common/Handles.h"
#include "common/RunLog.h"
#include "transfer/TransferLimits.h"

#include <new>
#include <string>

namespace {

// Always from the server, never into the cache, no cookies either way.
// Redirects are followed here, so that a loop ends.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                                INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT;

bool CombineUrl(const std::wstring& base, const std::wstring& relative, std::wstring& combined) {
    // Wine never reports ERROR_INSUFFICIENT_BUFFER, so the first buffer holds
    // the result even with every character of the relative part escaped.
    DWORD length = static_cast<DWORD>(INTERNET_MAX_URL_LENGTH + base.size() + 3 * relative.size());
    std::wstring buffer(length, L'\0');
    if (!InternetCombineUrlW(base.c_str(), relative.c_str(), &buffer[0], &length, 0)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return false;
        }
        buffer.assign(length + 1, L'\0');
        if (!InternetCombineUrlW(base.c_str(), relative.c_str(), &buffer[0], &length, 0)) {
            return false;
        }
    }
    buffer.resize(length);
    combined.swap(buffer);
    return true;
}

// A Location may be relative to the URL that answered with it. Under Wine,
// InternetCombineUrlW returns a wrong URL, and success, for a relative part
// of INTERNET_MAX_URL_LENGTH or more; long URLs carry their length in the
// query, so then only the path goes through it, and the query and fragment
// follow as they came. A longer path is not followed.
bool ResolveLocation(const std::wstring& base, const std::wstring& location, std::wstring& next) {
    if (base.size() + location.size() < INTERNET_MAX_URL_LENGTH) {
        return CombineUrl(base, location, next);
    }
    std::wstring basePath = base.substr(0, base.find_first_of(L"?#"));
    size_t cut = location.find_first_of(L"?#");
    if (cut == std::wstring::npos || basePath.size() + cut >= INTERNET_MAX_URL_LENGTH) {
        return false;
    }
    std::wstring combined;
    if (cut == 0) {
        // Only a query or a fragment: the base with its own replaced.
        combined = location[0] == L'?' ? basePath : base.substr(0, base.find(L'#'));
    } else if (!CombineUrl(basePath, location.substr(0, cut), combined)) {
        return false;
    }
    next = combined + location.substr(cut);
    return true;
}

unsigned Seconds(uint32_t milliseconds) { return milliseconds / 1000; }

// Closes the worker's request when a transfer ends, on every path.
class RequestScope {
public:
    explicit RequestScope(NetworkWorker& worker) : worker_(worker) {}
    ~RequestScope() { worker_.CloseRequest(); }
    RequestScope(const RequestScope&) = delete;
    RequestScope& operator=(const RequestScope&) = delete;

private:
    NetworkWorker& worker_;
};

// A server whose certificate does not verify will not verify a second later:
// such a failure is final, where a refused or cut connection may not be.
bool IsCertificateError(DWORD error) {
    switch (error) {
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
        return true;
    default:
        return false;
    }
}

// The first byte a Content-Range ("bytes N-M/T") says its body starts at.
bool RangeStart(const std::wstring& range, uint64_t& start) {
    if (range.compare(0, 6, L"bytes ") != 0) {
        return false;
    }
    wchar_t* end = nullptr;
    start = _wcstoui64(range.c_str() + 6, &end, 10);
    return end != range.c_str() + 6 && *end == L'-';
}

// The scheme of an absolute URL in lower case, or "" when it has none.
std::wstring SchemeOf(const std::wstring& url) {
    size_t colon = url.find(L':');
    if (colon == std::wstring::npos || colon == 0) {
        return std::wstring();
    }
    std::wstring scheme;
    for (size_t i = 0; i < colon; ++i) {
        wchar_t c = url[i];
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
        bool letter = c >= L'a' && c <= L'z';
        if (!letter && (i == 0 || !((c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'.'))) {
            return std::wstring();
        }
        scheme.push_back(c);
    }
    return scheme;
}

}  // namespace

// Only the web's own schemes, and never from an encrypted connection to a
// plain one, where anyone on the way could answer instead of the server.
bool IsRedirectAllowed(const std::wstring& from, const std::wstring& to) {
    std::wstring target = SchemeOf(to);
    if (target == L"https") {
        return true;
    }
    return target == L"http" && SchemeOf(from) != L"https";
}

Downloader::TransferClock::TransferClock(bool withDeadline)
    : deadline(withDeadline ? GetTickCount64() + kManifestDeadlineMs : 0) {}

uint32_t Downloader::TransferClock::NextWait(bool& deadlineBound) const {
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

Downloader::CallEnd Downloader::AwaitCall(const wchar_t* url, const TransferClock& clock, Progress* progress) {
    bool deadlineBound = false;
    uint32_t limit = clock.NextWait(deadlineBound);
    HANDLE finished = worker_.Finished();
    ULONGLONG start = GetTickCount64();
    // A quick answer is taken without looking at the queue; the window is
    // pumped after every block anyway.
    DWORD quiet = progress != nullptr && kQuietWaitMs < limit ? kQuietWaitMs : limit;
    if (WaitForSingleObject(finished, quiet) == WAIT_OBJECT_0) {
        return CallEnd::kFinished;
    }
    // Pumped at least every kQuietWaitMs: on a thread of its own, Pump is how
    // a transfer learns of a Cancel.
    while (progress != nullptr) {
        ULONGLONG waited = GetTickCount64() - start;
        if (waited >= limit) {
            break;
        }
        DWORD slice = limit - waited < kQuietWaitMs ? static_cast<DWORD>(limit - waited) : kQuietWaitMs;
        DWORD woke = MsgWaitForMultipleObjectsEx(1, &finished, slice, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woke == WAIT_OBJECT_0) {
            return CallEnd::kFinished;
        }
        if (woke == WAIT_FAILED) {
            break;
        }
        if (!progress->Pump()) {
            worker_.Abandon();
            return CallEnd::kCancelled;
        }
    }
    if (WaitForSingleObject(finished, 0) == WAIT_OBJECT_0) {
        return CallEnd::kFinished;
    }
    worker_.Abandon();
    lastError_ = ERROR_INTERNET_TIMEOUT;
    if (deadlineBound) {
        LogLine(L"[FAIL] Download of \"%ls\" took longer than %u s (error %u).", url, Seconds(kManifestDeadlineMs),
                static_cast<unsigned>(ERROR_INTERNET_TIMEOUT));
    } else {
        LogLine(L"[FAIL] No data from \"%ls\" for %u s (error %u).", url, Seconds(kStallLimitMs),
                static_cast<unsigned>(ERROR_INTERNET_TIMEOUT));
    }
    return CallEnd::kTimedOut;
}

// A connection, name or certificate failure: the worker took the error
// where the call failed.
void Downloader::LogFailure(const wchar_t* url, DWORD error) {
    lastError_ = error;
    LogLine(L"[FAIL] Failed to download \"%ls\" (error %u).", url, static_cast<unsigned>(error));
}

void Downloader::LogNoThread(const wchar_t* url) {
    DWORD error = worker_.StartError();
    if (error == ERROR_MAX_THRDS_REACHED) {
        LogLine(L"[FAIL] Failed to download \"%ls\": %u stalled transfers still wait (error %u).", url,
                kMaxStalledWorkers, static_cast<unsigned>(error));
    } else {
        LogFailure(url, error);
    }
}

bool Downloader::OpenFollowingRedirects(const wchar_t* url, const std::wstring& headers,
                                        const TransferClock& clock, Progress* progress, CallEnd& end) {
    std::wstring current = url;
    for (unsigned hops = 0;; ++hops) {
        if (!worker_.StartOpen(session_, current.c_str(), kRequestFlags, headers)) {
            LogNoThread(url);
            return false;
        }
        end = AwaitCall(url, clock, progress);
        if (end != CallEnd::kFinished) {
            return false;
        }
        if (!worker_.Opened()) {
            LogFailure(url, worker_.Error());
            end = IsCertificateError(worker_.Error()) ? CallEnd::kFailed : CallEnd::kNetwork;
            return false;
        }
        if (!IsRedirectStatus(worker_.StatusCode()) || worker_.Location().empty()) {
            return true;
        }
        if (hops == kMaxRedirects) {
            LogLine(L"[FAIL] More than %u redirects from \"%ls\" (error %u).", kMaxRedirects, url,
                    static_cast<unsigned>(ERROR_HTTP_REDIRECT_FAILED));
            end = CallEnd::kLimit;
            return false;
        }
        std::wstring next;
        bool resolved = ResolveLocation(current, worker_.Location(), next);
        if (!resolved || !IsRedirectAllowed(current, next)) {
            LogLine(L"[FAIL] Refused redirect from \"%ls\" to \"%ls\" (error %u).", current.c_str(),
                    resolved ? next.c_str() : worker_.Location().c_str(),
                    static_cast<unsigned>(ERROR_HTTP_REDIRECT_FAILED));
            end = CallEnd::kLimit;
            return false;
        }
        current.swap(next);
    }
}

Downloader::CallEnd Downloader::Receive(ByteSink& sink, const wchar_t* url, uint64_t maxBytes,
                                        const TransferClock& clock, Progress* progress) {
    uint64_t written = 0;
    // The open usually brought the first block along.
    bool pending = worker_.HasBlock();
    for (;;) {
        if (!pending) {
            if (!worker_.StartRead()) {
                LogNoThread(url);
                return CallEnd::kFailed;
            }
            CallEnd end = AwaitCall(url, clock, progress);
            if (end != CallEnd::kFinished) {
                return end;
            }
        }
        if (!worker_.Succeeded()) {
            LogFailure(url, worker_.Error());
            return CallEnd::kNetwork;
        }
        DWORD count = worker_.Count();
        if (count == 0) {
            // A file cut short of its length is worth another attempt; a
            // manifest is judged by parsing what came.
            if (progress != nullptr && worker_.ShortOfLength()) {
                LogFailure(url, ERROR_INTERNET_CONNECTION_ABORTED);
                return CallEnd::kNetwork;
            }
            return CallEnd::kFinished;
        }
        // Nothing lands past what may arrive: a body that never ends fills no disk.
        if (count > maxBytes - written) {
            LogLine(L"[FAIL] \"%ls\" is larger than %ls bytes (error %u).", url, std::to_wstring(maxBytes).c_str(),
                    static_cast<unsigned>(ERROR_FILE_TOO_LARGE));
            return CallEnd::kTooLarge;
        }
        const BYTE* data = worker_.Data();
        // The next block is read while this one is written and the window
        // pumped; whoever leaves early abandons that read.
        pending = !worker_.Ended();
        if (pending && !worker_.StartRead()) {
            LogNoThread(url);
            return CallEnd::kFailed;
        }
        if (!sink.Write(data, count)) {
            worker_.Abandon();
            return CallEnd::kFailed;
        }
        written += count;
        if (progress != nullptr) {
            progress->Received(count);
            if (!progress->Pump()) {
                worker_.Abandon();
                return CallEnd::kCancelled;
            }
        }
        if (!pending) {
            return CallEnd::kFinished;
        }
        CallEnd end = AwaitCall(url, clock, progress);
        if (end != CallEnd::kFinished) {
            return end;
        }
    }
}

Downloader::Downloader() {
    // A direct connection unless the build opted into the system's proxy.
    constexpr DWORD access = LAUNCHER_USE_SYSTEM_PROXY ? INTERNET_OPEN_TYPE_PRECONFIG : INTERNET_OPEN_TYPE_DIRECT;
    ScopedInternetHandle session(InternetOpenW(kAgentName, access, nullptr, nullptr, 0));
    if (!session.IsValid()) {
        return;
    }
    // Windows honours these; under Wine the launcher's own bounds hold.
    DWORD timeout = kStallLimitMs;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                         INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        InternetSetOptionW(session.Get(), option, &timeout, sizeof(timeout));
    }
    // Windows keeps to 2 connections per server unless told otherwise.
    if (kParallelTransfers > 1) {
        DWORD connections = kParallelTransfers;
        for (DWORD option : {INTERNET_OPTION_MAX_CONNS_PER_SERVER, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER}) {
            InternetSetOptionW(nullptr, option, &connections, sizeof(connections));
        }
    }
    // Closed here unless it could be shared.
    session_ = new (std::nothrow) SharedSession(session);
}

Downloader::Downloader(SharedSession* session) : session_(session) {
    if (session_ != nullptr) {
        session_->AddReference();
    }
}

Downloader::~Downloader() {
    // A call still outstanding is left to finish on its own thread, which
    // keeps the session open until it has closed its request.
    worker_.Abandon();
    if (session_ != nullptr) {
        session_->Release();
        session_ = nullptr;
    }
}

bool Downloader::FetchManifest(const wchar_t* url, const wchar_t* relativePath) {
    FileSink file(relativePath);
    CallEnd end = Fetch(url, file, kManifestSizeCap, nullptr, ResumeFrom());
    file.Close();
    if (end != CallEnd::kFinished) {
        // A manifest cut off by a bound or a failure could still parse as a whole one.
        file.Discard();
    }
    return end == CallEnd::kFinished;
}

FetchOutcome Downloader::FetchFile(const wchar_t* url, ByteSink& sink, uint64_t maxBytes, Progress& progress,
                                   const ResumeFrom& from) {
    // Once cancelled, nothing more is requested.
    if (!progress.Pump()) {
        return FetchOutcome::kCancelled;
    }
    switch (Fetch(url, sink, maxBytes, &progress, from)) {
    case CallEnd::kFinished:
        return FetchOutcome::kDone;
    case CallEnd::kCancelled:
        return FetchOutcome::kCancelled;
    case CallEnd::kTimedOut:
    case CallEnd::kNetwork:
        return FetchOutcome::kNetworkFailure;
    case CallEnd::kResumeRefused:
        return FetchOutcome::kResumeRefused;
    case CallEnd::kTooLarge:
        return FetchOutcome::kTooLarge;
    default:
        return FetchOutcome::kFailed;
    }
}

Downloader::CallEnd Downloader::Fetch(const wchar_t* url, ByteSink& sink, uint64_t maxBytes, Progress* progress,
                                      const ResumeFrom& from) {
    if (url == nullptr || session_ == nullptr) {
        return CallEnd::kFailed;
    }
    // The manifest shows no window and cannot be cancelled: it gets a deadline.
    TransferClock clock(progress == nullptr);
    CallEnd end = CallEnd::kFailed;
    // Only the bytes that are missing, and only if the body is still the one
    // they were part of: otherwise the server answers with all of it.
    std::wstring headers;
    if (from.offset > 0) {
        // Without a validator the Range stands alone: the manifest's digests
        // still judge the whole.
        headers = L"Range: bytes=" + std::to_wstring(from.offset) + L"-\r\n";
        if (!from.validator.empty()) {
            headers += L"If-Range: " + from.validator + L"\r\n";
        }
    }
    // The worker holds each request (an abandoned call's thread closes its own).
    RequestScope request(worker_);
    if (!OpenFollowingRedirects(url, headers, clock, progress, end)) {
        return end == CallEnd::kFinished ? CallEnd::kFailed : end;
    }
    Answer answer;
    answer.validator = worker_.Validator();
    if (from.offset > 0) {
        uint64_t start = 0;
        DWORD status = worker_.StatusCode();
        if (status == 0) {
            // The server closed without an answer: the kept bytes stay.
            LogFailure(url, ERROR_INTERNET_CONNECTION_RESET);
            return CallEnd::kNetwork;
        }
        if (status == HTTP_STATUS_PARTIAL_CONTENT && RangeStart(worker_.ContentRange(), start) &&
            start == from.offset) {
            answer.offset = from.offset;
        } else if (status != HTTP_STATUS_OK) {
            lastError_ = ERROR_HTTP_INVALID_SERVER_RESPONSE;
            LogLine(L"[FAIL] \"%ls\" answered a resumed request with status %u (error %u).", url,
                    static_cast<unsigned>(status), static_cast<unsigned>(lastError_));
            // A server in trouble says nothing about the bytes already here.
            return status >= 500 && status <= 599 ? CallEnd::kNetwork : CallEnd::kResumeRefused;
        }
    }
    if (!sink.Open(answer)) {
        return CallEnd::kFailed;
    }
    // The HTTP status is not looked at otherwise: the caller judges the
    // content by parsing it or by its size and digest.
    return Receive(sink, url, maxBytes - answer.offset, clock, progress);
}
