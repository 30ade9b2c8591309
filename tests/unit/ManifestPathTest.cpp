#include "manifest/Manifest.h"
#include "manifest/ManifestPath.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct PathCase {
    const wchar_t* path;
    bool accepted;
};

void PrintTo(const PathCase& row, std::ostream* out) {
    *out << "\"";
    for (const wchar_t* c = row.path; *c != L'\0'; ++c) {
        *out << (*c < 0x80 ? static_cast<char>(*c) : '?');
    }
    *out << "\"";
}

const PathCase kPaths[] = {
    // Rooted, UNC and device forms.
    {L"\\Windows\\win.ini", false},
    {L"/etc/file", false},
    {L"\\\\server\\share\\file", false},
    {L"//server/share/file", false},
    {L"\\\\?\\C:\\file", false},
    {L"\\\\?\\UNC\\server\\share\\file", false},
    {L"\\\\.\\COM1", false},
    {L"\\??\\C:\\file", false},
    // Drives, and colons anywhere (alternate data streams).
    {L"C:file", false},
    {L"C:\\Users\\x\\Start Menu\\run.exe", false},
    {L"c:/file", false},
    {L"file.txt:stream", false},
    {L"dir\\file.txt::$DATA", false},
    // Parent components, and names the platform may read as one.
    {L"..", false},
    {L"..\\file", false},
    {L"../file", false},
    {L"a\\..\\b", false},
    {L"a\\..", false},
    {L"...\\file", false},
    {L"a\\.. \\b", false},
    {L"a\\.\\b", false},
    // Device names, bare or with an extension.
    {L"CON", false},
    {L"dir\\nul", false},
    {L"con.txt", false},
    {L"Aux .log", false},
    {L"lpt9.dat", false},
    {L"COM0", false},
    {L"CONIN$", false},
    {L"com\u00B9.txt", false},
    // Ordinary relative paths.
    {L"Launcher\\manifest_backup.xml", false},
    {L"launcher/log.txt", false},
    {L"LAUNCHER. \\x\\y.dat", false},
    {L"a/b/c.txt", true},
    {L"Launcher", false},  // a file there would block the working folder
    {L"Launcher.exe", true},
    {L"data\\Launcher\\x", true},
    {L"dir\\file", true},
    {L"..name", true},
    {L"a..b", true},
    {L"name..", true},
    {L".hidden\\x", true},
    {L"a b\\c d.txt", true},
    {L"CONSOLE.txt", true},
    {L"nul_file", true},
    {L"COM10", true},
    {L"LPT", true},
    {L"dir\\con-fig.ini", true},
    {L"donn\u00E9es\\\u0444.txt", true},
};

class ManifestPathRule : public ::testing::TestWithParam<PathCase> {};

TEST_P(ManifestPathRule, DecidesAndAddEntryFollows) {
    const PathCase& row = GetParam();
    EXPECT_EQ(IsSafeManifestPath(row.path), row.accepted);

    Manifest manifest;
    EXPECT_EQ(manifest.AddEntry(row.path, L"1", L"m", L"s"), row.accepted);
    EXPECT_EQ(manifest.entries.size(), row.accepted ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Paths, ManifestPathRule, ::testing::ValuesIn(kPaths));

TEST(ManifestPathRule, EmptyPathIsRefused) {
    EXPECT_FALSE(IsSafeManifestPath(L""));
}

}  // namespace
