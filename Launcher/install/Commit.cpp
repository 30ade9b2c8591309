#include "install/Commit.h"

#include "common/Constants.h"
#include "common/FileHelpers.h"
#include "common/LauncherConfig.h"
#include "common/RunLog.h"

#include <windows.h>

namespace {

constexpr wchar_t kAsideSuffix[] = L".old";
// The journal's last line: a journal without it was cut short while it was
// written, before anything was moved.
constexpr wchar_t kJournalEnd[] = L"*";
constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
// A scanner or an indexer holds a new file for a moment: a held target is
// tried again for this long (10 s unless a test build shortens it) before
// the update fails.
constexpr uint32_t kHeldRetryMs = LAUNCHER_HELD_RETRY_MS;
constexpr uint32_t kHeldPollMs = 250;

struct Move {
    std::wstring staged;  // full paths in the extended form
    std::wstring aside;   // where the old target went, once it did
    std::wstring target;
    const wchar_t* name;  // the target as the manifest names it, for the log
    bool self = false;    // the running launcher's own executable
    bool targetExists = false;  // as the commit found it
    DWORD targetAttributes = INVALID_FILE_ATTRIBUTES;
    bool movedAside = false;
    bool placed = false;
};

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A read-only old copy cannot be deleted until its attribute is cleared
// (tried only when the plain delete fails: one call less for every file).
bool DeleteOldCopy(const std::wstring& path) {
    if (DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

// A name in the staging folder for the target's old copy. A move replaces a
// leftover there; one that stays in the way (read-only, or a running
// executable) is removed or passed by under another name.
std::wstring FreeAsideName(const std::wstring& staged, unsigned attempt) {
    std::wstring name = staged + kAsideSuffix;
    for (unsigned n = 1; n <= attempt; ++n) {
        if (n == 1 && DeleteOldCopy(name)) {
            break;
        }
        name = staged + L"." + std::to_wstring(n) + kAsideSuffix;
        DeleteOldCopy(name);
    }
    return name;
}

// The path this process was started from, in the extended form of
// ResolveRelativePath; read once.
const std::wstring& OwnExecutable() {
    static const std::wstring own = [] {
        std::wstring path(32768, L'\0');
        DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        path.resize(length < path.size() ? length : 0);
        if (!path.empty() && path.compare(0, 4, L"\\\\?\\") != 0) {
            path.insert(0, L"\\\\?\\");
        }
        return path;
    }();
    return own;
}

bool IsRunningExecutable(const std::wstring& target) {
    const std::wstring& own = OwnExecutable();
    return !own.empty() && CompareStringOrdinal(own.c_str(), static_cast<int>(own.size()), target.c_str(),
                                                static_cast<int>(target.size()), TRUE) == CSTR_EQUAL;
}

bool Resolve(const Replacement& replacement, Move& move) {
    move.name = replacement.target.c_str();
    if (!ResolveRelativePath(replacement.staged.c_str(), move.staged) ||
        !ResolveRelativePath(replacement.target.c_str(), move.target)) {
        LogLine(L"[FAIL] Failed to resolve path \"%ls\" (error %u).", move.name, static_cast<unsigned>(GetLastError()));
        return false;
    }
    move.self = IsRunningExecutable(move.target);
    move.targetAttributes = GetFileAttributesW(move.target.c_str());
    move.targetExists = move.targetAttributes != INVALID_FILE_ATTRIBUTES;
    return true;
}

bool IsFolder(const Move& move) {
    return move.targetExists && (move.targetAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsHeld(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

// MoveFileExW, tried again while another program holds the file; false with
// the error set (ERROR_CANCELLED when the wait was cancelled).
bool MoveWaiting(const std::wstring& from, const std::wstring& to, const Waiter& wait) {
    for (uint32_t waited = 0;; waited += kHeldPollMs) {
        if (MoveFileExW(from.c_str(), to.c_str(), kMoveFlags)) {
            return true;
        }
        DWORD error = GetLastError();
        if (!IsHeld(error) || waited >= kHeldRetryMs) {
            SetLastError(error);
            return false;
        }
        if (!wait(kHeldPollMs)) {
            SetLastError(ERROR_CANCELLED);
            return false;
        }
    }
}

bool LogFailed(const Move& move) {
    DWORD error = GetLastError();
    if (error != ERROR_CANCELLED) {
        LogLine(L"[FAIL] Failed to replace \"%ls\" (error %u).", move.name, static_cast<unsigned>(error));
    }
    return false;
}

bool MoveAside(Move& move, const Waiter& wait) {
    if (!move.targetExists) {
        return true;
    }
    // Over a leftover by name first; one that refuses is cleared out of the
    // way once, then the move waits on what still holds the target.
    move.aside = FreeAsideName(move.staged, 0);
    if (!MoveFileExW(move.target.c_str(), move.aside.c_str(), kMoveFlags)) {
        move.aside = FreeAsideName(move.staged, 1);
        if (!MoveWaiting(move.target, move.aside, wait)) {
            return LogFailed(move);
        }
    }
    move.movedAside = true;
    return true;
}

bool Place(Move& move, const Waiter& wait) {
    if (!MoveWaiting(move.staged, move.target, wait)) {
        return LogFailed(move);
    }
    move.placed = true;
    return true;
}

// The running launcher's executable is never missing, whenever the run is
// killed: its old copy is kept aside by copying, and the new one replaces it
// by name in one step. Where the system refuses to replace a running
// program, it is renamed aside and the new one placed at once.
bool ReplaceRunning(Move& move, const Waiter& wait) {
    if (move.targetExists) {
        move.aside = FreeAsideName(move.staged, 1);
        if (CopyFileW(move.target.c_str(), move.aside.c_str(), FALSE) &&
            MoveFileExW(move.staged.c_str(), move.target.c_str(), kMoveFlags)) {
            move.movedAside = true;
            move.placed = true;
            return true;
        }
        if (!MoveAside(move, wait)) {
            return false;
        }
    }
    return Place(move, wait);
}

bool Replace(Move& move, const Waiter& wait) {
    return move.self ? ReplaceRunning(move, wait) : MoveAside(move, wait) && Place(move, wait);
}

// Puts one target back as it was; false (logged) when a move fails, so
// that the journal stays for the next start to complete the update instead.
bool Restore(Move& move) {
    if (move.placed && !MoveFileExW(move.target.c_str(), move.staged.c_str(), kMoveFlags)) {
        return LogFailed(move);
    }
    if (move.movedAside && !MoveFileExW(move.aside.c_str(), move.target.c_str(), kMoveFlags)) {
        return LogFailed(move);
    }
    return true;
}

// One record a line pair, the staged path, then the target (relative; a
// plain path holds no line break), and the end mark.
bool WriteJournal(const std::wstring& path, const std::vector<Replacement>& replacements) {
    std::wstring text;
    for (const Replacement& replacement : replacements) {
        text += replacement.staged + L"\n" + replacement.target + L"\n";
    }
    text += kJournalEnd;
    text += L"\n";
    return WriteWideText(path, text, true);
}

// False when the journal cannot be read. A journal cut short (no end mark
// after its records) gives no records: nothing was moved under it. A journal
// of an earlier version has no end mark and is taken whole.
bool ReadJournal(const std::wstring& path, std::vector<Replacement>& replacements) {
    std::wstring text;
    if (!ReadWideText(path, text)) {
        return false;
    }
    size_t start = 0;
    std::vector<std::wstring> lines;
    for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    bool ended = !lines.empty() && lines.back() == kJournalEnd;
    if (ended) {
        lines.pop_back();
    }
    if (lines.size() % 2 != 0 || start != text.size()) {
        return true;
    }
    for (size_t i = 0; i + 1 < lines.size(); i += 2) {
        replacements.push_back({lines[i], lines[i + 1]});
    }
    return true;
}

void RemoveAsideFiles() {
    std::wstring folder;
    if (!ResolveRelativePath(kStagingFolder, folder)) {
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*" + kAsideSuffix).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        DeleteOldCopy(folder + L"\\" + found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

bool DeleteJournal(const std::wstring& journal) {
    if (DeleteFileW(journal.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    LogLine(L"[FAIL] Failed to delete file \"%ls\" (error %u).", kCommitJournal, static_cast<unsigned>(GetLastError()));
    return false;
}

}  // namespace

bool CommitReplacements(const std::vector<Replacement>& replacements, const Waiter& wait) {
    std::vector<Move> moves(replacements.size());
    for (size_t i = 0; i < replacements.size(); ++i) {
        if (!Resolve(replacements[i], moves[i])) {
            return false;
        }
        if (IsFolder(moves[i])) {
            LogLine(L"[FAIL] Failed to replace \"%ls\": a folder is in its place (error %u).", moves[i].name,
                    static_cast<unsigned>(ERROR_DIRECTORY));
            return false;
        }
    }
    std::wstring journal;
    if (!ResolveRelativePath(kCommitJournal, journal) || !WriteJournal(journal, replacements)) {
        LogLine(L"[FAIL] Failed to write file \"%ls\" (error %u).", kCommitJournal,
                static_cast<unsigned>(GetLastError()));
        DeleteFileW(journal.c_str());
        return false;
    }

    // Every other target out of the way first: a file held open by another
    // program then fails the update before anything was replaced. The
    // running executable goes last, replaced in one step.
    bool ok = true;
    for (Move& move : moves) {
        ok = ok && (move.self || MoveAside(move, wait));
    }
    for (Move& move : moves) {
        ok = ok && (move.self || Place(move, wait));
    }
    for (Move& move : moves) {
        ok = ok && (!move.self || ReplaceRunning(move, wait));
    }
    if (!ok) {
        // Back as they were, in reverse order. Should that fail, the journal
        // stays: the next start completes the update instead.
        bool restored = true;
        for (size_t i = moves.size(); i > 0; --i) {
            restored = Restore(moves[i - 1]) && restored;
        }
        if (restored) {
            DeleteJournal(journal);
        }
        return false;
    }
    if (DeleteJournal(journal)) {
        RemoveAsideFiles();
    }
    return true;
}

bool SleepFor(uint32_t milliseconds) {
    Sleep(milliseconds);
    return true;
}

bool FinishInterruptedCommit(const Waiter& wait) {
    std::wstring journal;
    std::vector<Replacement> replacements;
    if (!ResolveRelativePath(kCommitJournal, journal) || !Exists(journal)) {
        RemoveAsideFiles();
        return false;
    }
    if (!ReadJournal(journal, replacements)) {
        LogLine(L"[FAIL] Failed to read file \"%ls\" (error %u).", kCommitJournal, static_cast<unsigned>(GetLastError()));
        return false;
    }
    // Every staged file it names was verified before it was written: each
    // target not yet replaced is replaced now, the running executable too.
    bool ok = true;
    for (const Replacement& replacement : replacements) {
        Move move;
        if (!Resolve(replacement, move)) {
            ok = false;
            continue;
        }
        if (!Exists(move.staged)) {
            continue;  // moved into place before the kill
        }
        if (IsFolder(move)) {
            LogLine(L"[FAIL] Failed to replace \"%ls\": a folder is in its place (error %u).", move.name,
                    static_cast<unsigned>(ERROR_DIRECTORY));
            ok = false;
            continue;
        }
        if (!EnsureParentDirectories(replacement.target.c_str()) || !Replace(move, wait)) {
            // Never leave the target missing: its old copy goes back.
            if (move.movedAside && !move.placed && !Exists(move.target)) {
                MoveFileExW(move.aside.c_str(), move.target.c_str(), kMoveFlags);
            }
            ok = false;
        }
    }
    if (!ok) {
        // The journal and the old copies stay for the next start.
        LogLine(L"[FAIL] Failed to complete an update that was interrupted.");
        return false;
    }
    if (!DeleteJournal(journal)) {
        return false;
    }
    RemoveAsideFiles();
    if (replacements.empty()) {
        return false;  // cut short before any move
    }
    LogLine(L"[ OK ] Completed an update that was interrupted.");
    return true;
}

bool HasRoomFor(uint64_t bytes) {
    std::wstring folder;
    ULARGE_INTEGER available = {};
    if (bytes == 0 || !ResolveRelativePath(kWorkingFolder, folder) ||
        !GetDiskFreeSpaceExW((folder + L"\\").c_str(), &available, nullptr, nullptr) ||
        available.QuadPart >= bytes) {
        return true;
    }
    LogLine(L"[FAIL] Not enough disk space: %ls bytes needed, %ls bytes free (error %u).",
            std::to_wstring(bytes).c_str(), std::to_wstring(available.QuadPart).c_str(),
            static_cast<unsigned>(ERROR_DISK_FULL));
    return false;
}
