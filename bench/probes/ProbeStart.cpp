// The floor of the launcher's start: a program with the launcher's imports
// (kernel32, user32, comctl32, advapi32, wininet, msvcrt) that starts
// Lumivex.exe and waits for it, as the launcher does when nothing is stale.
// With a URL as its argument it first does what any run must: common
// controls, one GET read to its end, one CryptoAPI context.
#include <windows.h>
#include <commctrl.h>
#include <wincrypt.h>
#include <wininet.h>

namespace {

bool Fetch(const wchar_t* url) {
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    HINTERNET session = InternetOpenW(L"Probe", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (session == nullptr) {
        return false;
    }
    HINTERNET request = InternetOpenUrlW(session, url, nullptr, 0,
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES,
                                         0);
    bool ok = request != nullptr;
    static BYTE buffer[1 << 16];
    DWORD count = 0;
    DWORD total = 0;
    while (ok && InternetReadFile(request, buffer, sizeof(buffer), &count) && count > 0) {
        total += count;
    }
    ok = ok && total > 0;
    if (request != nullptr) {
        InternetCloseHandle(request);
    }
    InternetCloseHandle(session);

    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        return false;
    }
    CryptReleaseContext(provider, 0);
    return ok;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR arguments, int) {
    if (arguments != nullptr && arguments[0] != L'\0' && !Fetch(arguments)) {
        return 3;
    }
    static wchar_t commandLine[] = L"Lumivex.exe";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Lumivex.exe", commandLine, nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE, nullptr,
                        nullptr, &startup, &process)) {
        MessageBoxW(nullptr, L"Failed to start Lumivex.exe.", L"Probe", MB_ICONERROR);
        return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}
