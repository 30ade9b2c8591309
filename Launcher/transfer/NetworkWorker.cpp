#include "transfer/NetworkWorker.h"

#include "transfer/TransferLimits.h"

#include <new>

namespace {

enum Operation { kOpen, kRead };

// Enough for the thread's few frames and WinINet's.
constexpr SIZE_T kThreadStack = 256 * 1024;
// Bytes read before the pace is trusted.
constexpr uint64_t kPaceSample = 64 * 1024;

// Abandoned threads whose call has not returned yet, in the process.
volatile LONG abandonedRunning = 0;

}  // namespace

bool IsRedirectStatus(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Shared by the caller and the thread; whoever lets go last frees it. The
// events order every access: the caller writes the request before setting
// `wake`, the thread writes the results before setting `finished`. Between
// calls the request is the caller's to close; once a call on it is
// abandoned, only the thread touches it, and closes it as it lets go.
struct NetworkWorker::Channel {
    LONG references = 2;
    volatile LONG abandoned = 0;
    HANDLE wake = nullptr;
    HANDLE finished = nullptr;

    int operation = kOpen;
    SharedSession* session = nullptr;  // one reference, held until the end
    std::wstring url;
    std::wstring headers;  // extra request headers, CR LF after each
    DWORD flags = 0;

    ScopedInternetHandle request;
    DWORD status = 0;
    std::wstring location;
    std::wstring contentRange;
    std::wstring validator;  // ETag, else Last-Modified
    bool hasBlock = false;
    bool ok = false;
    DWORD error = 0;  // GetLastError() of the call that failed, from this thread
    DWORD count = 0;
    bool ended = false;
    int slot = 0;  // the buffer the last read filled
    // The body of the current request: bytes so far and what was announced.
    uint64_t bodyReceived = 0;
    uint64_t bodyLength = 0;
    bool lengthKnown = false;
    // The run's pace: bytes read and the time the reads took.
    uint64_t received = 0;
    LONGLONG reading = 0;
    LONGLONG ticksPerSecond = 1;
    BYTE data[2][kTransferBlockSize];

    ~Channel() {
        // The request before its session, whose closing would free its
        // handle value for another.
        request.Close();
        if (session != nullptr) {
            session->Release();
        }
        if (finished != nullptr) {
            CloseHandle(finished);
        }
        if (wake != nullptr) {
            CloseHandle(wake);
        }
    }

    void Release() {
        if (InterlockedDecrement(&references) == 0) {
            delete this;
        }
    }

    bool IsAbandoned() { return InterlockedCompareExchange(&abandoned, 0, 0) != 0; }

    // One response header's text, or "" when there is none.
    std::wstring Header(DWORD info) {
        std::wstring text;
        DWORD bytes = 0;
        if (!HttpQueryInfoW(request.Get(), info, nullptr, &bytes, nullptr) &&
            GetLastError() == ERROR_INSUFFICIENT_BUFFER && bytes >= sizeof(wchar_t)) {
            text.assign(bytes / sizeof(wchar_t), L'\0');
            if (HttpQueryInfoW(request.Get(), info, &text[0], &bytes, nullptr)) {
                text.resize(bytes / sizeof(wchar_t));
            } else {
                text.clear();
            }
        }
        return text;
    }

    void Open() {
        status = 0;
        location.clear();
        contentRange.clear();
        validator.clear();
        hasBlock = false;
        error = 0;
        request.Reset(InternetOpenUrlW(session->Get(), url.c_str(), headers.empty() ? nullptr : headers.c_str(),
                                       headers.empty() ? 0 : static_cast<DWORD>(-1L), flags, 0));
        if (!request.IsValid()) {
            error = GetLastError();
            return;
        }
        if (IsAbandoned()) {
            return;  // nobody waits for the rest
        }
        DWORD length = sizeof(status);
        if (!HttpQueryInfoW(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length,
                            nullptr)) {
            status = 0;  // not HTTP, or no answer at all: whatever body there is counts
        }
        location = Header(HTTP_QUERY_LOCATION);
        if (IsRedirectStatus(status) && !location.empty()) {
            return;  // the caller follows it; the body is not wanted
        }
        // What a later request needs to resume this body where it was cut.
        contentRange = Header(HTTP_QUERY_CONTENT_RANGE);
        validator = Header(HTTP_QUERY_ETAG);
        if (validator.empty()) {
            validator = Header(HTTP_QUERY_LAST_MODIFIED);
        }
        bodyReceived = 0;
        lengthKnown = ReadContentLength();
        Read();
        hasBlock = true;
    }

    // HTTP/1.1: with a Transfer-Encoding the body ends by that encoding,
    // and a Content-Length beside it counts nothing.
    bool ReadContentLength() {
        DWORD bytes = 0;
        if (HttpQueryInfoW(request.Get(), HTTP_QUERY_TRANSFER_ENCODING, nullptr, &bytes, nullptr) ||
            GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            return false;
        }
        wchar_t text[32];
        bytes = sizeof(text);
        if (!HttpQueryInfoW(request.Get(), HTTP_QUERY_CONTENT_LENGTH, text, &bytes, nullptr)) {
            return false;
        }
        wchar_t* end = nullptr;
        bodyLength = _wcstoui64(text, &end, 10);
        return end != text && *end == L'\0';
    }

    // A read of more than has arrived waits until all of it is there, which
    // a trickling server may never do; a read of only what has arrived gets
    // WinINet's 8 KiB buffer at a time, slow on a fast server. So a read
    // asks for what has arrived, or, once the server has shown its pace on a
    // few blocks, for what it delivers in a tenth of a second, whichever is
    // more. The pace is the run's (bytes over the time spent reading them),
    // so that a run of small files is read a file at a time too; a server
    // that slows down lowers it with every read.
    void Read() {
        count = 0;
        ended = false;
        error = 0;
        slot ^= 1;
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        DWORD available = 0;
        ok = InternetQueryDataAvailable(request.Get(), &available, 0, 0) != FALSE;
        if (!ok) {
            error = GetLastError();
            return;
        }
        if (available == 0 || IsAbandoned()) {
            return;
        }
        DWORD wanted = available;
        if (received >= kPaceSample && reading > 0) {
            double paced = static_cast<double>(received) * ticksPerSecond / 10.0 / static_cast<double>(reading);
            if (paced > wanted) {
                wanted = paced < kTransferBlockSize ? static_cast<DWORD>(paced) : kTransferBlockSize;
            }
        }
        ok = InternetReadFile(request.Get(), data[slot], wanted, &count) != FALSE;
        if (!ok) {
            error = GetLastError();
        }
        LARGE_INTEGER end;
        QueryPerformanceCounter(&end);
        received += count;
        reading += end.QuadPart - start.QuadPart;
        bodyReceived += count;
        ended = ok && count > 0 && lengthKnown && bodyReceived >= bodyLength;
    }

    static DWORD WINAPI Run(void* parameter) {
        Channel* channel = static_cast<Channel*>(parameter);
        for (;;) {
            WaitForSingleObject(channel->wake, INFINITE);
            if (channel->IsAbandoned()) {
                break;
            }
            if (channel->operation == kOpen) {
                channel->Open();
            } else {
                channel->Read();
            }
            if (channel->IsAbandoned()) {
                break;
            }
            SetEvent(channel->finished);
        }
        // Only an abandoned thread gets here; it closes the request as it lets go.
        channel->Release();
        InterlockedDecrement(&abandonedRunning);
        return 0;
    }
};

bool NetworkWorker::EnsureThread() {
    if (channel_ != nullptr) {
        return true;
    }
    if (AbandonedStillRunning() >= kMaxStalledWorkers) {
        startError_ = ERROR_MAX_THRDS_REACHED;
        return false;
    }
    Channel* channel = new (std::nothrow) Channel;
    if (channel == nullptr) {
        startError_ = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    LARGE_INTEGER frequency;
    if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) {
        channel->ticksPerSecond = frequency.QuadPart;
    }
    channel->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    channel->finished = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = nullptr;
    if (channel->wake != nullptr && channel->finished != nullptr) {
        thread = CreateThread(nullptr, kThreadStack, Channel::Run, channel, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    }
    if (thread == nullptr) {
        startError_ = GetLastError();
        delete channel;
        return false;
    }
    CloseHandle(thread);  // never joined: the thread frees what it shares
    channel_ = channel;
    return true;
}

void NetworkWorker::Start(int operation) {
    channel_->operation = operation;
    ResetEvent(channel_->finished);
    SetEvent(channel_->wake);
}

bool NetworkWorker::StartOpen(SharedSession* session, const wchar_t* url, DWORD flags, const std::wstring& headers) {
    if (!EnsureThread()) {
        return false;
    }
    channel_->request.Close();
    if (channel_->session != session) {
        session->AddReference();
        if (channel_->session != nullptr) {
            channel_->session->Release();
        }
        channel_->session = session;
    }
    channel_->url = url;
    channel_->headers = headers;
    channel_->flags = flags;
    Start(kOpen);
    return true;
}

bool NetworkWorker::StartRead() {
    // Only the thread that opened the request reads it.
    if (channel_ == nullptr || !channel_->request.IsValid()) {
        startError_ = ERROR_INVALID_HANDLE;
        return false;
    }
    Start(kRead);
    return true;
}

void NetworkWorker::CloseRequest() {
    if (channel_ != nullptr) {
        channel_->request.Close();
    }
}

HANDLE NetworkWorker::Finished() const { return channel_ != nullptr ? channel_->finished : nullptr; }

bool NetworkWorker::Opened() const { return channel_->request.IsValid(); }

DWORD NetworkWorker::StatusCode() const { return channel_->status; }
const std::wstring& NetworkWorker::Location() const { return channel_->location; }
const std::wstring& NetworkWorker::ContentRange() const { return channel_->contentRange; }
const std::wstring& NetworkWorker::Validator() const { return channel_->validator; }
bool NetworkWorker::ShortOfLength() const {
    return channel_->lengthKnown && channel_->bodyReceived < channel_->bodyLength;
}
bool NetworkWorker::HasBlock() const { return channel_->hasBlock; }
bool NetworkWorker::Succeeded() const { return channel_->ok; }
DWORD NetworkWorker::Error() const { return channel_->error; }
const BYTE* NetworkWorker::Data() const { return channel_->data[channel_->slot]; }
DWORD NetworkWorker::Count() const { return channel_->count; }
bool NetworkWorker::Ended() const { return channel_->ended; }

void NetworkWorker::Abandon() {
    if (channel_ == nullptr) {
        return;
    }
    InterlockedIncrement(&abandonedRunning);
    InterlockedExchange(&channel_->abandoned, 1);
    SetEvent(channel_->wake);  // an idle thread wakes up and ends
    channel_->Release();
    channel_ = nullptr;
}

unsigned NetworkWorker::AbandonedStillRunning() {
    return static_cast<unsigned>(InterlockedCompareExchange(&abandonedRunning, 0, 0));
}
