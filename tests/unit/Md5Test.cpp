#include "unit/TestSupport.h"

#include "manifest/Manifest.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct DigestCase {
    const char* name;
    std::string content;
    const wchar_t* digest;
};

void PrintTo(const DigestCase& row, std::ostream* out) {
    *out << row.name;
}

// Every byte value up to 250, so CR, LF and 0x1A are in there: the file must
// be read as binary.
std::string Pattern(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    return bytes;
}

const DigestCase kDigests[] = {
    // The test suite of RFC 1321.
    {"Empty", "", L"d41d8cd98f00b204e9800998ecf8427e"},
    {"A", "a", L"0cc175b9c0f1b6a831c399e269772661"},
    {"Abc", "abc", L"900150983cd24fb0d6963f7d28e17f72"},
    {"MessageDigest", "message digest", L"f96b697d7cb7938d525a2f31aaf161d0"},
    {"Alphabet", "abcdefghijklmnopqrstuvwxyz", L"c3fcd3d76192e4007dfb496cca67e13b"},
    {"Alphanumeric", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     L"d174ab98d277d9f5a5611c2c9f419d9f"},
    {"EightyDigits", "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     L"57edf4a22be3c955ac49da2e2107b67a"},
    // Around and across the 4096-byte read block.
    {"OneByteShortOfABlock", Pattern(4095), L"93e25733058beb5eb38c4f6db613da70"},
    {"ExactlyOneBlock", Pattern(4096), L"a0c16616c91907bd14e999986cf822d5"},
    {"OneByteOverABlock", Pattern(4097), L"e4df5b23488e51a7998f218196a6ef6d"},
    {"TwoBlocks", Pattern(8192), L"5756928d3feb9c830c61f92b56416d95"},
    {"ThreeBlocksNotAMultiple", Pattern(10000), L"bbf1c77538f97ceeb1e03126edaa3594"},
};

class Md5Digest : public ::testing::TestWithParam<DigestCase> {};

TEST_P(Md5Digest, MatchesTheReferenceDigest) {
    ScratchDirectory scratch;
    WriteBytes(L"file.bin", GetParam().content);
    wchar_t digest[kDigestBufferLength];
    ASSERT_TRUE(ComputeFileMd5(L"file.bin", digest));
    EXPECT_EQ(std::wstring(digest), GetParam().digest);
}

INSTANTIATE_TEST_SUITE_P(Files, Md5Digest, ::testing::ValuesIn(kDigests),
                         [](const ::testing::TestParamInfo<DigestCase>& info) { return std::string(info.param.name); });

TEST(ComputeFileMd5, WritesExactly32DigitsAndANullAndNothingBeyond) {
    ScratchDirectory scratch;
    WriteBytes(L"file.bin", "abc");
    wchar_t digest[kDigestBufferLength];
    for (wchar_t& c : digest) {
        c = L'#';
    }
    ASSERT_TRUE(ComputeFileMd5(L"file.bin", digest));
    EXPECT_EQ(digest[32], L'\0');
    for (size_t i = 33; i < kDigestBufferLength; ++i) {
        EXPECT_EQ(digest[i], L'#') << "index " << i;
    }
}

TEST(ComputeFileMd5, MissingFileFailsAndLeavesAnEmptyString) {
    ScratchDirectory scratch;
    wchar_t digest[kDigestBufferLength];
    for (wchar_t& c : digest) {
        c = L'#';
    }
    EXPECT_FALSE(ComputeFileMd5(L"absent.bin", digest));
    EXPECT_EQ(digest[0], L'\0');
    EXPECT_FALSE(ComputeFileMd5(L"missing-dir\\absent.bin", digest));
}

// A window stays answered while a large file is digested, and a Cancel there
// ends the digest.
TEST(ComputeFileDigests, PumpsBetweenBlocksAndStopsWhenThePumpSaysSo) {
    ScratchDirectory scratch;
    WriteBytes(L"large.bin", std::string(4 * 64 * 1024 + 1, 'a'));
    wchar_t digest[kDigestBufferLength];
    for (bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled ? "cancelled" : "answered throughout");
        int pumps = 0;
        bool ok = ComputeFileDigests(L"large.bin", digest, nullptr, 0, [&] { return ++pumps < 3 || !cancelled; });
        EXPECT_EQ(ok, !cancelled);
        EXPECT_EQ(pumps, cancelled ? 3 : 5);
    }
}

}  // namespace
