// The WinINet calls that can block without end (under Wine a silent server
// keeps InternetOpenUrlW or a read waiting until it hangs up, and closing
// the handle does not wake them) run on a thread of their own. The window's
// thread starts one call, waits for it as long as it chooses, and may walk
// away: the abandoned thread finishes its call, closes what it opened,
// touches nothing of the caller's, and ends (process exit ends it at the
// latest).
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

// A status that sends the client elsewhere (with a Location).
bool IsRedirectStatus(DWORD status);

class NetworkWorker {
public:
    NetworkWorker() = default;
    ~NetworkWorker() { Abandon(); }
    NetworkWorker(const NetworkWorker&) = delete;
    NetworkWorker& operator=(const NetworkWorker&) = delete;

    // Starts InternetOpenUrlW without following redirects; when it returns,
    // the status code and any Location are read too, and unless the answer
    // is a redirect, the first block of the body (a small file then costs one
    // handoff between the threads, not three). False when no thread could be
    // started.
    bool StartOpen(HINTERNET session, const wchar_t* url, DWORD flags);
    // Starts a read of what has arrived: waits for at least one byte (or the
    // end), then reads up to a block without waiting for more. Each read
    // fills the other of two buffers, so the caller may write the block of
    // the previous call while this one runs.
    bool StartRead(HINTERNET request);

    // Signalled when the call started last has returned.
    HANDLE Finished() const;

    // Results of the last call, valid once Finished() is signalled, until
    // the next call starts (Data() until the one after). TakeRequest hands
    // the opened handle over to the caller (null when the open failed); the
    // read results belong to an open only when HasBlock() says so. Count()
    // is 0 at the end of the data; Ended() says the block just read was the
    // last one the Content-Length announced, so no further read is needed.
    // Error() is the failed open's or read's GetLastError(), taken on the
    // thread that made the call.
    HINTERNET TakeRequest();
    DWORD StatusCode() const;
    const std::wstring& Location() const;
    bool HasBlock() const;
    bool Succeeded() const;
    DWORD Error() const;
    const BYTE* Data() const;
    DWORD Count() const;
    bool Ended() const;

    // Stops waiting for the thread; a later call starts a new one.
    void Abandon();

private:
    struct Channel;
    bool EnsureThread();
    void Start(int operation);

    Channel* channel_ = nullptr;
};
