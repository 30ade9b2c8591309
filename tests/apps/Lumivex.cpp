// The application the end-to-end tests let the launcher start. It records
// the command line and current directory it received and exits with the
// code the test chooses.
//
// Environment (all optional):
//   LUMIVEX_RECORD     file to write: line 1 the command line, line 2 the
//                      current directory (UTF-8); default "lumivex-record.txt"
//   LUMIVEX_EXIT_CODE  exit code, decimal; default 0
//   LUMIVEX_SLEEP_MS   milliseconds to wait before exiting
//   LUMIVEX_HOLD       a file to keep open, without sharing, while it waits
//   LUMIVEX_KEEP_DESKTOP  set: hold Wine's desktop while it waits (the tests'
//                      idle program); Wine ends its desktop process about a
//                      second after the last program with a window is gone
#include "apps/Utf8.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t value[1024];
    DWORD length = GetEnvironmentVariableW(name, value, 1024);
    if (length == 0 || length >= 1024) {
        return std::wstring();
    }
    return std::wstring(value, length);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    HANDLE held = INVALID_HANDLE_VALUE;
    std::wstring hold = Environment(L"LUMIVEX_HOLD");
    if (!hold.empty()) {
        held = CreateFileW(hold.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }

    std::wstring record = Environment(L"LUMIVEX_RECORD");
    if (record.empty()) {
        record = L"lumivex-record.txt";
    }
    wchar_t directory[MAX_PATH * 2] = {};
    GetCurrentDirectoryW(MAX_PATH * 2, directory);
    std::string text = Utf8(GetCommandLineW()) + "\n" + Utf8(directory) + "\n";
    // Written and renamed into place, so a test never reads half a record.
    std::wstring partial = record + L".partial";
    FILE* out = _wfopen(partial.c_str(), L"wb");
    if (out != nullptr) {
        fwrite(text.data(), 1, text.size(), out);
        fclose(out);
        MoveFileExW(partial.c_str(), record.c_str(), MOVEFILE_REPLACE_EXISTING);
    }

    if (!Environment(L"LUMIVEX_KEEP_DESKTOP").empty()) {
        // Loaded only here, so that the application the launcher starts stays window-free.
        HMODULE user32 = LoadLibraryW(L"user32.dll");
        using GetDesktopWindowFn = HWND(WINAPI*)();
        FARPROC proc = user32 ? GetProcAddress(user32, "GetDesktopWindow") : nullptr;
        if (proc != nullptr) {
            // Through void(*)(), the one cast between function types that is meant to be taken.
            reinterpret_cast<GetDesktopWindowFn>(reinterpret_cast<void (*)()>(proc))();
        }
    }

    std::wstring sleep = Environment(L"LUMIVEX_SLEEP_MS");
    if (!sleep.empty()) {
        Sleep(static_cast<DWORD>(wcstoul(sleep.c_str(), nullptr, 10)));
    }
    if (held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
    }
    std::wstring code = Environment(L"LUMIVEX_EXIT_CODE");
    return code.empty() ? 0 : static_cast<int>(wcstol(code.c_str(), nullptr, 10));
}
