// Moving staged files into place: all of them or none, and a run killed at any
// moment of the commit is completed by the next start.
#include "unit/TestSupport.h"

#include "common/Constants.h"
#include "install/Commit.h"
#include "install/StagedFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const wchar_t* const kTargets[] = {L"a.txt", L"sub\\b.txt", L"c.txt"};

// Three staged files, new content for two existing targets and one new file.
std::vector<Replacement> StageThree() {
    CreateDirectoryW(kWorkingFolder, nullptr);
    CreateDirectoryW(kStagingFolder, nullptr);
    CreateDirectoryW(L"sub", nullptr);
    WriteBytes(L"a.txt", "old a");
    WriteBytes(L"sub\\b.txt", "old b");
    std::vector<Replacement> replacements;
    for (const wchar_t* target : kTargets) {
        std::wstring staged = StagingPathFor(target);
        WriteBytes(staged, "new " + std::string(1, static_cast<char>(target[wcslen(target) - 5])));
        replacements.push_back({staged, target});
    }
    return replacements;
}

std::string Contents(const std::wstring& path) {
    return FileExists(path) ? ReadBytes(path) : "(absent)";
}

void ExpectTargets(const char* a, const char* b, const char* c) {
    EXPECT_EQ(Contents(L"a.txt"), a);
    EXPECT_EQ(Contents(L"sub\\b.txt"), b);
    EXPECT_EQ(Contents(L"c.txt"), c);
}

// Nothing of a commit is left in the staging folder but what is named.
void ExpectStagingHolds(size_t files) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((std::wstring(kStagingFolder) + L"\\*").c_str(), &found);
    size_t count = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            count += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? 1 : 0;
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    EXPECT_EQ(count, files);
}

TEST(CommitReplacements, ReplacesEveryTargetAndLeavesNothingBehind) {
    ScratchDirectory scratch;
    std::vector<Replacement> replacements = StageThree();
    LogCapture log;
    EXPECT_TRUE(CommitReplacements(replacements));
    ExpectTargets("new a", "new b", "new c");
    ExpectStagingHolds(0);
    EXPECT_EQ(log.Text(), "");
}

// A wait that takes no time: a held file is tried again at once.
bool NoWait(uint32_t) {
    return true;
}

TEST(CommitReplacements, ATargetThatCannotBeMovedLeavesEveryTargetAsItWas) {
    ScratchDirectory scratch;
    std::vector<Replacement> replacements = StageThree();
    // Held by another program that allows no one to delete or rename it.
    HANDLE held = CreateFileW(L"sub\\b.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    bool committed;
    std::string logged;
    {
        LogCapture log;
        committed = CommitReplacements(replacements, NoWait);
        logged = log.Text();
    }
    CloseHandle(held);
    EXPECT_FALSE(committed);
    ExpectTargets("old a", "old b", "(absent)");
    EXPECT_EQ(logged, "[FAIL] Failed to replace \"sub\\b.txt\" (error 32).\r\n");  // ERROR_SHARING_VIOLATION
    ExpectStagingHolds(3);  // the staged copies, for the caller to keep or drop
}

// What stands in a target's way on real machines, one row each.
TEST(CommitReplacements, MeetsWhatRealInstallFoldersHold) {
    struct Row {
        const char* name;
        void (*arrange)();           // after the three files are staged
        bool committed;
        const char* a;               // a.txt afterwards
        const char* log;
    };
    const Row rows[] = {
        // A folder (with the user's files in it) where a file must go: nothing moves.
        {"a folder in a target's place",
         [] {
             DeleteFileW(L"sub\\b.txt");
             CreateDirectoryW(L"sub\\b.txt", nullptr);
             WriteBytes(L"sub\\b.txt\\mine.txt", "the user's");
         },
         false, "old a", "[FAIL] Failed to replace \"sub\\b.txt\": a folder is in its place (error 267).\r\n"},
        // A read-only working file, and a read-only old copy an earlier commit left.
        {"read-only old copies",
         [] {
             SetFileAttributesW(L"a.txt", FILE_ATTRIBUTE_READONLY);
             std::wstring leftover = StagingPathFor(L"sub\\b.txt") + L".old";
             WriteBytes(leftover, "left by an earlier run");
             SetFileAttributesW(leftover.c_str(), FILE_ATTRIBUTE_READONLY);
         },
         true, "new a", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchDirectory scratch;
        std::vector<Replacement> replacements = StageThree();
        row.arrange();
        LogCapture log;
        EXPECT_EQ(CommitReplacements(replacements, NoWait), row.committed);
        EXPECT_EQ(Contents(L"a.txt"), row.a);
        EXPECT_EQ(log.Text(), row.log);
        EXPECT_FALSE(FileExists(kCommitJournal));
        ExpectStagingHolds(row.committed ? 0 : 3);
    }
}

// A scanner holds a new target for a moment: the commit waits for it, and a
// Cancel meanwhile puts everything back.
TEST(CommitReplacements, WaitsForAHeldTargetAndAnswersCancel) {
    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled while waiting" : "let go while waiting");
        ScratchDirectory scratch;
        std::vector<Replacement> replacements = StageThree();
        HANDLE held = CreateFileW(L"sub\\b.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        unsigned waits = 0;
        auto wait = [&](uint32_t) {
            if (++waits == 3) {
                CloseHandle(held);
                held = INVALID_HANDLE_VALUE;
                return !cancel;
            }
            return true;
        };
        LogCapture log;
        EXPECT_EQ(CommitReplacements(replacements, wait), !cancel);
        if (held != INVALID_HANDLE_VALUE) {
            CloseHandle(held);
        }
        EXPECT_EQ(waits, 3u);
        EXPECT_EQ(log.Text(), "");
        if (cancel) {
            ExpectTargets("old a", "old b", "(absent)");
        } else {
            ExpectTargets("new a", "new b", "new c");
        }
    }
}

// A kill at any moment of a commit: the journal is on disk, and the moves got
// so far. The next start completes it before anything reads the install.
TEST(FinishInterruptedCommit, CompletesACommitKilledAtAnyMoment) {
    struct Moment {
        const char* name;
        size_t movedAside;  // targets moved aside before the kill
        size_t placed;      // staged files moved into place
    };
    const Moment moments[] = {
        {"killed before the first move", 0, 0},
        {"killed while moving targets aside", 1, 0},
        {"killed while moving staged files in", 3, 2},
        {"killed before the journal was deleted", 3, 3},
    };
    for (const Moment& moment : moments) {
      for (bool earlierVersion : {false, true}) {  // whose journal has no end mark
        SCOPED_TRACE(moment.name + std::string(earlierVersion ? ", an earlier version's journal" : ""));
        ScratchDirectory scratch;
        std::vector<Replacement> replacements = StageThree();
        std::wstring journal;
        for (const Replacement& replacement : replacements) {
            journal += replacement.staged + L"\n" + replacement.target + L"\n";
        }
        journal += earlierVersion ? L"" : L"*\n";
        WriteBytes(kCommitJournal, std::string(reinterpret_cast<const char*>(journal.data()),
                                               journal.size() * sizeof(wchar_t)));
        for (size_t i = 0; i < moment.movedAside; ++i) {
            MoveFileW(replacements[i].target.c_str(), (replacements[i].staged + L".old").c_str());
        }
        for (size_t i = 0; i < moment.placed; ++i) {
            MoveFileW(replacements[i].staged.c_str(), replacements[i].target.c_str());
        }

        LogCapture log;
        EXPECT_TRUE(FinishInterruptedCommit());
        ExpectTargets("new a", "new b", "new c");
        ExpectStagingHolds(0);
        EXPECT_EQ(log.Text(), "[ OK ] Completed an update that was interrupted.\r\n");
      }
    }
}

// What the next start must not do with a journal it cannot complete at once.
TEST(FinishInterruptedCommit, NeverLosesATargetOrAJournalWithWorkLeft) {
    // A journal cut short while it was written: nothing was moved under it.
    {
        ScratchDirectory scratch;
        std::vector<Replacement> replacements = StageThree();
        std::wstring cut = replacements[0].staged + L"\n" + replacements[0].target + L"\n" + replacements[1].staged;
        WriteBytes(kCommitJournal, std::string(reinterpret_cast<const char*>(cut.data()), cut.size() * sizeof(wchar_t)));
        LogCapture log;
        EXPECT_FALSE(FinishInterruptedCommit(NoWait));
        ExpectTargets("old a", "old b", "(absent)");
        EXPECT_FALSE(FileExists(kCommitJournal));
        ExpectStagingHolds(3);  // whole, for the next update to use
        EXPECT_EQ(log.Text(), "");
    }
    // A target that stays held: logged, the journal and the old copies kept,
    // nothing missing; the next start completes it.
    ScratchDirectory scratch;
    std::vector<Replacement> replacements = StageThree();
    ASSERT_TRUE(CommitReplacements({replacements[0]}, NoWait));  // so far when the run was killed...
    std::wstring journal;
    for (const Replacement& replacement : replacements) {
        journal += replacement.staged + L"\n" + replacement.target + L"\n";
    }
    journal += L"*\n";
    WriteBytes(kCommitJournal, std::string(reinterpret_cast<const char*>(journal.data()), journal.size() * sizeof(wchar_t)));
    HANDLE held = CreateFileW(L"sub\\b.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    {
        LogCapture log;
        EXPECT_FALSE(FinishInterruptedCommit(NoWait));
        EXPECT_EQ(log.Text(), "[FAIL] Failed to replace \"sub\\b.txt\" (error 32).\r\n"
                              "[FAIL] Failed to complete an update that was interrupted.\r\n");
    }
    CloseHandle(held);
    EXPECT_TRUE(FileExists(kCommitJournal));
    EXPECT_EQ(Contents(L"sub\\b.txt"), "old b");
    LogCapture log;
    EXPECT_TRUE(FinishInterruptedCommit(NoWait));
    ExpectTargets("new a", "new b", "new c");
    ExpectStagingHolds(0);
    EXPECT_EQ(log.Text(), "[ OK ] Completed an update that was interrupted.\r\n");
}

TEST(FinishInterruptedCommit, WithoutAJournalOnlyRemovesWhatWasMovedAside) {
    ScratchDirectory scratch;
    std::vector<Replacement> replacements = StageThree();
    // A running launcher replaced itself: its old copy could not be deleted.
    WriteBytes(replacements[0].staged + L".old", "the old launcher");
    LogCapture log;
    EXPECT_FALSE(FinishInterruptedCommit());
    ExpectTargets("old a", "old b", "(absent)");
    ExpectStagingHolds(3);
    EXPECT_EQ(log.Text(), "");
}

TEST(HasRoomFor, RefusesMoreThanTheVolumeHoldsAndSaysSo) {
    ScratchDirectory scratch;
    CreateDirectoryW(kWorkingFolder, nullptr);
    LogCapture log;
    EXPECT_TRUE(HasRoomFor(1024));
    EXPECT_EQ(log.Text(), "");
    EXPECT_FALSE(HasRoomFor(UINT64_MAX));
    EXPECT_EQ(log.Text().rfind("[FAIL] Not enough disk space: 18446744073709551615 bytes needed, ", 0), 0u)
        << log.Text();
}

}  // namespace
