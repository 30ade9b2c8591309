#include "TestSupport.h"

#include "core/FileHelpers.h"

#include <gtest/gtest.h>

TEST(EnsureParentDirectories, CreatesTwoLevelsInOneCallAndLogsTheDeeperOne) {
    ScratchDirectory scratch;
    LogCapture log;
    ASSERT_TRUE(EnsureParentDirectories(L"fresh\\deeper\\file.bin"));
    EXPECT_TRUE(IsDirectory(L"fresh\\deeper"));
    EXPECT_EQ(log.Text(), "[ OK ] Created directory: \"" + scratch.NarrowPath() + "\\fresh\\deeper\"\r\n");
}

TEST(EnsureParentDirectories, ExistingDirectoriesAndBareNamesSucceedSilently) {
    ScratchDirectory scratch;
    ASSERT_TRUE(CreateDirectoryW(L"present", nullptr));
    LogCapture log;
    EXPECT_TRUE(EnsureParentDirectories(L"present\\file.bin"));
    EXPECT_TRUE(EnsureParentDirectories(L"file.bin"));
    EXPECT_EQ(log.Text(), "");
}

TEST(EnsureParentDirectories, FailsWhereAFileBlocksTheDirectory) {
    ScratchDirectory scratch;
    WriteBytes(L"blocker", "not a directory");
    LogCapture log;
    // The system reports that "blocker" exists, so the call counts it as present...
    EXPECT_TRUE(EnsureParentDirectories(L"blocker\\file.bin"));
    // ...but a directory below a file cannot be created.
    EXPECT_FALSE(EnsureParentDirectories(L"blocker\\below\\file.bin"));
    EXPECT_EQ(log.Text(), "");
}

TEST(CopyFileWithDirectories, CreatesDirectoriesAndReplacesAnExistingDestination) {
    ScratchDirectory scratch;
    WriteBytes(L"source.txt", "new content");
    ASSERT_TRUE(CopyFileWithDirectories(L"source.txt", L"a\\b\\copy.txt"));
    EXPECT_EQ(ReadBytes(L"a\\b\\copy.txt"), "new content");

    WriteBytes(L"a\\b\\copy.txt", "old content that is longer");
    ASSERT_TRUE(CopyFileWithDirectories(L"source.txt", L"a\\b\\copy.txt"));
    EXPECT_EQ(ReadBytes(L"a\\b\\copy.txt"), "new content");
}

TEST(CopyFileWithDirectories, MissingSourceFails) {
    ScratchDirectory scratch;
    EXPECT_FALSE(CopyFileWithDirectories(L"absent.txt", L"copy.txt"));
    EXPECT_FALSE(FileExists(L"copy.txt"));
}
