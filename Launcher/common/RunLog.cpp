#include "common/RunLog.h"

#include "common/Constants.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

// One byte per character, as the "C" locale writes text: characters up to
// U+00FF are their own byte, anything else is "?". The runtime would stop
// writing at such a character instead, losing the rest of the line.
std::string ToLogBytes(const std::wstring& text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c <= 0xFF) {
            bytes.push_back(static_cast<char>(static_cast<unsigned char>(c)));
            continue;
        }
        bytes.push_back('?');
        // A surrogate pair is one character, so it gets one "?".
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            ++i;
        }
    }
    return bytes;
}

std::wstring FormatMessageText(const wchar_t* format, va_list args) {
    va_list counting;
    va_copy(counting, args);
    int length = _vscwprintf(format, counting);
    va_end(counting);
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    _vsnwprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

// Plain data, so that every build of the runtime keeps it per thread.
thread_local LogLines* redirected = nullptr;

}  // namespace

void OpenRunLog() {
    // An existing folder is fine. A new one is reported to whatever output
    // the launcher was started with, since the log is not open yet.
    if (CreateDirectoryW(kWorkingFolder, nullptr)) {
        wchar_t folder[MAX_PATH] = {};
        DWORD length = GetFullPathNameW(kWorkingFolder, MAX_PATH, folder, nullptr);
        if (length > 0 && length < MAX_PATH) {
            LogLine(L"[ OK ] Created directory: \"%ls\"", folder);
        }
    }
    // "w" truncates: each run's log replaces the previous one.
    _wfreopen(kLogPath, L"w", stdout);
}

void LogLine(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring line = FormatMessageText(format, args);
    va_end(args);
    if (redirected != nullptr) {
        redirected->Add(std::move(line));
        return;
    }
    WriteLogLine(line);
}

void WriteLogLine(const std::wstring& line) {
    std::string bytes = ToLogBytes(line);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fwrite("\n", 1, 1, stdout);
    // Flushed per line so that a launcher that hangs in a download or is
    // killed while the application runs still leaves its record on disk.
    fflush(stdout);
}

LogLines* RedirectLogLines(LogLines* receiver) {
    LogLines* previous = redirected;
    redirected = receiver;
    return previous;
}
