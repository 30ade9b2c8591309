// Helpers for the unit tests: a scratch current directory, capture of the
// run log (standard output), and small file utilities.
#pragma once

#include <windows.h>

#include <string>

// Creates a fresh directory under the temp folder, makes it the current
// directory, and on destruction goes back and deletes it with its content.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::wstring& Path() const { return path_; }
    std::string NarrowPath() const;

private:
    std::wstring previous_;
    std::wstring path_;
};

// Points standard output (the run log) at a file in text mode for its
// lifetime; Text() returns the bytes written so far.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string Text();

private:
    int saved_ = -1;
    std::wstring file_;
};

void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
