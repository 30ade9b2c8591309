#include "manifest/Manifest.h"
#include "manifest/ManifestPath.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The table tools/publish is tested against too (tests/publish/test_path_rule.py).
const char kPathTable[] =
#include "../manifest_paths.txt"
    ;

struct PathCase {
    int line;
    std::string text;  // the row as written, for messages
    std::wstring path;
    bool accepted;
    bool wellFormed;
    bool isSrc = false;  // a src URL row, not a path row
};

void PrintTo(const PathCase& row, std::ostream* out) {
    *out << "line " << row.line << ": " << row.text;
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &wide[0],
                        length);
    return wide;
}

// "<U+hhhh>" stands for that character.
std::wstring DecodeEscapes(const std::wstring& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 3, L"<U+") == 0 && i + 8 <= text.size() && text[i + 7] == L'>') {
            std::wstring hex = text.substr(i + 3, 4);
            if (hex.find_first_not_of(L"0123456789ABCDEF") == std::wstring::npos) {
                out.push_back(static_cast<wchar_t>(std::stoul(hex, nullptr, 16)));
                i += 7;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::vector<PathCase> ReadTable() {
    std::vector<PathCase> rows;
    std::string table = kPathTable;
    size_t start = 0;
    // The raw string begins with the line end after its opening delimiter.
    for (int line = 1; start < table.size(); ++line) {
        size_t end = table.find('\n', start);
        if (end == std::string::npos) {
            end = table.size();
        }
        std::string text = table.substr(start, end - start);
        start = end + 1;
        if (text.empty() || text[0] == '#') {
            continue;
        }
        size_t space = text.find(' ');
        std::string verdict = text.substr(0, space);
        std::string path = space == std::string::npos ? std::string() : text.substr(space + 1);
        bool isSrc = verdict.rfind("src-", 0) == 0;
        if (isSrc) {
            verdict = verdict.substr(4);
        }
        bool wellFormed = verdict == "accepted" || verdict == "refused";
        rows.push_back({line, text, DecodeEscapes(FromUtf8(path)), verdict == "accepted", wellFormed, isSrc});
    }
    return rows;
}

class ManifestPathRule : public ::testing::TestWithParam<PathCase> {};

TEST_P(ManifestPathRule, DecidesAndAddEntryFollows) {
    const PathCase& row = GetParam();
    ASSERT_TRUE(row.wellFormed) << "not \"accepted\" or \"refused\"";
    EXPECT_EQ(row.isSrc ? IsSafeManifestSrc(row.path) : IsSafeManifestPath(row.path), row.accepted);

    // AddEntry takes the attribute as a C string; an XML attribute cannot hold a NUL.
    if (row.path.find(L'\0') == std::wstring::npos) {
        Manifest manifest;
        EXPECT_EQ(row.isSrc ? manifest.AddEntry(L"p", L"1", L"m", row.path.c_str())
                            : manifest.AddEntry(row.path.c_str(), L"1", L"m", L"s"),
                  row.accepted);
        EXPECT_EQ(manifest.entries.size(), row.accepted ? 1u : 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, ManifestPathRule, ::testing::ValuesIn(ReadTable()));

TEST(ManifestPathRule, EmptyPathIsRefused) {
    EXPECT_FALSE(IsSafeManifestPath(L""));
}

}  // namespace
