#include "common/FileHelpers.h"

#include "common/RunLog.h"

#include <windows.h>

#include <cwchar>

namespace {

// Characters no Windows file name may hold; ':' also rules out drives and
// alternate data streams. Control characters are refused as a range.
constexpr wchar_t kForbiddenCharacters[] = L"<>:\"|?*";

// Windows drops a trailing dot or space when it opens a name, so such a
// component names another file than it says; "." and ".." end in a dot too.
bool IsPlainComponent(const wchar_t* name, size_t length) {
    if (length == 0 || name[length - 1] == L'.' || name[length - 1] == L' ') {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (name[i] < 0x20 || std::wcschr(kForbiddenCharacters, name[i]) != nullptr) {
            return false;
        }
    }
    return true;
}

bool IsExistingDirectory(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// ERROR_SUCCESS, or why relativePath has no full path the launcher may write.
// A path too long still leaves its full form in fullPath, for the log.
DWORD Resolve(const wchar_t* relativePath, std::wstring& fullPath) {
    fullPath.clear();
    if (relativePath == nullptr || !IsPlainRelativePath(relativePath, std::wcslen(relativePath))) {
        return ERROR_INVALID_NAME;
    }
    wchar_t directory[MAX_PATH] = {};
    DWORD length = GetCurrentDirectoryW(MAX_PATH, directory);
    if (length == 0) {
        return GetLastError();
    }
    if (length >= MAX_PATH) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    fullPath.assign(directory, length);
    // A drive's root ("C:\") already ends in its separator.
    if (!IsPathSeparator(fullPath.back())) {
        fullPath += L'\\';
    }
    fullPath += relativePath;
    if (fullPath.size() >= MAX_PATH) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    // The plain-name rule should leave nothing for the platform's own path
    // normalisation to change; if it would change anything, the string the
    // launcher opens might not be the path it checked, so refuse it.
    wchar_t normalised[MAX_PATH] = {};
    DWORD normalisedLength = GetFullPathNameW(fullPath.c_str(), MAX_PATH, normalised, nullptr);
    if (normalisedLength != fullPath.size()) {
        return ERROR_INVALID_NAME;
    }
    for (size_t i = 0; i < fullPath.size(); ++i) {
        if (normalised[i] != fullPath[i] && !(IsPathSeparator(normalised[i]) && IsPathSeparator(fullPath[i]))) {
            return ERROR_INVALID_NAME;
        }
    }
    return ERROR_SUCCESS;
}

// A refused name may hold line breaks: they show as '?' so that one failure
// stays one line of the log.
std::wstring Printable(const wchar_t* text) {
    std::wstring printable = text != nullptr ? text : L"";
    for (wchar_t& c : printable) {
        if (c < 0x20) {
            c = L'?';
        }
    }
    return printable;
}

}  // namespace

bool IsPlainRelativePath(const wchar_t* path, size_t length) {
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length || IsPathSeparator(path[i])) {
            if (!IsPlainComponent(path + start, i - start)) {
                return false;
            }
            start = i + 1;
        }
    }
    return true;
}

bool ResolveRelativePath(const wchar_t* relativePath, std::wstring& fullPath) {
    DWORD error = Resolve(relativePath, fullPath);
    if (error != ERROR_SUCCESS) {
        fullPath.clear();
        SetLastError(error);
        return false;
    }
    return true;
}

bool EnsureParentDirectories(const wchar_t* relativeFilePath, std::wstring* fullFilePath) {
    if (fullFilePath != nullptr) {
        fullFilePath->clear();
    }
    std::wstring full;
    DWORD error = Resolve(relativeFilePath, full);
    if (error != ERROR_SUCCESS) {
        std::wstring named = full.empty() ? Printable(relativeFilePath) : full;
        LogLine(L"[FAIL] Failed to resolve path \"%ls\" (error %lu).", named.c_str(), error);
        return false;
    }

    // Every directory made is a prefix of the one string the caller opens,
    // so both resolve the same path.
    size_t relativeStart = full.size() - std::wcslen(relativeFilePath);
    size_t parentEnd = full.size();
    while (parentEnd > relativeStart && !IsPathSeparator(full[parentEnd - 1])) {
        --parentEnd;
    }
    // A bare file name's directory is the current one.
    if (parentEnd > relativeStart && !IsExistingDirectory(full.substr(0, parentEnd - 1))) {
        bool created = false;
        for (size_t i = relativeStart; i < parentEnd; ++i) {
            if (!IsPathSeparator(full[i])) {
                continue;
            }
            std::wstring directory = full.substr(0, i);
            if (CreateDirectoryW(directory.c_str(), nullptr)) {
                created = true;
                continue;
            }
            error = GetLastError();
            // Something of that name exists: a file there fails the next
            // level or the caller's open, which report it.
            if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS || IsExistingDirectory(directory)) {
                continue;
            }
            LogLine(L"[FAIL] Failed to create directory \"%ls\" (error %lu).", directory.c_str(), error);
            return false;
        }
        if (created) {
            LogLine(L"[ OK ] Created directory: \"%ls\"", full.substr(0, parentEnd - 1).c_str());
        }
    }
    if (fullFilePath != nullptr) {
        *fullFilePath = std::move(full);
    }
    return true;
}

bool CopyFileWithDirectories(const wchar_t* source, const wchar_t* destination) {
    std::wstring target;
    if (!EnsureParentDirectories(destination, &target)) {
        return false;
    }
    return CopyFileW(source, target.c_str(), FALSE) != FALSE;
}
