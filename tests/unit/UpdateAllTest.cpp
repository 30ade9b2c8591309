// Staging the stale entries: each handed over in order, received beside the
// install (never over the working file), and kept only when its size and
// digests are the manifest's.
#include "unit/TestSupport.h"

#include "install/StagedFile.h"
#include "manifest/Manifest.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kAbc[] = L"900150983cd24fb0d6963f7d28e17f72";  // "abc"
constexpr wchar_t kDef[] = L"4ed9407630eb1000c0f6b63842defa7d";  // "def"
constexpr wchar_t kGhi[] = L"826bbc5d0522f5f20a1da4b60fa8c871";  // "ghi"

// A stage operation of the test's own: feeds what the server would send for
// each URL into a real staged file, or fails for URLs it does not know.
struct FakeServer {
    std::map<std::wstring, std::string> bodies;
    std::vector<std::wstring> calls;  // "src -> path", in order

    StageOperation Stage() {
        return [this](const ManifestEntry& entry) {
            calls.push_back(entry.src + L" -> " + entry.path);
            auto body = bodies.find(entry.src);
            if (body == bodies.end()) {
                return false;
            }
            StagedFile file(entry, 0);
            bool ok = file.Open(Answer()) &&
                      file.Write(reinterpret_cast<const BYTE*>(body->second.data()),
                                 static_cast<DWORD>(body->second.size())) &&
                      file.Finish();
            if (!ok) {
                file.Discard();
            }
            return ok;
        };
    }
};

void AddThree(Manifest& manifest) {
    ASSERT_TRUE(manifest.AddEntry(L"one.txt", L"3", kAbc, L"http://host/one"));
    ASSERT_TRUE(manifest.AddEntry(L"two.txt", L"3", kDef, L"http://host/two"));
    ASSERT_TRUE(manifest.AddEntry(L"three.txt", L"3", kGhi, L"http://host/three"));
}

const std::vector<std::wstring> kAllThreeCalls = {
    L"http://host/one -> one.txt", L"http://host/two -> two.txt", L"http://host/three -> three.txt"};

std::string Staged(const wchar_t* path) {
    std::wstring staged = StagingPathFor(path);
    return FileExists(staged) ? ReadBytes(staged) : "(absent)";
}

TEST(ManifestUpdateAll, StagesEveryStaleEntryInOrderBesideItsTarget) {
    ScratchDirectory scratch;
    Manifest manifest;
    AddThree(manifest);
    WriteBytes(L"two.txt", "the working copy");
    FakeServer server;
    server.bodies = {{L"http://host/one", "abc"}, {L"http://host/two", "def"}, {L"http://host/three", "ghi"}};
    EXPECT_EQ(manifest.StaleBytes(), 9u);
    EXPECT_TRUE(manifest.UpdateAll(server.Stage()));
    EXPECT_EQ(server.calls, kAllThreeCalls);
    EXPECT_EQ(Staged(L"two.txt"), "def");
    EXPECT_EQ(StagingPathFor(L"two.txt").rfind(L"Launcher\\staging\\", 0), 0u);
    EXPECT_EQ(ReadBytes(L"two.txt"), "the working copy") << "the target is replaced only by the commit";
}

TEST(ManifestUpdateAll, OneFailingStillHandsOverTheOthersAndFails) {
    ScratchDirectory scratch;
    Manifest manifest;
    AddThree(manifest);
    FakeServer server;
    server.bodies = {{L"http://host/two", "def"}, {L"http://host/three", "ghi"}};
    EXPECT_FALSE(manifest.UpdateAll(server.Stage()));
    EXPECT_EQ(server.calls, kAllThreeCalls);
    EXPECT_EQ(Staged(L"one.txt"), "(absent)");
    EXPECT_EQ(Staged(L"three.txt"), "ghi");

    FakeServer silent;  // knows no URL: as after a cancellation
    EXPECT_FALSE(manifest.UpdateAll(silent.Stage()));
    EXPECT_EQ(silent.calls, kAllThreeCalls);
}

TEST(ManifestUpdateAll, ContentThatIsNotTheManifestsIsNotKept) {
    struct Row {
        const char* name;
        std::string body;
        const wchar_t* sha256;  // for an entry of the signed format
    };
    const Row rows[] = {
        {"an error page", "<html>404 Not Found</html>", nullptr},
        {"the right bytes and more", "defdef", nullptr},
        {"the right MD5 with another SHA-256", "def", L"0000000000000000000000000000000000000000000000000000000000000000"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchDirectory scratch;
        Manifest manifest;
        manifest.signedFormat = row.sha256 != nullptr;
        ASSERT_TRUE(manifest.AddEntry(L"two.txt", L"3", kDef, L"http://host/two", row.sha256));
        FakeServer server;
        server.bodies = {{L"http://host/two", row.body}};
        EXPECT_FALSE(manifest.UpdateAll(server.Stage()));
        EXPECT_EQ(Staged(L"two.txt"), "(absent)");
    }
}

TEST(ManifestUpdateAll, CurrentEntriesAreNeitherFetchedNorVerifiedAgain) {
    ScratchDirectory scratch;
    Manifest manifest;
    AddThree(manifest);
    WriteBytes(L"one.txt", "abc");
    WriteBytes(L"three.txt", "ghi");
    ASSERT_TRUE(manifest.NeedsUpdate());
    ASSERT_TRUE(manifest.entries[0].IsCurrent());
    ASSERT_TRUE(manifest.entries[2].IsCurrent());
    EXPECT_EQ(manifest.StaleBytes(), 3u);

    // Were "one" verified again it would turn stale and fail the update.
    WriteBytes(L"one.txt", "changed since the check");
    FakeServer server;
    server.bodies = {{L"http://host/two", "def"}};
    EXPECT_TRUE(manifest.UpdateAll(server.Stage()));
    EXPECT_EQ(server.calls, std::vector<std::wstring>{L"http://host/two -> two.txt"});
    EXPECT_EQ(ReadBytes(L"one.txt"), "changed since the check");
}

// Names Windows takes for one file share one staged copy; others never do.
TEST(StagingPathFor, OneCopyPerFileAsWindowsComparesNames) {
    struct Row {
        const wchar_t* a;
        const wchar_t* b;
        bool same;
    };
    const Row rows[] = {
        {L"Data.bin", L"data.bin", true},
        {L"a/b.dat", L"a\\b.dat", true},
        {L"\u00C4.dat", L"\u00E4.dat", true},            // beyond ASCII
        {L"\u0394\u03B9\u03B1.txt", L"\u03B4\u0399\u0391.TXT", true},
        {L"stra\u00DFe", L"STRASSE", false},              // ordinal: no expansion
        {L"a.dat", L"a.dat.", false},
        {L"e\u0301.dat", L"\u00E9.dat", false},          // not normalised, as the file system
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.a) + L" / " + row.b));
        EXPECT_EQ(IsSameTarget(row.a, row.b), row.same);
        EXPECT_EQ(StagingPathFor(row.a) == StagingPathFor(row.b), row.same);
    }
}

// The free-space check: what is staged already, whole or in part, needs no room.
TEST(BytesToFetch, CountsOnlyWhatIsStillMissingOncePerFile) {
    ScratchDirectory scratch;
    Manifest manifest;
    ASSERT_TRUE(manifest.AddEntry(L"big.pak", L"1000", kAbc, L"http://host/big"));
    ASSERT_TRUE(manifest.AddEntry(L"BIG.pak", L"1000", kAbc, L"http://host/big"));  // listed twice
    ASSERT_TRUE(manifest.AddEntry(L"whole.pak", L"3", kDef, L"http://host/whole"));
    ASSERT_TRUE(manifest.AddEntry(L"unknown.pak", L"-1", kGhi, L"http://host/unknown"));
    ASSERT_TRUE(manifest.AddEntry(L"new.pak", L"50", kGhi, L"http://host/new"));
    CreateDirectoryW(L"Launcher", nullptr);
    CreateDirectoryW(L"Launcher\\staging", nullptr);
    WriteBytes(StagingPathFor(L"big.pak"), std::string(400, 'x'));
    WriteBytes(StagingPathFor(L"whole.pak"), "def");
    ASSERT_TRUE(manifest.NeedsUpdate());
    EXPECT_EQ(BytesToFetch(manifest), 600u + 50u);
}

}  // namespace
