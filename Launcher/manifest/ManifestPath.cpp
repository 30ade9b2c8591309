#include "manifest/ManifestPath.h"

#include "common/FileHelpers.h"
#include "manifest/AsciiCase.h"

namespace {

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
    return EqualsIgnoringAsciiCase(name, length, L"launcher");
}

}  // namespace

bool IsSafeManifestPath(const std::wstring& path) {
    // The rule of every path the launcher writes: no root, UNC or device
    // prefix, no drive or stream colon, no step up, no name Windows would
    // alter or cannot store.
    if (!IsPlainRelativePath(path.c_str(), path.size())) {
        return false;
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !IsPathSeparator(path[end])) {
            ++end;
        }
        const wchar_t* name = path.c_str() + start;
        size_t length = end - start;
        if (IsDeviceName(name, length) || (start == 0 && IsLauncherFolder(name, length))) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

bool IsSafeManifestSrc(const std::wstring& src) {
    for (wchar_t c : src) {
        if (c < 0x20) {
            return false;
        }
    }
    return true;
}
