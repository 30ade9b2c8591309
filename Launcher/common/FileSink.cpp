#include "common/FileSink.h"

#include "common/FileHelpers.h"
#include "common/RunLog.h"

bool FileSink::Open(const Answer& answer) {
    if (answer.offset != 0) {
        return false;
    }
    // The same full path for the directories and the file.
    if (relativePath_ == nullptr || !EnsureParentDirectories(relativePath_, &fullPath_)) {
        return false;
    }
    file_.Reset(CreateFileW(fullPath_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    if (!file_.IsValid()) {
        LogLine(L"[FAIL] Failed to open file \"%ls\".", relativePath_);
        return false;
    }
    return true;
}

bool FileSink::Write(const BYTE* data, DWORD count) {
    DWORD put = 0;
    if (!WriteFile(file_.Get(), data, count, &put, nullptr) || put != count) {
        DWORD error = GetLastError();
        LogLine(L"[FAIL] Failed to write file \"%ls\" (error %u).", relativePath_,
                static_cast<unsigned>(error != ERROR_SUCCESS ? error : ERROR_DISK_FULL));
        return false;
    }
    return true;
}

void FileSink::Discard() {
    file_.Close();
    if (!fullPath_.empty()) {
        DeleteFileW(fullPath_.c_str());
    }
}
