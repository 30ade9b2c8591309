// A body written into one file below the current directory, replacing it.
#pragma once

#include "common/ByteSink.h"
#include "common/Handles.h"

#include <string>

class FileSink final : public ByteSink {
public:
    explicit FileSink(const wchar_t* relativePath) : relativePath_(relativePath) {}
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    // Creates the file's directories (logging any it made) and the file; a
    // plain file always takes the body from its start.
    bool Open(const Answer& answer) override;
    bool Write(const BYTE* data, DWORD count) override;
    // Closes the file; Discard also deletes what was written.
    void Close() { file_.Close(); }
    void Discard();

private:
    const wchar_t* relativePath_;
    std::wstring fullPath_;
    ScopedFileHandle file_;
};
