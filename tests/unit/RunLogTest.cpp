#include "unit/TestSupport.h"

#include "common/RunLog.h"

#include <gtest/gtest.h>

TEST(LogLine, WritesOneBytePerCharacterWithCrLfAndQuestionMarksAboveLatin1) {
    LogCapture log;
    // U+00E9 fits one byte; U+0416 and the surrogate pair U+1F600 do not.
    LogLine(L"[ OK ] Downloading \"%ls\" from \"%ls\"", L"caf\u00e9\\\u0416.dat", L"http://h/\U0001F600");
    LogLine(L"[FAIL] CreateProcess failed: %u", 2u);
    LogLine(L"[ OK ] Child process terminated with exit code: %i", -7);
    EXPECT_EQ(log.Text(),
              "[ OK ] Downloading \"caf\xe9\\?.dat\" from \"http://h/?\"\r\n"
              "[FAIL] CreateProcess failed: 2\r\n"
              "[ OK ] Child process terminated with exit code: -7\r\n");
}

TEST(LogLine, KeepsTextAfterACharacterItCannotWrite) {
    LogCapture log;
    LogLine(L"%ls and the rest", L"\u4e2d");
    EXPECT_EQ(log.Text(), "? and the rest\r\n");
}

TEST(LogLine, WritesLongMessagesWhole) {
    LogCapture log;
    std::wstring path(3000, L'x');
    LogLine(L"[FAIL] Failed to open file \"%ls\".", path.c_str());
    EXPECT_EQ(log.Text(), "[FAIL] Failed to open file \"" + std::string(3000, 'x') + "\".\r\n");
}
