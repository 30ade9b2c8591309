// The run log: standard output redirected into Launcher\log.txt.
#pragma once

// Creates the working folder and points standard output at the log file,
// replacing an earlier run's log. Failure only loses log text.
void OpenRunLog();

// Writes one formatted message and then a line end to the run log.
// Use %ls for wide strings.
void LogLine(const wchar_t* format, ...);

#include <string>

// Where a thread's lines go instead of the log: a transfer running beside
// others hands its lines to the thread that keeps the log in manifest order.
class LogLines {
public:
    virtual void Add(std::wstring line) = 0;

protected:
    ~LogLines() = default;
};

// Sends this thread's lines to receiver (nullptr: the log again); returns the
// receiver it replaces.
LogLines* RedirectLogLines(LogLines* receiver);

// Writes a line a redirected thread formatted.
void WriteLogLine(const std::wstring& line);

