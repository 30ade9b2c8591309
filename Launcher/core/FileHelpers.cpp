#include "core/FileHelpers.h"

#include "core/RunLog.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

bool EnsureParentDirectories(const wchar_t* relativeFilePath) {
    wchar_t directory[MAX_PATH] = {};
    // A current directory too long for the buffer, or a path that does not
    // fit after it, would leave a directory other than the file's to create.
    DWORD length = GetCurrentDirectoryW(MAX_PATH, directory);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    if (!PathAppendW(directory, relativeFilePath)) {
        return false;
    }
    PathRemoveFileSpecW(directory);

    int result = SHCreateDirectoryExW(nullptr, directory, nullptr);
    if (result == ERROR_SUCCESS) {
        LogLine(L"[ OK ] Created directory: \"%ls\"", directory);
        return true;
    }
    return result == ERROR_FILE_EXISTS || result == ERROR_ALREADY_EXISTS;
}

bool CopyFileWithDirectories(const wchar_t* source, const wchar_t* destination) {
    if (!EnsureParentDirectories(destination)) {
        return false;
    }
    return CopyFileW(source, destination, FALSE) != FALSE;
}
