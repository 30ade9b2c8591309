// The least a WinINet download can do: one session, each listed URL opened
// with the launcher's flags, its body read in 1 MiB calls straight into its
// file. Nothing else: no window, no worker thread, no log, no digest.
#include "ProbeList.h"

#include <wininet.h>

namespace {

constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                                INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT;
constexpr DWORD kBlock = 1 << 20;

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<ProbeItem> items;
    if (argc != 2 || !ReadProbeList(argv[1], items)) {
        fwprintf(stderr, L"usage: ProbeDownload LIST (URL, path and size per line)\n");
        return 2;
    }
    HINTERNET session = InternetOpenW(L"Probe", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (session == nullptr) {
        return 3;
    }
    std::vector<BYTE> buffer(kBlock);
    FolderMaker folders;
    for (const ProbeItem& item : items) {
        HINTERNET request = InternetOpenUrlW(session, item.url.c_str(), nullptr, 0, kRequestFlags, 0);
        if (request == nullptr) {
            fwprintf(stderr, L"open failed: %ls (%lu)\n", item.url.c_str(), GetLastError());
            return 4;
        }
        if (!folders.Ensure(item.path)) {
            return 5;
        }
        HANDLE file = CreateFileW(item.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return 6;
        }
        unsigned long long total = 0;
        DWORD count = 0;
        while (InternetReadFile(request, buffer.data(), kBlock, &count) && count > 0) {
            DWORD put = 0;
            if (!WriteFile(file, buffer.data(), count, &put, nullptr) || put != count) {
                return 7;
            }
            total += count;
        }
        CloseHandle(file);
        InternetCloseHandle(request);
        if (total != item.size) {
            fwprintf(stderr, L"%ls: %llu bytes, expected %llu\n", item.path.c_str(), total, item.size);
            return 8;
        }
    }
    InternetCloseHandle(session);
    return 0;
}
