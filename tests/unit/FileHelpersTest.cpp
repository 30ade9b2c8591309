#include "unit/TestSupport.h"

#include "common/FileHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>

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
    std::wstring full = L"unchanged";
    EXPECT_FALSE(EnsureParentDirectories(L"blocker\\below\\file.bin", &full));
    EXPECT_EQ(full, L"");
    EXPECT_EQ(log.Text(), "[FAIL] Failed to create directory \"" + scratch.NarrowPath() +
                              "\\blocker\\below\" (error 3).\r\n");  // ERROR_PATH_NOT_FOUND
}

// A name that begins with two dots is a name, not a step up: a path helper
// that canonicalises would make the directory outside the current one.
TEST(EnsureParentDirectories, NamesBeginningWithTwoDotsStayInside) {
    struct Row {
        const wchar_t* path;
        const wchar_t* directory;  // what must be created, inside
        const char* directoryText;
        const wchar_t* file;
    };
    const Row rows[] = {
        {L"..cfg/settings.ini", L"..cfg", "..cfg", L"settings.ini"},
        {L"a\\..b\\f.txt", L"a\\..b", "a\\..b", L"f.txt"},
    };
    for (const Row& row : rows) {
        ScratchDirectory scratch;
        std::wstring full;
        std::string text;
        {
            LogCapture log;
            EXPECT_TRUE(EnsureParentDirectories(row.path, &full));
            text = log.Text();
        }
        std::wstring backslashed = row.path;
        std::replace(backslashed.begin(), backslashed.end(), L'/', L'\\');
        EXPECT_EQ(full, L"\\\\?\\" + scratch.Path() + L"\\" + backslashed);
        EXPECT_TRUE(IsDirectory(scratch.Path() + L"\\" + row.directory)) << row.directoryText;
        EXPECT_EQ(text, "[ OK ] Created directory: \"" + scratch.NarrowPath() + "\\" + row.directoryText + "\"\r\n");
        // The caller opens the returned string: the file lands in that directory.
        if (!full.empty()) {
            WriteBytes(full, "content");
            EXPECT_EQ(ReadBytes(scratch.Path() + L"\\" + row.directory + L"\\" + row.file), "content");
        }
    }
}

// However deep the install folder: the extended form has no MAX_PATH limit.
TEST(EnsureParentDirectories, PathsBeyondMaxPathAreCreatedAndWritten) {
    ScratchDirectory scratch;
    std::wstring relative;
    for (wchar_t level = L'a'; level < L'g'; ++level) {
        relative += std::wstring(49, level) + L"\\";
    }
    relative += L"file.bin";
    ASSERT_GT(scratch.Path().size() + relative.size(), static_cast<size_t>(MAX_PATH));
    std::wstring full;
    std::string text;
    {
        LogCapture log;
        ASSERT_TRUE(EnsureParentDirectories(relative.c_str(), &full));
        text = log.Text();
    }
    EXPECT_EQ(full, L"\\\\?\\" + scratch.Path() + L"\\" + relative);
    std::string plainDirectory = scratch.NarrowPath() + "\\" + std::string(relative.begin(), relative.end() - 9);
    EXPECT_EQ(text, "[ OK ] Created directory: \"" + plainDirectory + "\"\r\n");
    WriteBytes(full, "deep");
    EXPECT_EQ(ReadBytes(full), "deep");
}

TEST(EnsureParentDirectories, PathTooLongEvenForTheExtendedFormFailsWithOneLineNamingIt) {
    ScratchDirectory scratch;
    std::wstring relative;
    while (relative.size() < 33000) {
        relative += std::wstring(200, L'n') + L"\\";
    }
    relative += L"file.bin";
    std::wstring full = L"unchanged";
    std::string text;
    {
        LogCapture log;
        EXPECT_FALSE(EnsureParentDirectories(relative.c_str(), &full));
        text = log.Text();
    }
    EXPECT_EQ(full, L"");
    EXPECT_FALSE(FileExists(std::wstring(200, L'n')));
    EXPECT_EQ(text, "[FAIL] Failed to resolve path \"" + scratch.NarrowPath() + "\\" +
                        std::string(relative.begin(), relative.end()) + "\" (error 206).\r\n");  // ERROR_FILENAME_EXCED_RANGE
}

TEST(ResolveRelativePath, RefusesPathsThatAreNotPlainlyRelative) {
    ScratchDirectory scratch;
    struct Row {
        const wchar_t* path;
        const char* logged;  // the last row would forge a second log line if printed as it is
    };
    const Row rows[] = {
        {L"..\\escape.txt", "..\\escape.txt"},
        {L"C:\\x.txt", "C:\\x.txt"},
        {L"dir.\\x.txt", "dir.\\x.txt"},
        {L"a\n[ OK ] forged", "a?[ OK ] forged"},
    };
    for (const Row& row : rows) {
        std::wstring full = L"unchanged";
        EXPECT_FALSE(ResolveRelativePath(row.path, full)) << row.logged;
        EXPECT_EQ(full, L"");
        std::string text;
        {
            LogCapture log;
            EXPECT_FALSE(EnsureParentDirectories(row.path)) << row.logged;
            text = log.Text();
        }
        EXPECT_EQ(text, std::string("[FAIL] Failed to resolve path \"") + row.logged +
                            "\" (error 123).\r\n");  // ERROR_INVALID_NAME
    }
}

TEST(ResolveRelativePath, GivesTheExtendedFormWithBackslashesOnly) {
    ScratchDirectory scratch;
    std::wstring full;
    std::wstring beyond(MAX_PATH, L'f');
    beyond.replace(100, 1, L"\\");
    EXPECT_TRUE(ResolveRelativePath(beyond.c_str(), full));
    EXPECT_EQ(full, L"\\\\?\\" + scratch.Path() + L"\\" + beyond);

    // A drive's root already ends in its backslash; "/" becomes "\", which
    // the extended form alone knows.
    std::wstring root = scratch.Path().substr(0, 3);
    ASSERT_TRUE(SetCurrentDirectoryW(root.c_str()));
    EXPECT_TRUE(ResolveRelativePath(L"dir/x.txt", full));
    EXPECT_EQ(full, L"\\\\?\\" + root + L"dir\\x.txt");
    SetCurrentDirectoryW(scratch.Path().c_str());
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
