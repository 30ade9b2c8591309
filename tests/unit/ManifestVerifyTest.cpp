#include "unit/TestSupport.h"

#include "manifest/Manifest.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr wchar_t kAbc[] = L"900150983cd24fb0d6963f7d28e17f72";
constexpr wchar_t kEmpty[] = L"d41d8cd98f00b204e9800998ecf8427e";
constexpr wchar_t kAbcSha256[] = L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr wchar_t kAbdSha256[] = L"a52d159f262b2c6ddb724a61840befc36eb30c88877a4030b65cbe86298449c9";

struct VerifyCase {
    const char* name;
    const char* content;  // null: no file
    const wchar_t* md5;
    bool current;
    const wchar_t* sha256 = L"";  // only signed manifests give one
};

void PrintTo(const VerifyCase& row, std::ostream* out) {
    *out << row.name;
}

const VerifyCase kVerifications[] = {
    {"Matching", "abc", kAbc, true},
    {"UpperCaseDigest", "abc", L"900150983CD24FB0D6963F7D28E17F72", true},
    {"DifferentContent", "abd", kAbc, false},
    {"MissingFile", nullptr, kAbc, false},
    {"EmptyFileMatchesTheEmptyDigest", "", kEmpty, true},
    {"DigestWithTrailingSpace", "abc", L"900150983cd24fb0d6963f7d28e17f72 ", false},
    {"DigestTooShort", "abc", L"900150983cd24fb0d6963f7d28e17f7", false},
    {"BothDigestsMatch", "abc", kAbc, true, kAbcSha256},
    {"UpperCaseSha256", "abc", kAbc, true, L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
    // What an MD5 collision would look like: the weak digest alone must not pass.
    {"Md5MatchesSha256DoesNot", "abc", kAbc, false, kAbdSha256},
    {"Sha256MatchesMd5DoesNot", "abd", kAbc, false, kAbdSha256},
};

class EntryVerify : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(EntryVerify, SetsOrClearsCurrent) {
    ScratchDirectory scratch;
    const VerifyCase& row = GetParam();
    if (row.content != nullptr) {
        WriteBytes(L"file.bin", row.content);
    }
    ManifestEntry entry;
    entry.path = L"file.bin";
    entry.md5 = row.md5;
    entry.sha256 = row.sha256;
    entry.src = L"http://host/file.bin";
    // From either previous state, the flag must come out as the digest says.
    for (uint32_t before : {0u, ManifestEntry::kCurrent}) {
        entry.flags = before;
        EXPECT_EQ(entry.Verify(), row.current);
        EXPECT_EQ(entry.IsCurrent(), row.current);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, EntryVerify, ::testing::ValuesIn(kVerifications),
                         [](const ::testing::TestParamInfo<VerifyCase>& info) { return std::string(info.param.name); });

TEST(ManifestNeedsUpdate, VerifiesEveryEntryEvenAfterAStaleOne) {
    ScratchDirectory scratch;
    WriteBytes(L"b.txt", "abc");
    WriteBytes(L"c.txt", "");
    Manifest manifest;
    ASSERT_TRUE(manifest.AddEntry(L"a.txt", L"3", kAbc, L"http://host/a"));  // missing
    ASSERT_TRUE(manifest.AddEntry(L"b.txt", L"3", kAbc, L"http://host/b"));
    ASSERT_TRUE(manifest.AddEntry(L"c.txt", L"0", kEmpty, L"http://host/c"));
    EXPECT_TRUE(manifest.NeedsUpdate());
    EXPECT_FALSE(manifest.entries[0].IsCurrent());
    EXPECT_TRUE(manifest.entries[1].IsCurrent());
    EXPECT_TRUE(manifest.entries[2].IsCurrent());

    WriteBytes(L"a.txt", "abc");
    EXPECT_FALSE(manifest.NeedsUpdate());
    EXPECT_TRUE(manifest.entries[0].IsCurrent());

    // Stale again on disk: the flags follow the files, not their history.
    WriteBytes(L"b.txt", "changed");
    EXPECT_TRUE(manifest.NeedsUpdate());
    EXPECT_FALSE(manifest.entries[1].IsCurrent());
}

TEST(ManifestComputeTotals, SumsAllSizesAndTheCurrentOnes) {
    Manifest manifest;
    ASSERT_TRUE(manifest.AddEntry(L"a", L"100", L"m", L"s"));
    ASSERT_TRUE(manifest.AddEntry(L"b", L"200", L"m", L"s"));
    manifest.entries[1].flags = ManifestEntry::kCurrent;
    double total = -1.0;
    double done = -1.0;
    manifest.ComputeTotals(total, done);
    EXPECT_EQ(total, 300.0);
    EXPECT_EQ(done, 200.0);
}

TEST(ManifestComputeTotals, SizesAre64BitAndUnknownOnesCountNothing) {
    Manifest manifest;
    ASSERT_TRUE(manifest.AddEntry(L"a", L"5000000000", L"m", L"s"));            // beyond 32 bits
    ASSERT_TRUE(manifest.AddEntry(L"b", L"99999999999999999999", L"m", L"s"));  // clamped: 2^63-1
    ASSERT_TRUE(manifest.AddEntry(L"c", L"-1", L"m", L"s"));                    // unknown
    EXPECT_EQ(manifest.entries[0].size, 5000000000);
    EXPECT_EQ(manifest.entries[1].size, INT64_MAX);
    EXPECT_FALSE(manifest.entries[2].HasKnownSize());
    manifest.entries[0].flags = ManifestEntry::kCurrent;
    manifest.entries[2].flags = ManifestEntry::kCurrent;
    double total = 0.0;
    double done = 0.0;
    manifest.ComputeTotals(total, done);
    EXPECT_EQ(total, 5000000000.0 + static_cast<double>(INT64_MAX));
    EXPECT_EQ(done, 5000000000.0);
}

}  // namespace
