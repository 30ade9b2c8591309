#include "manifest/ManifestPath.h"

#include "manifest/AsciiCase.h"

namespace {

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Windows drops trailing dots and spaces from names, so a component of only
// dots and spaces may be read as "." or ".." by some path normaliser; no real
// file is called that.
bool IsDotsAndSpaces(const wchar_t* name, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (name[i] != L'.' && name[i] != L' ') {
            return false;
        }
    }
    return true;
}

// Windows resolves a reserved name to a device whatever extension follows and
// whatever spaces end the base name ("COM1.log", "nul .txt").
bool IsDeviceName(const wchar_t* name, size_t length) {
    size_t base = 0;
    while (base < length && name[base] != L'.') {
        ++base;
    }
    while (base > 0 && name[base - 1] == L' ') {
        --base;
    }
    static const wchar_t* const kDevices[] = {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"};
    for (const wchar_t* device : kDevices) {
        if (EqualsIgnoringAsciiCase(name, base, device)) {
            return true;
        }
    }
    if (base == 4 && (EqualsIgnoringAsciiCase(name, 3, L"com") || EqualsIgnoringAsciiCase(name, 3, L"lpt"))) {
        wchar_t digit = name[3];
        return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
    }
    return false;
}

// The launcher's own working folder (log, manifest, backup) is not the
// manifest's to fill: a listed file there could replace the backup with
// something that never parsed as valid, and a file named like the folder
// would keep the launcher from ever writing its log and manifests again.
bool IsLauncherFolder(const wchar_t* name, size_t length) {
    while (length > 0 && (name[length - 1] == L'.' || name[length - 1] == L' ')) {
        --length;
    }
    return EqualsIgnoringAsciiCase(name, length, L"launcher");
}

}  // namespace

bool IsSafeManifestPath(const std::wstring& path) {
    // A leading separator covers rooted paths, UNC shares and the "\\?\",
    // "\\.\" and "\??\" device prefixes.
    if (path.empty() || IsSeparator(path[0])) {
        return false;
    }
    // A colon is a drive ("C:x", "C:\x") or an alternate data stream of an
    // existing file ("file.txt:stream").
    if (path.find(L':') != std::wstring::npos) {
        return false;
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) {
            ++end;
        }
        const wchar_t* name = path.c_str() + start;
        size_t length = end - start;
        if (length > 0 && (IsDotsAndSpaces(name, length) || IsDeviceName(name, length))) {
            return false;
        }
        if (start == 0 && IsLauncherFolder(name, length)) {
            return false;
        }
        start = end + 1;
    }
    return true;
}
