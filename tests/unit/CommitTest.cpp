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
        committed = CommitReplacements(replacements);
        logged = log.Text();
    }
    CloseHandle(held);
    EXPECT_FALSE(committed);
    ExpectTargets("old a", "old b", "(absent)");
    EXPECT_EQ(logged, "[FAIL] Failed to replace \"sub\\b.txt\" (error 32).\r\n");  // ERROR_SHARING_VIOLATION
    ExpectStagingHolds(3);  // the staged copies, for the caller to keep or drop
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
        SCOPED_TRACE(moment.name);
        ScratchDirectory scratch;
        std::vector<Replacement> replacements = StageThree();
        std::wstring journal;
        for (const Replacement& replacement : replacements) {
            journal += replacement.staged + L"\n" + replacement.target + L"\n";
        }
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
