#include "core/Launch.h"

#include "common/Constants.h"
#include "common/Handles.h"
#include "common/RunLog.h"

#include <windows.h>

int LaunchApplication() {
    static wchar_t defaultDesktop[] = L"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = defaultDesktop;
    startup.dwFlags = STARTF_FORCEOFFFEEDBACK;
    PROCESS_INFORMATION process = {};

    // CreateProcessW may write into its command line, so it gets a copy.
    const wchar_t* commandLine = GetCommandLineW();
    SIZE_T characters = static_cast<SIZE_T>(lstrlenW(commandLine)) + 1;
    ScopedHeapBlock copy(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY | HEAP_GENERATE_EXCEPTIONS,
                                   characters * sizeof(wchar_t)));
    wchar_t* arguments = static_cast<wchar_t*>(copy.Get());
    lstrcpyW(arguments, commandLine);

    if (!CreateProcessW(kApplicationName, arguments, nullptr, nullptr, FALSE,
                        CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup, &process)) {
        LogLine(L"[FAIL] CreateProcess failed: %u", static_cast<unsigned>(GetLastError()));
        MessageBoxW(nullptr, L"Failed to execute application.", kCaption, MB_ICONERROR);
        return 1;
    }
    // Declared so that the process handle closes before the thread handle.
    ScopedHandle thread(process.hThread);
    ScopedHandle child(process.hProcess);

    LogLine(L"[ OK ] Child process created. Waiting for termination...");
    WaitForSingleObject(child.Get(), INFINITE);
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(child.Get(), &exitCode)) {
        exitCode = 1;
    }
    int code = static_cast<int>(exitCode);
    LogLine(L"[ OK ] Child process terminated with exit code: %i", code);
    return code;
}
