#include "manifest/Manifest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

struct SizeCase {
    const wchar_t* text;
    int64_t size;
};

void PrintTo(const SizeCase& row, std::ostream* out) {
    *out << "\"";
    for (const wchar_t* c = row.text; *c != L'\0'; ++c) {
        *out << static_cast<char>(*c);
    }
    *out << "\"";
}

const SizeCase kSizes[] = {
    {L"1048576", 1048576},
    {L"abc", -1},  // no number: unknown, where 0 could never install a real file
    {L"-1", -1},
    {L"  +42", 42},
    {L"12abc", 12},
    {L"0x1F", 0},
    {L"007", 7},
    {L"2147483648", 2147483648},
    {L"5000000000", 5000000000},
    {L"9223372036854775807", std::numeric_limits<int64_t>::max()},
    {L"9223372036854775808", std::numeric_limits<int64_t>::max()},
    {L"-99999999999999999999", std::numeric_limits<int64_t>::min()},
};

class ManifestSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ManifestSize, ReadAsSignedDecimalClampedTo64Bits) {
    Manifest manifest;
    ASSERT_TRUE(manifest.AddEntry(L"file.bin", GetParam().text, L"m", L"s"));
    ASSERT_EQ(manifest.entries.size(), 1u);
    EXPECT_EQ(manifest.entries[0].size, GetParam().size);
}

INSTANTIATE_TEST_SUITE_P(Texts, ManifestSize, ::testing::ValuesIn(kSizes));

}  // namespace
