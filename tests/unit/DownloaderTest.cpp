// Downloads against a small HTTP server inside the test process: what lands
// in the file, what the request carries, progress, cancellation and the
// failure results.
#include <winsock2.h>

#include "unit/TestSupport.h"

#include "common/FileSink.h"
#include "core/FetchEntry.h"
#include "install/StagedFile.h"
#include "transfer/Downloader.h"
#include "transfer/TransferLimits.h"
#include "ui/ProgressWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kBodySize = 10000;
constexpr size_t kTruncatedAfter = 3000;
constexpr size_t kChunkSize = 1000;
// A size no other path sends: a redirect that lands elsewhere cannot pass for it.
constexpr size_t kFarBodySize = 4321;
// Several of the largest reads, and not a multiple of one.
constexpr size_t kLargeBodySize = 3 * 1024 * 1024 + 7;
constexpr DWORD kSocketTimeoutMs = 5000;

// Every byte value, line ends and ^Z included, so that any text-mode
// conversion on the way shows.
std::string Body(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        body[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    }
    return body;
}

// A path with a query of 3,000 characters: longer than the platform's usual
// URL maximum (2,083), yet within what servers take.
std::string LongTarget() { return "/far?" + std::string(3000, 'q'); }

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }
std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// A loopback HTTP/1.1 server on a free port, one connection at a time, each
// answered according to the request path and then closed. It records every
// request's head. Sockets time out, so a confused client cannot hang it.
class LoopbackServer {
public:
    LoopbackServer() {
        WSADATA data;
        started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        int length = sizeof(address);
        if (listener_ != INVALID_SOCKET &&
            bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            listen(listener_, 8) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
            thread_ = std::thread([this] { Serve(); });
        }
    }

    ~LoopbackServer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        ReleaseHeld();
        if (listener_ != INVALID_SOCKET) {
            closesocket(listener_);
        }
        if (started_) {
            WSACleanup();
        }
    }

    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    unsigned short Port() const { return port_; }
    std::wstring Url(const char* path) const {
        return L"http://127.0.0.1:" + std::to_wstring(port_) + Widen(path);
    }
    int Connections() const { return connections_; }
    std::vector<std::string> Requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    // Hangs up on the connections held without an answer.
    void ReleaseHeld() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (SOCKET client : held_) {
            shutdown(client, SD_SEND);
            closesocket(client);
        }
        held_.clear();
    }

private:
    void Serve() {
        while (!stop_) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(listener_, &readable);
            timeval wait = {0, 50000};
            if (select(0, &readable, nullptr, nullptr, &wait) <= 0) {
                continue;
            }
            SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) {
                continue;
            }
            ++connections_;
            DWORD timeout = kSocketTimeoutMs;
            setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
            setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
            if (Answer(client)) {
                shutdown(client, SD_SEND);
                closesocket(client);
            }
        }
    }

    // False when the connection was already closed or kept here.
    bool Answer(SOCKET client) {
        std::string head;
        char buffer[1024];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            int count = recv(client, buffer, sizeof(buffer), 0);
            if (count <= 0) {
                return true;
            }
            head.append(buffer, static_cast<size_t>(count));
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(head);
        }
        size_t pathStart = head.find(' ') + 1;
        std::string path = head.substr(pathStart, head.find(' ', pathStart) - pathStart);

        if (path == "/missing") {
            SendAll(client, Response("404 Not Found", "<html><body>Not here</body></html>", ""));
        } else if (path == "/empty") {
            SendAll(client, Response("200 OK", "", ""));
        } else if (path == "/body") {
            SendAll(client, Response("200 OK", Body(kBodySize), "Set-Cookie: served=yes; Path=/\r\n"));
        } else if (path == "/moved") {
            SendAll(client, Response("302 Found", "", "Location: /body\r\n"));
        } else if (path == "/moved-far") {
            SendAll(client, Response("302 Found", "", ("Location: " + LongTarget() + "\r\n").c_str()));
        } else if (path == LongTarget()) {
            SendAll(client, Response("200 OK", Body(kFarBodySize), ""));
        } else if (path == "/to-ftp") {
            // The same server under another scheme: a request, had one been made, would show.
            std::string location = "Location: ftp://127.0.0.1:" + std::to_string(port_) + "/body\r\n";
            SendAll(client, Response("302 Found", "", location.c_str()));
        } else if (path == "/large") {
            SendAll(client, Response("200 OK", Body(kLargeBodySize), ""));
        } else if (path == "/unsized") {
            // No Content-Length: the body ends when the server hangs up.
            SendAll(client, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + Body(kBodySize));
        } else if (path == "/chunked") {
            // Chunked, with a Content-Length that does not count the body;
            // the first chunk comes alone, so that it is read alone.
            std::string body = Body(kBodySize);
            std::string response = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 10\r\n"
                                   "Connection: close\r\n\r\n";
            for (size_t at = 0; at < body.size(); at += kChunkSize) {
                std::string chunk = body.substr(at, kChunkSize);
                char size[16];
                snprintf(size, sizeof(size), "%x\r\n", static_cast<unsigned>(chunk.size()));
                response += size + chunk + "\r\n";
                if (at == 0) {
                    SendAll(client, response);
                    response.clear();
                    Sleep(200);
                }
            }
            SendAll(client, response + "0\r\n\r\n");
        } else if (path == "/silent") {
            // Accepted and read, never answered: held open until released.
            std::lock_guard<std::mutex> lock(mutex_);
            held_.push_back(client);
            return false;
        } else if (path == "/reset") {
            // Part of the body, then a reset instead of an orderly close.
            std::string response = Response("200 OK", Body(kBodySize), "");
            SendAll(client, response.substr(0, response.size() - (kBodySize - kTruncatedAfter)));
            Sleep(100);
            linger hard = {1, 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
            closesocket(client);
            return false;
        } else if (path == "/truncated") {
            // Promises the whole body, sends part of it and hangs up.
            std::string response = Response("200 OK", Body(kBodySize), "");
            SendAll(client, response.substr(0, response.size() - (kBodySize - kTruncatedAfter)));
        } else {
            SendAll(client, Response("404 Not Found", "", ""));
        }
        return true;
    }

    static std::string Response(const char* status, const std::string& body, const char* extraHeaders) {
        return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n" + extraHeaders + "Connection: close\r\n\r\n" + body;
    }

    static void SendAll(SOCKET client, const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            int count = send(client, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
            if (count <= 0) {
                return;
            }
            sent += static_cast<size_t>(count);
        }
    }

    bool started_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<SOCKET> held_;
    std::thread thread_;
};

// The value of a request header, or "(absent)".
std::string HeaderValue(const std::string& head, const char* name) {
    size_t lineStart = head.find("\r\n") + 2;
    while (lineStart < head.size()) {
        size_t lineEnd = head.find("\r\n", lineStart);
        std::string line = head.substr(lineStart, lineEnd - lineStart);
        size_t colon = line.find(':');
        if (colon != std::string::npos && _stricmp(line.substr(0, colon).c_str(), name) == 0) {
            size_t valueStart = line.find_first_not_of(' ', colon + 1);
            return valueStart == std::string::npos ? std::string() : line.substr(valueStart);
        }
        lineStart = lineEnd + 2;
    }
    return "(absent)";
}

// A port that nobody listens on: bound once, then released.
unsigned short ClosedPort() {
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(probe);
    return ntohs(address.sin_port);
}

uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return UINT64_MAX;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Waits until no abandoned worker thread is still waiting for its call.
bool AbandonedWorkersEnd() {
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(20)) {
        if (NetworkWorker::AbandonedStillRunning() == 0) {
            return true;
        }
    }
    return false;
}

void DrainQueue() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
    }
}

// The manifest's entry for /body as the server sends it.
ManifestEntry BodyEntry(const std::wstring& url, const wchar_t* path) {
    WriteBytes(L"reference.bin", Body(kBodySize));
    wchar_t md5[kDigestBufferLength];
    EXPECT_TRUE(ComputeFileMd5(L"reference.bin", md5));
    DeleteFileW(L"reference.bin");
    Manifest manifest;
    EXPECT_TRUE(manifest.AddEntry(path, std::to_wstring(kBodySize).c_str(), md5, url.c_str()));
    return manifest.entries.at(0);
}

class Download : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(server.Port(), 0) << "the loopback server did not start";
        ASSERT_NE(downloader.Session(), nullptr);
    }

    void TearDown() override {
        window.Close();
        DrainQueue();
    }

    // A manifest (no progress) or a file of the update (reporting to progress,
    // by default the window), into a plain file.
    bool Fetch(const wchar_t* url, const wchar_t* path, bool withProgress, uint64_t bound = UINT64_MAX) {
        return withProgress ? FetchReporting(window, url, path, bound) : downloader.FetchManifest(url, path);
    }
    bool FetchReporting(Progress& progress, const wchar_t* url, const wchar_t* path, uint64_t bound = UINT64_MAX) {
        FileSink file(path);
        return downloader.FetchFile(url, file, bound, progress) == FetchOutcome::kDone;
    }

    ScratchDirectory scratch;
    LoopbackServer server;
    Downloader downloader;
    ProgressWindow window{GetModuleHandleW(nullptr)};
};

struct BodyCase {
    const char* name;
    const char* path;
    std::string expected;
    bool withProgress = false;  // a file of the update, not a manifest (which has a size cap)
};

TEST_F(Download, WritesWhateverBodyTheServerSends) {
    const BodyCase cases[] = {
        {"an error page, like any other body", "/missing", "<html><body>Not here</body></html>"},
        {"an empty body", "/empty", ""},
        {"a body of several chunks", "/body", Body(kBodySize)},
        // Before the large body, so that the first read asks for what arrived, not for the pace's worth.
        {"a chunked body, whatever Content-Length says", "/chunked", Body(kBodySize)},
        {"a body of several full blocks, read while the last is written", "/large", Body(kLargeBodySize), true},
        {"a body without a length, ended by the server", "/unsized", Body(kBodySize)},
        {"a redirect, followed", "/moved", Body(kBodySize)},
        {"a redirect to a URL longer than 2,083 characters, followed", "/moved-far", Body(kFarBodySize)},
        {"a connection closed in mid-body: the digest check judges it", "/truncated", Body(kTruncatedAfter)},
    };
    for (const BodyCase& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        WriteBytes(L"target.bin", "an older, longer file that must not survive in part");
        EXPECT_TRUE(Fetch(server.Url(c.path).c_str(), L"target.bin", c.withProgress));
        // The size first: a difference in megabytes of content would print unreadably.
        std::string written = ReadBytes(L"target.bin");
        ASSERT_EQ(written.size(), c.expected.size());
        EXPECT_TRUE(written == c.expected);
        EXPECT_EQ(log.Text(), "");
    }
}

TEST_F(Download, ABodyIsBoundedAndWhatLandsNeverExceedsTheBound) {
    {
        LogCapture log;
        EXPECT_TRUE(Fetch(server.Url("/body").c_str(), L"exact.bin", true, kBodySize));
        EXPECT_EQ(ReadBytes(L"exact.bin"), Body(kBodySize));
        EXPECT_EQ(log.Text(), "");
    }
    const std::wstring url = server.Url("/large");
    LogCapture log;
    EXPECT_FALSE(Fetch(url.c_str(), L"bounded.bin", true, 100000));
    EXPECT_LE(FileSize(L"bounded.bin"), 100000u);
    EXPECT_EQ(log.Text(), "[FAIL] \"" + std::string(url.begin(), url.end()) +
                              "\" is larger than 100000 bytes (error 223).\r\n");  // ERROR_FILE_TOO_LARGE
}

TEST_F(Download, CreatesMissingDirectoriesAndLogsThem) {
    LogCapture log;
    EXPECT_TRUE(Fetch(server.Url("/body").c_str(), L"new\\nested\\file.bin", false));
    EXPECT_EQ(ReadBytes(L"new\\nested\\file.bin"), Body(kBodySize));
    EXPECT_EQ(log.Text(), "[ OK ] Created directory: \"" + scratch.NarrowPath() + "\\new\\nested\"\r\n");
}

TEST_F(Download, TheRequestIsAPlainGetWithTheAgentNoCookiesAndNoCache) {
    const std::wstring url = server.Url("/body");
    // A cookie the session would send if cookies were on; /body also sets one.
    ASSERT_TRUE(InternetSetCookieW(url.c_str(), nullptr, L"planted=yes"));
    ASSERT_TRUE(Fetch(url.c_str(), L"first.bin", false));
    ASSERT_TRUE(Fetch(url.c_str(), L"second.bin", true));

    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const std::string& head : requests) {
        SCOPED_TRACE(head);
        EXPECT_EQ(head.rfind("GET /body HTTP/1.1\r\n", 0), 0u);
        EXPECT_EQ(HeaderValue(head, "User-Agent"), "Launcher.Quorval");
        EXPECT_EQ(HeaderValue(head, "Pragma"), "no-cache");
        EXPECT_EQ(HeaderValue(head, "Cookie"), "(absent)");
    }

    // The same session without the download's flags does send the cookie, so
    // the check above can fail.
    HINTERNET plain = InternetOpenUrlW(downloader.Session(), url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0);
    ASSERT_NE(plain, nullptr);
    char buffer[4096];
    DWORD read = 0;
    while (InternetReadFile(plain, buffer, sizeof(buffer), &read) && read > 0) {
    }
    InternetCloseHandle(plain);
    requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_NE(HeaderValue(requests[2], "Cookie").find("planted=yes"), std::string::npos) << requests[2];
}

TEST_F(Download, ProgressCountsEveryByteOnlyWhenAsked) {
    EXPECT_TRUE(Fetch(server.Url("/body").c_str(), L"quiet.bin", false));
    EXPECT_EQ(window.Done(), 0.0);

    // Without progress the queue is left alone: a pending cancel stays pending.
    window.Show();
    ASSERT_NE(window.Handle(), nullptr);
    PostMessageW(window.Handle(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(Fetch(server.Url("/body").c_str(), L"quiet.bin", false));
    EXPECT_FALSE(window.IsCancelled());
    MSG message;
    EXPECT_TRUE(PeekMessageW(&message, window.Handle(), WM_COMMAND, WM_COMMAND, PM_REMOVE));
    window.Close();

    EXPECT_TRUE(Fetch(server.Url("/body").c_str(), L"counted.bin", true));
    EXPECT_EQ(window.Done(), static_cast<double>(kBodySize));
    EXPECT_TRUE(Fetch(server.Url("/missing").c_str(), L"counted.bin", true));
    EXPECT_EQ(window.Done(), static_cast<double>(kBodySize + FileSize(L"counted.bin")));
}

TEST_F(Download, AfterACancelNothingIsRequestedOrCreated) {
    LogCapture log;
    window.Show();
    ASSERT_NE(window.Handle(), nullptr);
    PostMessageW(window.Handle(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_FALSE(window.Pump());
    const std::wstring url = server.Url("/body");
    DWORD start = GetTickCount();
    EXPECT_FALSE(Fetch(url.c_str(), L"never\\file.bin", true));
    // The remaining entries are still named in the log, but not requested.
    EXPECT_FALSE(FetchEntry(downloader, window, BodyEntry(url, L"never\\file.bin"), 0));
    EXPECT_LT(GetTickCount() - start, 1000u);
    Sleep(200);  // a request, had one been sent, would have arrived by now
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_FALSE(FileExists(L"never"));
    EXPECT_EQ(window.Done(), 0.0);
    EXPECT_EQ(log.Text(), "[ OK ] User cancelled update.\r\n[ OK ] Downloading \"never\\file.bin\" from \"" +
                              std::string(url.begin(), url.end()) + "\"\r\n");
}

// The window, with something queued for it as the first block arrives, the
// way a user's click or a request to end lands in mid-transfer.
class InterruptedWindow final : public Progress {
public:
    InterruptedWindow(ProgressWindow& window, void (*interrupt)(HWND)) : window_(window), interrupt_(interrupt) {}

    void Received(uint32_t bytes) override {
        window_.Received(bytes);
        if (interrupt_ != nullptr) {
            interrupt_(window_.Handle());
            interrupt_ = nullptr;
        }
    }
    bool Pump() override { return window_.Pump(); }

private:
    ProgressWindow& window_;
    void (*interrupt_)(HWND);
};

TEST_F(Download, ACancelDuringTheTransferStopsAfterTheChunkJustWritten) {
    LogCapture log;
    window.Show();
    ASSERT_NE(window.Handle(), nullptr);
    InterruptedWindow clicked(window, [](HWND dialog) { PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0); });
    EXPECT_FALSE(FetchReporting(clicked, server.Url("/body").c_str(), L"partial.bin"));
    EXPECT_TRUE(window.IsCancelled());
    uint64_t written = FileSize(L"partial.bin");
    EXPECT_GT(written, 0u);
    EXPECT_LE(written, kTransferBlockSize);
    EXPECT_EQ(window.Done(), static_cast<double>(written));
    EXPECT_EQ(ReadBytes(L"partial.bin"), Body(kBodySize).substr(0, static_cast<size_t>(written)));
    EXPECT_EQ(log.Text(), "[ OK ] User cancelled update.\r\n");
}

TEST_F(Download, AQuitMessageDuringTheTransferStopsItSilently) {
    LogCapture log;
    InterruptedWindow quitting(window, [](HWND) { PostQuitMessage(0); });
    EXPECT_FALSE(FetchReporting(quitting, server.Url("/body").c_str(), L"partial.bin"));
    EXPECT_TRUE(window.IsCancelled());
    uint64_t written = FileSize(L"partial.bin");
    EXPECT_GT(written, 0u);
    EXPECT_LE(written, kTransferBlockSize);
    EXPECT_EQ(log.Text(), "");
}

TEST_F(Download, AClickQueuedBeforeTheTransferIsAnsweredBeforeAnyRequest) {
    LogCapture log;
    window.Show();
    ASSERT_NE(window.Handle(), nullptr);
    PostMessageW(window.Handle(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_FALSE(FetchReporting(window, server.Url("/body").c_str(), L"partial.bin"));
    Sleep(200);  // a request, had one been sent, would have arrived by now
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_FALSE(FileExists(L"partial.bin"));
    EXPECT_EQ(log.Text(), "[ OK ] User cancelled update.\r\n");
}

TEST_F(Download, AFileHeldOpenWithoutSharingIsReported) {
    WriteBytes(L"in-use.bin", "the application's copy");
    HANDLE held = CreateFileW(L"in-use.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    bool result;
    std::string logged;
    {
        LogCapture log;
        result = Fetch(server.Url("/body").c_str(), L"in-use.bin", true);
        logged = log.Text();
    }
    CloseHandle(held);
    EXPECT_FALSE(result);
    EXPECT_EQ(logged, "[FAIL] Failed to open file \"in-use.bin\".\r\n");
    EXPECT_EQ(ReadBytes(L"in-use.bin"), "the application's copy");
    EXPECT_EQ(window.Done(), 0.0);
}

TEST_F(Download, UnopenableUrlsFailWithoutAFile) {
    struct UrlCase {
        const char* name;
        std::wstring url;
    };
    const UrlCase cases[] = {
        {"nobody listening", L"http://127.0.0.1:" + std::to_wstring(ClosedPort()) + L"/body"},
        {"not a URL", L"no scheme at all"},
    };
    LogCapture log;
    for (const UrlCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(Fetch(c.url.c_str(), L"unreachable.bin", true));
        EXPECT_FALSE(FileExists(L"unreachable.bin"));
    }
    // Without a URL or a file there is no transfer to report.
    EXPECT_FALSE(Fetch(nullptr, L"unreachable.bin", true));
    EXPECT_FALSE(Fetch(server.Url("/body").c_str(), nullptr, true));
    EXPECT_FALSE(FileExists(L"unreachable.bin"));
    EXPECT_EQ(window.Done(), 0.0);
    // Each failed transfer in one line, with the platform's reason:
    // ERROR_INTERNET_CANNOT_CONNECT and ERROR_INTERNET_UNRECOGNIZED_SCHEME.
    EXPECT_EQ(log.Text(), "[FAIL] Failed to download \"" + Narrow(cases[0].url) + "\" (error 12029).\r\n"
                          "[FAIL] Failed to download \"no scheme at all\" (error 12006).\r\n");
    EXPECT_FALSE(window.IsCancelled());
}

TEST_F(Download, ARedirectToAnotherSchemeIsRefusedWithoutAFile) {
    const std::wstring url = server.Url("/to-ftp");
    const std::string refused = "[FAIL] Refused redirect from \"" + Narrow(url) +
                                "\" to \"ftp://127.0.0.1:" + std::to_string(server.Port()) +
                                "/body\" (error 12156).\r\n";
    for (bool withProgress : {false, true}) {
        SCOPED_TRACE(withProgress ? "a file of the update" : "a manifest");
        LogCapture log;
        int before = server.Connections();
        EXPECT_FALSE(Fetch(url.c_str(), L"refused.bin", withProgress));
        EXPECT_FALSE(FileExists(L"refused.bin"));
        Sleep(200);  // a request, had one been sent, would have arrived by now
        EXPECT_EQ(server.Connections(), before + 1);
        EXPECT_EQ(log.Text(), refused);
    }
}

TEST(Redirect, OnlyToHttpOrHttpsAndNeverFromHttpsToHttp) {
    struct RedirectCase {
        const wchar_t* from;
        const wchar_t* to;
        bool allowed;
    };
    const RedirectCase cases[] = {
        {L"http://example.test/a", L"http://example.test/b", true},
        {L"http://example.test/a", L"https://example.test/b", true},
        {L"https://example.test/a", L"https://other.test/b", true},
        {L"HTTPS://example.test/a", L"Https://example.test/b", true},
        {L"https://example.test/a", L"http://example.test/b", false},
        {L"HTTPS://example.test/a", L"HTTP://example.test/b", false},
        {L"http://example.test/a", L"ftp://example.test/b", false},
        {L"https://example.test/a", L"file:///C:/Windows/win.ini", false},
        {L"http://example.test/a", L"httpx://example.test/b", false},
        {L"http://example.test/a", L"no scheme at all", false},
    };
    for (const RedirectCase& c : cases) {
        EXPECT_EQ(IsRedirectAllowed(c.from, c.to), c.allowed) << Narrow(c.from) << " -> " << Narrow(c.to);
    }
}

TEST_F(Download, AConnectionResetInMidBodyFailsWithItsReason) {
    const std::wstring url = server.Url("/reset");
    for (bool withProgress : {false, true}) {
        SCOPED_TRACE(withProgress ? "a file of the update" : "a manifest");
        std::string logged;
        {
            LogCapture log;
            EXPECT_FALSE(Fetch(url.c_str(), L"reset.bin", withProgress));
            logged = log.Text();
        }
        // The socket's WSAECONNRESET, as Wine's WinINet passes it on.
        EXPECT_EQ(logged, "[FAIL] Failed to download \"" + Narrow(url) + "\" (error 10054).\r\n");
        // A manifest cut short could still parse as a whole one; a file's digest judges it.
        EXPECT_EQ(FileExists(L"reset.bin"), withProgress);
    }
}

TEST_F(Download, StalledTransfersKeepAFewThreadsWaitingThenFailAtOnce) {
    ASSERT_TRUE(AbandonedWorkersEnd());
    const std::wstring url = server.Url("/silent");
    std::string expected;
    LogCapture log;
    for (unsigned i = 0; i < kMaxStalledWorkers; ++i) {
        EXPECT_FALSE(Fetch(url.c_str(), L"stalled.bin", false));
        expected += "[FAIL] No data from \"" + Narrow(url) + "\" for " + std::to_string(kStallLimitMs / 1000) +
                    " s (error 12002).\r\n";
    }
    DWORD start = GetTickCount();
    EXPECT_FALSE(Fetch(url.c_str(), L"stalled.bin", true));
    EXPECT_LT(GetTickCount() - start, 1000u);
    Sleep(200);  // a request, had one been sent, would have arrived by now
    EXPECT_EQ(server.Connections(), static_cast<int>(kMaxStalledWorkers));
    EXPECT_FALSE(FileExists(L"stalled.bin"));
    expected += "[FAIL] Failed to download \"" + Narrow(url) + "\": " + std::to_string(kMaxStalledWorkers) +
                " stalled transfers still wait (error 164).\r\n";
    EXPECT_EQ(log.Text(), expected);

    // Once the server lets go, their threads end and transfers start again.
    server.ReleaseHeld();
    EXPECT_TRUE(AbandonedWorkersEnd());
    EXPECT_TRUE(Fetch(server.Url("/body").c_str(), L"stalled.bin", true));
    EXPECT_EQ(log.Text(), expected);
}

TEST_F(Download, FetchEntryLogsPathThenUrlAndStagesItBesideTheTarget) {
    LogCapture log;
    const std::wstring url = server.Url("/body");
    EXPECT_TRUE(FetchEntry(downloader, window, BodyEntry(url, L"entry.bin"), 0));
    EXPECT_EQ(ReadBytes(StagingPathFor(L"entry.bin")), Body(kBodySize));
    EXPECT_FALSE(FileExists(L"entry.bin"));
    EXPECT_EQ(window.Done(), static_cast<double>(kBodySize));
    EXPECT_EQ(log.Text(), "[ OK ] Downloading \"entry.bin\" from \"http://127.0.0.1:" +
                              std::to_string(server.Port()) + "/body\"\r\n");
}

}  // namespace
