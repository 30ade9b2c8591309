// One HTTP GET of one URL streamed into one file under the current directory.
#include "core/FileHelpers.h"
#include "core/Handles.h"
#include "core/RunLog.h"
#include "core/Updater.h"

namespace {

// Always from the server, never into the cache, no cookies either way.
constexpr DWORD kRequestFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_PRAGMA_NOCACHE;
constexpr DWORD kChunkSize = 4096;

}  // namespace

bool Updater::DownloadFile(const wchar_t* url, const wchar_t* relativePath, bool withProgress) {
    if (url == nullptr || relativePath == nullptr || session == nullptr || IsCancelled()) {
        return false;
    }
    ScopedInternetHandle request(InternetOpenUrlW(session, url, nullptr, 0, kRequestFlags, 0));
    if (!request.IsValid()) {
        return false;
    }
    if (!EnsureParentDirectories(relativePath)) {
        return false;
    }
    ScopedFileHandle file(CreateFileW(relativePath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        LogLine(L"[FAIL] Failed to open file \"%ls\".", relativePath);
        return false;
    }

    // The HTTP status is not looked at: the caller judges the content by
    // parsing it or by its digest, and a failed read ends like the data.
    bool result = true;
    BYTE buffer[kChunkSize];
    for (;;) {
        DWORD read = 0;
        if (!InternetReadFile(request.Get(), buffer, kChunkSize, &read) || read == 0) {
            break;
        }
        DWORD written = 0;
        if (!WriteFile(file.Get(), buffer, read, &written, nullptr) || written != read) {
            result = false;
            break;
        }
        if (withProgress) {
            AddProgress(read);
            if (!PumpMessages()) {
                result = false;
                break;
            }
        }
    }
    return result;
}

bool DownloadEntry(void* updater, const wchar_t* url, const wchar_t* relativePath) {
    LogLine(L"[ OK ] Downloading \"%ls\" from \"%ls\"", relativePath, url);
    return static_cast<Updater*>(updater)->DownloadFile(url, relativePath, true);
}
