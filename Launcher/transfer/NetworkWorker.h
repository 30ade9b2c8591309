// The WinINet calls that can block without end (under Wine a silent server
// keeps InternetOpenUrlW or a read waiting until it hangs up, and closing
// the handle does not wake them) run on a thread of their own. The window's
// thread starts one call, waits for it as long as it chooses, and may walk
// away: the abandoned thread finishes its call, closes the request it was
// handed with it, touches nothing else of the caller's, and ends (process
// exit ends it at the latest).
#pragma once

#include "common/Handles.h"

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

// A status that sends the client elsewhere (with a Location).
bool IsRedirectStatus(DWORD status);

// The Internet session, shared by whoever opened it and every worker that
// holds a request in it: closing a session invalidates its requests and
// frees their handle values for reuse, so it stays open until the last
// request in it is closed, even by a thread abandoned long before.
class SharedSession {
public:
    // Takes the session over from its opener.
    explicit SharedSession(ScopedInternetHandle& session) : handle_(session.Release()) {}
    SharedSession(const SharedSession&) = delete;
    SharedSession& operator=(const SharedSession&) = delete;

    HINTERNET Get() const { return handle_.Get(); }
    void AddReference() { InterlockedIncrement(&references_); }
    // The last one closes the session.
    void Release() {
        if (InterlockedDecrement(&references_) == 0) {
            delete this;
        }
    }

private:
    ~SharedSession() = default;

    ScopedInternetHandle handle_;
    volatile LONG references_ = 1;
};

class NetworkWorker {
public:
    NetworkWorker() = default;
    ~NetworkWorker() { Abandon(); }
    NetworkWorker(const NetworkWorker&) = delete;
    NetworkWorker& operator=(const NetworkWorker&) = delete;

    // Starts InternetOpenUrlW without following redirects, after closing
    // the request of the previous open; when it returns, the status code and
    // any Location are read too, and unless the answer is a redirect, the
    // first block of the body (a small file then costs one handoff between
    // the threads, not three). The request stays here until CloseRequest,
    // or goes with the thread when a call on it is abandoned.
    //
    // False when no thread could be started; StartError() then says why:
    // ERROR_MAX_THRDS_REACHED while kMaxStalledWorkers abandoned threads
    // still wait for their calls, a 32-bit address space being no place
    // for a thread per silent connection.
    // headers: extra request headers ("Name: value" and CR LF each), or "".
    bool StartOpen(SharedSession* session, const wchar_t* url, DWORD flags, const std::wstring& headers = L"");
    // Starts a read of the open request's body: waits for at least one byte
    // (or the end), then reads up to a block without waiting for more. Each
    // read fills the other of two buffers, so the caller may write the block
    // of the previous call while this one runs.
    bool StartRead();
    DWORD StartError() const { return startError_; }
    // Between calls: ends the request of the last open.
    void CloseRequest();

    // Signalled when the call started last has returned.
    HANDLE Finished() const;

    // Results of the last call, valid once Finished() is signalled, until
    // the next call starts (Data() until the one after). Opened() says the
    // open gave a request; the read results belong to an open only when
    // HasBlock() says so. Count() is 0 at the end of the data; Ended() says
    // the block just read was the last one the Content-Length announced, so
    // no further read is needed.
    // Error() is the failed open's or read's GetLastError(), taken on the
    // thread that made the call.
    bool Opened() const;
    DWORD StatusCode() const;
    const std::wstring& Location() const;
    // Of a final answer: its Content-Range, and what identifies its body for
    // a later If-Range (the ETag, else Last-Modified); "" when absent.
    const std::wstring& ContentRange() const;
    const std::wstring& Validator() const;
    // At the end of the data: the body stopped short of its Content-Length.
    bool ShortOfLength() const;
    bool HasBlock() const;
    bool Succeeded() const;
    DWORD Error() const;
    const BYTE* Data() const;
    DWORD Count() const;
    bool Ended() const;

    // Stops waiting for the thread, which keeps the request and closes it
    // when its call returns; a later call starts a new one.
    void Abandon();

    // Abandoned threads whose call has not yet returned, in the process.
    static unsigned AbandonedStillRunning();

private:
    struct Channel;
    bool EnsureThread();
    void Start(int operation);

    Channel* channel_ = nullptr;
    DWORD startError_ = ERROR_SUCCESS;
};
