// The sample application of the demo release: a stand-in for the program the
// launcher keeps up to date. It records its version, the command line the
// launcher passed on and the message of the day from its data files in
// Lumivex-output.txt, so that the demo can show which release ran and how.
//
// Exit code: 0 when the record was written; 2 when it was written but
// data\motd.txt could not be read; 1 when the record could not be written.
#include "common/Handles.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr wchar_t kVersion[] = L"Lumivex sample 1.0";
constexpr wchar_t kMotdPath[] = L"data\\motd.txt";
constexpr wchar_t kOutputPath[] = L"Lumivex-output.txt";
constexpr wchar_t kPartialPath[] = L"Lumivex-output.txt.partial";

std::string Utf8(const wchar_t* text) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) {
        return std::string();
    }
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], length, nullptr, nullptr);
    out.resize(static_cast<size_t>(length) - 1);  // the terminating null
    return out;
}

bool ReadWholeFile(const wchar_t* path, std::string& content) {
    ScopedStdioFile file(_wfopen(path, L"rb"));
    if (!file.IsValid()) {
        return false;
    }
    char buffer[4096];
    size_t read;
    while ((read = fread(buffer, 1, sizeof(buffer), file.Get())) > 0) {
        content.append(buffer, read);
    }
    return ferror(file.Get()) == 0;
}

// Written beside the target and renamed into place, so that a reader never
// sees half a record, nor the record of an earlier run after a failed write.
bool WriteRecord(const std::string& text) {
    bool written;
    {
        ScopedStdioFile file(_wfopen(kPartialPath, L"wb"));
        if (!file.IsValid()) {
            return false;
        }
        written = fwrite(text.data(), 1, text.size(), file.Get()) == text.size() && fflush(file.Get()) == 0;
    }
    if (!written) {
        DeleteFileW(kPartialPath);
        return false;
    }
    return MoveFileExW(kPartialPath, kOutputPath, MOVEFILE_REPLACE_EXISTING) != FALSE;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::string motd;
    bool haveMotd = ReadWholeFile(kMotdPath, motd);

    std::string text = Utf8(kVersion) + "\n";
    text += "Command line: " + Utf8(GetCommandLineW()) + "\n";
    if (haveMotd) {
        text += "Message of the day:\n" + motd;
        if (!motd.empty() && motd.back() != '\n') {
            text += "\n";
        }
    } else {
        text += "Message of the day: (data\\motd.txt could not be read)\n";
    }

    if (!WriteRecord(text)) {
        return 1;
    }
    return haveMotd ? 0 : 2;
}
