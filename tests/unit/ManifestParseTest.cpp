#include "unit/TestSupport.h"

#include "common/Handles.h"
#include "manifest/Manifest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct ExpectedEntry {
    std::wstring path;
    int64_t size;
    std::wstring md5;
    std::wstring src;
};

struct DocumentCase {
    const char* name;
    std::string bytes;
    bool valid;
    std::vector<ExpectedEntry> entries;  // checked for valid documents
};

void PrintTo(const DocumentCase& row, std::ostream* out) {
    *out << row.name;
}

void ExpectEntries(const Manifest& manifest, const std::vector<ExpectedEntry>& expected) {
    ASSERT_EQ(manifest.entries.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const ManifestEntry& entry = manifest.entries[i];
        SCOPED_TRACE("entry " + std::to_string(i));
        EXPECT_EQ(entry.path, expected[i].path);
        EXPECT_EQ(entry.size, expected[i].size);
        EXPECT_EQ(entry.md5, expected[i].md5);
        EXPECT_EQ(entry.src, expected[i].src);
        EXPECT_EQ(entry.flags, 0u);
    }
}

// A document as UTF-16 with its byte-order mark.
std::string Utf16(const std::wstring& text, bool bigEndian) {
    std::string bytes;
    for (wchar_t c : L"\uFEFF" + text) {
        char high = static_cast<char>((c >> 8) & 0xFF);
        char low = static_cast<char>(c & 0xFF);
        bytes += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

const std::string kFileA =
    R"(<file path="a.txt" size="3" md5="900150983cd24fb0d6963f7d28e17f72" src="http://host/a.txt"/>)";
const ExpectedEntry kEntryA = {L"a.txt", 3, L"900150983cd24fb0d6963f7d28e17f72", L"http://host/a.txt"};

// 300 characters in six levels of 49-character names.
std::string DeepPath() {
    std::string path;
    for (char level = 'a'; level < 'g'; ++level) {
        path += (path.empty() ? "" : "\\") + std::string(49, level);
    }
    return path;
}

std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

std::string Root(const std::string& body) {
    return "<update>" + body + "</update>";
}

const std::wstring kWideDocument =
    L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<update version=\"1.0\">\n"
    L"<file path=\"\u03A9/\u65E5\u672C.txt\" size=\"5\" md5=\"m\" src=\"http://host/w\"/>\n</update>\n";
const ExpectedEntry kWideEntry = {L"\u03A9\\\u65E5\u672C.txt", 5, L"m", L"http://host/w"};

const DocumentCase kDocuments[] = {
    // The root and its version.
    {"RootWithoutVersion", "<update/>", true, {}},
    {"RootWithVersion10", R"(<update version="1.0"></update>)", true, {}},
    {"RootWithVersion20", R"(<update version="2.0"/>)", false, {}},
    {"VersionNameInCapitals", R"(<update VERSION="2.0"/>)", false, {}},
    {"OtherRootAttributesIgnored", R"(<update version="1.0" channel="beta">)" + kFileA + "</update>", true, {kEntryA}},

    // File elements and their attributes.
    {"NamesInAnyCase",
     R"(<UPDATE><File PATH="a.txt" Size="3" MD5="900150983cd24fb0d6963f7d28e17f72" Src="http://host/a.txt"/></UPDATE>)",
     true, {kEntryA}},
    {"SlashesBecomeBackslashes", Root(R"(<file path="a/b/c.txt" size="1" md5="m" src="s"/>)"), true,
     {{L"a\\b\\c.txt", 1, L"m", L"s"}}},
    {"ExtraFileAttributesIgnored", Root(R"(<file mode="755" path="a.txt" size="3" md5="900150983cd24fb0d6963f7d28e17f72" src="http://host/a.txt" note="x"/>)"),
     true, {kEntryA}},
    {"LaterCaseVariantWins",
     Root(R"(<file path="first" size="1" md5="m1" src="s1" PATH="second" SIZE="2" MD5="m2" SRC="s2"/>)"), true,
     {{L"second", 2, L"m2", L"s2"}}},
    {"MissingPath", Root(R"(<file size="1" md5="m" src="s"/>)"), false, {}},
    {"MissingSize", Root(R"(<file path="p" md5="m" src="s"/>)"), false, {}},
    {"MissingMd5", Root(R"(<file path="p" size="1" src="s"/>)"), false, {}},
    {"MissingSrc", Root(R"(<file path="p" size="1" md5="m"/>)"), false, {}},
    {"EmptyPath", Root(R"(<file path="" size="1" md5="m" src="s"/>)"), false, {}},
    {"EmptyMd5", Root(R"(<file path="p" size="1" md5="" src="s"/>)"), false, {}},
    {"EmptySrc", Root(R"(<file path="p" size="1" md5="m" src=""/>)"), false, {}},
    // A size with no number in it is unknown (bounds nothing), never 0.
    {"EmptySizeIsUnknown", Root(R"(<file path="p" size="" md5="m" src="s"/>)"), true, {{L"p", -1, L"m", L"s"}}},
    {"PathLeavingTheFolder", Root(R"(<file path="../outside.txt" size="1" md5="m" src="s"/>)"), false, {}},
    // A name longer than any file system stores; a deep path is fine wherever
    // the user installed.
    {"NameTooLongToStore", Root(R"(<file path=")" + std::string(256, 'n') + R"(" size="1" md5="m" src="s"/>)"),
     false, {}},
    {"DeepPathBeyondMaxPath", Root(R"(<file path=")" + DeepPath() + R"(" size="1" md5="m" src="s"/>)"), true,
     {{Widen(DeepPath()), 1, L"m", L"s"}}},
    {"DuplicatePathsGiveTwoEntries", Root(kFileA + R"(<file path="a.txt" size="4" md5="other" src="http://mirror/a"/>)"),
     true, {kEntryA, {L"a.txt", 4, L"other", L"http://mirror/a"}}},
    {"ReferencesDecodedBeforeSlashConversion",
     Root(R"(<file path="dir&#x2F;R&amp;D.txt" size="1" md5="m" src="http://host/q?a=1&amp;b=2"/>)"), true,
     {{L"dir\\R&D.txt", 1, L"m", L"http://host/q?a=1&b=2"}}},

    // Elements in the wrong place.
    {"RootNamedFile", kFileA, false, {}},
    {"FileInsideFile", Root(R"(<file path="p" size="1" md5="m" src="s">)" + kFileA + "</file>"), false, {}},
    {"UpdateBelowRoot", Root("<update/>"), false, {}},
    {"UnknownElementInRoot", Root(kFileA + "<folder/>"), false, {}},
    {"UnknownRoot", "<manifest/>", false, {}},
    {"PrefixedNameIsAnotherName", R"(<q:update xmlns:q="urn:q"/>)", false, {}},

    // What is not examined, and what Expat itself refuses.
    {"TextCommentsPiAndDoctypeIgnored",
     "<?xml version=\"1.0\"?>\n<!DOCTYPE update [<!ELEMENT update ANY>]>\n<!-- before -->\n"
     "<update>some text<?tool x?><!-- inside -->" + kFileA + "more text<![CDATA[<file/>]]></update>\n<!-- after -->\n",
     true, {kEntryA}},
    {"UnclosedRoot", "<update>" + kFileA, false, {}},
    {"TwoRoots", "<update/><update/>", false, {}},
    {"EmptyFile", "", false, {}},
    {"CrLfLineEnds", "<?xml version=\"1.0\"?>\r\n<update>\r\n" + kFileA + "\r\n</update>\r\n", true, {kEntryA}},

    // Encodings.
    {"Utf8WithByteOrderMark",
     "\xEF\xBB\xBF" + Root("<file path=\"donn\xC3\xA9" "es/\xD1\x84\xE2\x82\xAC.txt\" size=\"1\" md5=\"m\" src=\"s\"/>"),
     true, {{L"donn\u00E9es\\\u0444\u20AC.txt", 1, L"m", L"s"}}},
    {"Latin1Declared",
     "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + Root("<file path=\"caf\xE9.txt\" size=\"1\" md5=\"m\" src=\"s\"/>"),
     true, {{L"caf\u00E9.txt", 1, L"m", L"s"}}},
    {"Latin1BytesUndeclaredAreNotUtf8", Root("<file path=\"caf\xE9.txt\" size=\"1\" md5=\"m\" src=\"s\"/>"), false, {}},
    {"UsAsciiDeclared", "<?xml version=\"1.0\" encoding=\"US-ASCII\"?>" + Root(kFileA), true, {kEntryA}},
    {"UnknownEncodingDeclared", "<?xml version=\"1.0\" encoding=\"windows-1252\"?>" + Root(kFileA), false, {}},
    {"Utf16LittleEndianWithBom", Utf16(kWideDocument, false), true, {kWideEntry}},
    {"Utf16BigEndianWithBom", Utf16(kWideDocument, true), true, {kWideEntry}},
    // A byte 0x1A (here the low byte of U+011A) is only a byte: text-mode
    // reading would end the data there.
    {"Utf16Byte1AIsJustAByte",
     Utf16(L"<update><file path=\"\u011A.txt\" size=\"1\" md5=\"m\" src=\"s\"/></update>", false), true,
     {{L"\u011A.txt", 1, L"m", L"s"}}},
};

class ManifestDocument : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(ManifestDocument, ParsesToTheExpectedEntries) {
    ScratchDirectory scratch;
    const DocumentCase& row = GetParam();
    WriteBytes(L"manifest.xml", row.bytes);
    Manifest manifest;
    ASSERT_EQ(LoadManifest(manifest, L"manifest.xml"), row.valid);
    EXPECT_EQ(manifest.parser, nullptr);
    if (row.valid) {
        ExpectEntries(manifest, row.entries);
    }
}

INSTANTIATE_TEST_SUITE_P(Format, ManifestDocument, ::testing::ValuesIn(kDocuments),
                         [](const ::testing::TestParamInfo<DocumentCase>& info) { return std::string(info.param.name); });

// Elements, attribute values and a multi-byte character cut by the 128-byte
// read chunks must come out whole.
TEST(ManifestParse, DocumentLongerThanOneChunkWithElementsAcrossChunks) {
    ScratchDirectory scratch;
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update version=\"1.0\">\n";
    std::vector<ExpectedEntry> expected;
    for (int i = 0; i < 24; ++i) {
        std::string name = "dir" + std::to_string(i) + "/file-" + std::string(static_cast<size_t>(i % 7), 'x') + ".bin";
        doc += "  <file path=\"" + name + "\" size=\"" + std::to_string(i * 37) + "\" md5=\"digest" +
               std::to_string(i) + "\" src=\"http://host/" + name + "\"/>\n";
        std::wstring wideName(name.begin(), name.end());
        expected.push_back({L"dir" + std::to_wstring(i) + L"\\file-" + std::wstring(static_cast<size_t>(i % 7), L'x') +
                                L".bin",
                            i * 37, L"digest" + std::to_wstring(i), L"http://host/" + wideName});
    }
    // The three bytes of U+20AC start at the last byte of a chunk.
    const std::string head = "<file path=\"euro-";
    doc += std::string((127 - (doc.size() + head.size()) % 128 + 128) % 128, ' ');
    const size_t euroAt = doc.size() + head.size();
    doc += head + "\xE2\x82\xAC.bin\" size=\"1\" md5=\"m\" src=\"s\"/>";
    expected.push_back({L"euro-\u20AC.bin", 1, L"m", L"s"});
    // And an element name is cut after "<f".
    doc += std::string((126 - doc.size() % 128 + 128) % 128, '\n');
    const size_t tagAt = doc.size();
    doc += "<file path=\"last\" size=\"2\" md5=\"m\" src=\"s\"/>\n</update>\n";
    expected.push_back({L"last", 2, L"m", L"s"});

    ASSERT_EQ(euroAt % 128, 127u);
    ASSERT_EQ(tagAt % 128, 126u);
    ASSERT_GT(doc.size(), 10 * 128u);
    WriteBytes(L"manifest.xml", doc);
    Manifest manifest;
    ASSERT_TRUE(LoadManifest(manifest, L"manifest.xml"));
    ExpectEntries(manifest, expected);
}

TEST(ManifestParse, FailedParseAfterAGoodOneKeepsOnlyItsOwnEntries) {
    ScratchDirectory scratch;
    Manifest manifest;
    WriteBytes(L"good.xml", Root(kFileA + R"(<file path="b.txt" size="1" md5="m" src="s"/>)"));
    ASSERT_TRUE(LoadManifest(manifest, L"good.xml"));
    ASSERT_EQ(manifest.entries.size(), 2u);

    // Not opened: no parse started, the entries stay.
    EXPECT_FALSE(LoadManifest(manifest, L"absent.xml"));
    EXPECT_EQ(manifest.entries.size(), 2u);

    // Cleared at the start; the entry before the fault remains until the next parse.
    WriteBytes(L"bad.xml", Root(R"(<file path="c.txt" size="7" md5="m" src="s"/><folder/>)" + kFileA));
    EXPECT_FALSE(LoadManifest(manifest, L"bad.xml"));
    ExpectEntries(manifest, {{L"c.txt", 7, L"m", L"s"}});

    WriteBytes(L"empty.xml", "");
    EXPECT_FALSE(LoadManifest(manifest, L"empty.xml"));
    EXPECT_TRUE(manifest.entries.empty());

    ASSERT_TRUE(LoadManifest(manifest, L"good.xml"));
    EXPECT_EQ(manifest.entries.size(), 2u);
}

// The signed format adds a serial on the root and a sha256 on every file; the
// plain format must ignore both, whatever they hold.
TEST(ManifestParse, SignedFormatRequiresSerialAndSha256AndThePlainOneIgnoresThem) {
    const std::string sha = "BA7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    auto document = [](const std::string& root, const std::string& sha256) {
        return "<update" + root + R"(><file path="a.txt" size="3" md5="m" src="s")" + sha256 + "/></update>";
    };
    struct Row {
        const char* name;
        std::string bytes;
        bool signedValid;
        uint64_t serial;
    };
    const Row rows[] = {
        {"Good", document(R"( serial="42")", " sha256=\"" + sha + "\""), true, 42},
        {"LargestSerial", document(R"( serial="18446744073709551615")", " sha256=\"" + sha + "\""), true,
         UINT64_MAX},
        {"SerialOverflows", document(R"( serial="18446744073709551616")", " sha256=\"" + sha + "\""), false, 0},
        {"SerialMissing", document("", " sha256=\"" + sha + "\""), false, 0},
        {"SerialEmpty", document(R"( serial="")", " sha256=\"" + sha + "\""), false, 0},
        {"SerialSigned", document(R"( serial="+5")", " sha256=\"" + sha + "\""), false, 0},
        {"SerialNotDecimal", document(R"( serial="0x10")", " sha256=\"" + sha + "\""), false, 0},
        {"Sha256Missing", document(R"( serial="1")", ""), false, 0},
        {"Sha256TooShort", document(R"( serial="1")", " sha256=\"" + sha.substr(1) + "\""), false, 0},
        {"Sha256NotHex", document(R"( serial="1")", " sha256=\"" + sha.substr(1) + "g\""), false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchDirectory scratch;
        WriteBytes(L"manifest.xml", row.bytes);
        Manifest plain;
        ASSERT_TRUE(LoadManifest(plain, L"manifest.xml"));
        ASSERT_EQ(plain.entries.size(), 1u);
        EXPECT_TRUE(plain.entries[0].sha256.empty());
        Manifest signedOne;
        signedOne.signedFormat = true;
        ASSERT_EQ(LoadManifest(signedOne, L"manifest.xml"), row.signedValid);
        if (row.signedValid) {
            EXPECT_EQ(signedOne.serial, row.serial);
            ASSERT_EQ(signedOne.entries.size(), 1u);
            EXPECT_EQ(signedOne.entries[0].sha256, std::wstring(sha.begin(), sha.end()));
        }
    }
}

TEST(ManifestParse, ParseStartsAtTheFilesCurrentPosition) {
    ScratchDirectory scratch;
    WriteBytes(L"manifest.xml", "not xml at all" + Root(kFileA));
    ScopedStdioFile file(_wfopen(L"manifest.xml", L"rb"));
    ASSERT_TRUE(file.IsValid());
    ASSERT_EQ(fseek(file.Get(), 14, SEEK_SET), 0);
    Manifest manifest;
    ASSERT_TRUE(manifest.Parse(file.Get()));
    ExpectEntries(manifest, {kEntryA});
}

TEST(ManifestParse, OthersMayReadTheFileMeanwhileButNotWriteIt) {
    ScratchDirectory scratch;
    WriteBytes(L"manifest.xml", Root(kFileA));
    Manifest manifest;
    {
        ScopedFileHandle reader(CreateFileW(L"manifest.xml", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(reader.IsValid());
        EXPECT_TRUE(LoadManifest(manifest, L"manifest.xml"));
    }
    {
        ScopedFileHandle writer(CreateFileW(L"manifest.xml", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(writer.IsValid());
        EXPECT_FALSE(LoadManifest(manifest, L"manifest.xml"));
    }
}

}  // namespace
