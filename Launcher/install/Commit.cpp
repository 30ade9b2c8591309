#include "install/Commit.h"

#include "common/Constants.h"
#include "common/FileHelpers.h"
#include "common/RunLog.h"

#include <windows.h>

namespace {

constexpr wchar_t kAsideSuffix[] = L".old";
constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

struct Move {
    std::wstring staged;  // full paths in the extended form
    std::wstring aside;
    std::wstring target;
    const wchar_t* name;  // the target as the manifest names it, for the log
    bool targetExisted = false;
};

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Resolve(const std::wstring& staged, const std::wstring& target, Move& move) {
    return ResolveRelativePath(staged.c_str(), move.staged) &&
           ResolveRelativePath((staged + kAsideSuffix).c_str(), move.aside) &&
           ResolveRelativePath(target.c_str(), move.target);
}

// One record a line pair: the staged path, then the target (relative; a
// plain path holds no line break).
bool WriteJournal(const std::wstring& path, const std::vector<Replacement>& replacements) {
    std::wstring text;
    for (const Replacement& replacement : replacements) {
        text += replacement.staged + L"\n" + replacement.target + L"\n";
    }
    return WriteWideText(path, text, true);
}

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
        DeleteFileW((folder + L"\\" + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

}  // namespace

bool CommitReplacements(const std::vector<Replacement>& replacements) {
    std::vector<Move> moves(replacements.size());
    std::wstring journal;
    for (size_t i = 0; i < replacements.size(); ++i) {
        moves[i].name = replacements[i].target.c_str();
        if (!Resolve(replacements[i].staged, replacements[i].target, moves[i])) {
            LogLine(L"[FAIL] Failed to resolve path \"%ls\" (error %u).", moves[i].name,
                    static_cast<unsigned>(GetLastError()));
            return false;
        }
    }
    if (!ResolveRelativePath(kCommitJournal, journal) || !WriteJournal(journal, replacements)) {
        LogLine(L"[FAIL] Failed to write file \"%ls\" (error %u).", kCommitJournal,
                static_cast<unsigned>(GetLastError()));
        DeleteFileW(journal.c_str());
        return false;
    }

    // Every target out of the way first: a file held open by another program
    // then fails the update before anything was replaced.
    size_t aside = 0;
    size_t placed = 0;
    bool ok = true;
    for (; aside < moves.size() && ok; ++aside) {
        Move& move = moves[aside];
        move.targetExisted = Exists(move.target);
        if (move.targetExisted && !MoveFileExW(move.target.c_str(), move.aside.c_str(), kMoveFlags)) {
            LogLine(L"[FAIL] Failed to replace \"%ls\" (error %u).", move.name, static_cast<unsigned>(GetLastError()));
            ok = false;
            break;
        }
    }
    for (; ok && placed < moves.size(); ++placed) {
        Move& move = moves[placed];
        if (!MoveFileExW(move.staged.c_str(), move.target.c_str(), kMoveFlags)) {
            LogLine(L"[FAIL] Failed to replace \"%ls\" (error %u).", move.name, static_cast<unsigned>(GetLastError()));
            ok = false;
            break;
        }
    }
    if (!ok) {
        // Back as they were, in reverse order.
        while (placed > 0) {
            --placed;
            MoveFileExW(moves[placed].target.c_str(), moves[placed].staged.c_str(), kMoveFlags);
        }
        while (aside > 0) {
            --aside;
            if (moves[aside].targetExisted) {
                MoveFileExW(moves[aside].aside.c_str(), moves[aside].target.c_str(), kMoveFlags);
            }
        }
    }
    DeleteFileW(journal.c_str());
    if (ok) {
        RemoveAsideFiles();
    }
    return ok;
}

bool FinishInterruptedCommit() {
    std::wstring journal;
    std::vector<Replacement> replacements;
    bool completed = false;
    if (ResolveRelativePath(kCommitJournal, journal) && ReadJournal(journal, replacements)) {
        for (const Replacement& replacement : replacements) {
            Move move;
            if (!Resolve(replacement.staged, replacement.target, move) || !Exists(move.staged)) {
                continue;  // moved into place before the kill
            }
            if (Exists(move.target) && !Exists(move.aside)) {
                MoveFileExW(move.target.c_str(), move.aside.c_str(), kMoveFlags);
            }
            EnsureParentDirectories(replacement.target.c_str());
            MoveFileExW(move.staged.c_str(), move.target.c_str(), kMoveFlags);
        }
        DeleteFileW(journal.c_str());
        completed = true;
        LogLine(L"[ OK ] Completed an update that was interrupted.");
    }
    RemoveAsideFiles();
    return completed;
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
