// File-system steps for paths relative to the current directory.
#pragma once

#include <cstddef>
#include <string>

// Manifest paths may use either separator.
inline bool IsPathSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// True when every component of path (length characters, "/" and "\" both
// separators) is a name Windows stores as written: not empty, "." or "..", not
// ending in a dot or space, at most 255 characters, and free of <>:"|?* and
// control characters. Such a
// path is plainly relative: no root, no drive, no step up, nothing the
// platform's path normalisation would change.
bool IsPlainRelativePath(const wchar_t* path, size_t length);

// The full path the launcher writes for a relative file path, in the extended
// form ("\\?\" + the current directory + one backslash + the path with
// backslashes), so that install folders deeper than MAX_PATH work and nothing
// is canonicalised. False when the path is not plainly relative (empty,
// rooted, a drive or any ':', an empty, "." or ".." component, a component
// ending in a dot or space or longer than 255 characters, one of <>"|?* or a
// control character) or the result would not fit the extended form.
bool ResolveRelativePath(const wchar_t* relativePath, std::wstring& fullPath);

// Creates every missing directory above a relative file path. True when the
// directory exists afterwards; logs the full path (in its plain form) when it
// created any, and a [FAIL] line with the Windows error when the path cannot
// be resolved or a directory cannot be created.
// When fullFilePath is given it receives the file's full path, the same
// string the caller must then open (so both sides resolve one path).
bool EnsureParentDirectories(const wchar_t* relativeFilePath, std::wstring* fullFilePath = nullptr);

// Copies a file, creating the destination's directories and replacing an
// existing destination.
bool CopyFileWithDirectories(const wchar_t* source, const wchar_t* destination);

// A small file of the launcher's own (a journal, an identity) as UTF-16 text,
// read whole or written whole; path is a full path.
bool ReadWideText(const std::wstring& path, std::wstring& text);
bool WriteWideText(const std::wstring& path, const std::wstring& text, bool writeThrough = false);
