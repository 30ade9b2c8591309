// File-system steps for paths relative to the current directory.
#pragma once

// Creates every missing directory above a relative file path. True when the
// directory exists afterwards; logs the full path when it created any.
bool EnsureParentDirectories(const wchar_t* relativeFilePath);

// Copies a file, creating the destination's directories and replacing an
// existing destination.
bool CopyFileWithDirectories(const wchar_t* source, const wchar_t* destination);
