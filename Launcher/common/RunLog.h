// The run log: standard output redirected into Launcher\log.txt.
#pragma once

// Creates the working folder and points standard output at the log file,
// replacing an earlier run's log. Failure only loses log text.
void OpenRunLog();

// Writes one formatted message and then a line end to the run log.
// Use %ls for wide strings.
void LogLine(const wchar_t* format, ...);
