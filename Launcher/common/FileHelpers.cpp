#include "common/FileHelpers.h"

#include "common/Handles.h"
#include "common/RunLog.h"

#include <windows.h>

#include <cwchar>

namespace {

// Characters no Windows file name may hold; ':' also rules out drives and
// alternate data streams. Control characters are refused as a range.
constexpr wchar_t kForbiddenCharacters[] = L"<>:\"|?*";
// No file system Windows writes to stores a longer name.
constexpr size_t kLongestName = 255;

// Windows drops a trailing dot or space when it opens a name, so such a
// component names another file than it says; "." and ".." end in a dot too.
bool IsPlainComponent(const wchar_t* name, size_t length) {
    if (length == 0 || length > kLongestName || name[length - 1] == L'.' || name[length - 1] == L' ') {
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

// The longest path the extended form takes, with its null.
constexpr size_t kLongestPath = 32767;
constexpr wchar_t kExtendedPrefix[] = L"\\\\?\\";
constexpr wchar_t kExtendedUncPrefix[] = L"\\\\?\\UNC\\";

// The form every write uses: no MAX_PATH limit and no normalisation by the
// platform, so the string opened is exactly the path checked. The plain form
// is what the log shows.
std::wstring Extended(const std::wstring& path) {
    if (path.compare(0, 4, kExtendedPrefix) == 0) {
        return path;
    }
    if (path.compare(0, 2, L"\\\\") == 0) {  // \\server\share
        return kExtendedUncPrefix + path.substr(2);
    }
    return kExtendedPrefix + path;
}

// ERROR_SUCCESS, or why relativePath has no full path the launcher may write.
// plainPath receives the current directory, one backslash and the relative
// path with backslashes (also when too long, for the log).
DWORD Resolve(const wchar_t* relativePath, std::wstring& plainPath) {
    plainPath.clear();
    if (relativePath == nullptr || !IsPlainRelativePath(relativePath, std::wcslen(relativePath))) {
        return ERROR_INVALID_NAME;
    }
    DWORD length = GetCurrentDirectoryW(0, nullptr);
    if (length == 0) {
        return GetLastError();
    }
    std::wstring directory(length, L'\0');
    length = GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), &directory[0]);
    if (length == 0 || length >= directory.size()) {
        return length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    }
    directory.resize(length);
    plainPath = directory;
    // A drive's root ("C:\") already ends in its separator.
    if (!IsPathSeparator(plainPath.back())) {
        plainPath += L'\\';
    }
    size_t relativeStart = plainPath.size();
    plainPath += relativePath;
    // The extended form knows only backslashes.
    for (size_t i = relativeStart; i < plainPath.size(); ++i) {
        if (plainPath[i] == L'/') {
            plainPath[i] = L'\\';
        }
    }
    if (Extended(plainPath).size() >= kLongestPath) {
        return ERROR_FILENAME_EXCED_RANGE;
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
    fullPath = Extended(fullPath);
    return true;
}

bool EnsureParentDirectories(const wchar_t* relativeFilePath, std::wstring* fullFilePath) {
    if (fullFilePath != nullptr) {
        fullFilePath->clear();
    }
    std::wstring plain;
    DWORD error = Resolve(relativeFilePath, plain);
    if (error != ERROR_SUCCESS) {
        std::wstring named = plain.empty() ? Printable(relativeFilePath) : plain;
        LogLine(L"[FAIL] Failed to resolve path \"%ls\" (error %lu).", named.c_str(), error);
        return false;
    }

    // Every directory made is a prefix of the one string the caller opens,
    // so both resolve the same path; the log shows them in the plain form.
    std::wstring full = Extended(plain);
    size_t prefix = full.size() - plain.size();
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
            LogLine(L"[FAIL] Failed to create directory \"%ls\" (error %lu).", directory.c_str() + prefix, error);
            return false;
        }
        if (created) {
            LogLine(L"[ OK ] Created directory: \"%ls\"", plain.substr(0, parentEnd - 1 - prefix).c_str());
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

bool ReadWideText(const std::wstring& path, std::wstring& text) {
    ScopedFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {};
    // Anything larger is not one of the launcher's own small files.
    if (!file.IsValid() || !GetFileSizeEx(file.Get(), &size) || size.QuadPart > 16 * 1024 * 1024) {
        return false;
    }
    text.assign(static_cast<size_t>(size.QuadPart) / sizeof(wchar_t), L'\0');
    DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD got = 0;
    return bytes == 0 || (ReadFile(file.Get(), &text[0], bytes, &got, nullptr) && got == bytes);
}

bool WriteWideText(const std::wstring& path, const std::wstring& text, bool writeThrough) {
    ScopedFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | (writeThrough ? FILE_FLAG_WRITE_THROUGH : 0), nullptr));
    DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD put = 0;
    return file.IsValid() && WriteFile(file.Get(), text.data(), bytes, &put, nullptr) && put == bytes &&
           (!writeThrough || FlushFileBuffers(file.Get()));
}
