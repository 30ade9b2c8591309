#include "unit/TestSupport.h"

#include "manifest/Manifest.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kAbc[] = L"900150983cd24fb0d6963f7d28e17f72";       // "abc"
constexpr wchar_t kDef[] = L"4ed9407630eb1000c0f6b63842defa7d";       // "def"
constexpr wchar_t kGhi[] = L"826bbc5d0522f5f20a1da4b60fa8c871";       // "ghi"

// A download operation of the test's own: writes what the server would send
// for each URL, or fails for URLs it does not know.
struct FakeServer {
    std::map<std::wstring, std::string> bodies;
    std::vector<std::wstring> calls;  // "src -> path", in order

    DownloadOperation Download() {
        return [this](const wchar_t* url, const wchar_t* path) {
            calls.push_back(std::wstring(url) + L" -> " + path);
            auto body = bodies.find(url);
            if (body == bodies.end()) {
                return false;
            }
            WriteBytes(path, body->second);
            return true;
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

TEST(ManifestUpdateAll, FetchesEveryStaleEntryInOrderAndVerifiesIt) {
    ScratchDirectory scratch;
    Manifest manifest;
    AddThree(manifest);
    FakeServer server;
    server.bodies = {{L"http://host/one", "abc"}, {L"http://host/two", "def"}, {L"http://host/three", "ghi"}};
    EXPECT_TRUE(manifest.UpdateAll(server.Download()));
    EXPECT_EQ(server.calls, kAllThreeCalls);
    for (const ManifestEntry& entry : manifest.entries) {
        EXPECT_TRUE(entry.IsCurrent()) << entry.path;
    }
    EXPECT_EQ(ReadBytes(L"two.txt"), "def");
}

TEST(ManifestUpdateAll, FirstOfThreeFailingStillFetchesAndVerifiesTheOthers) {
    ScratchDirectory scratch;
    Manifest manifest;
    AddThree(manifest);
    FakeServer server;
    server.bodies = {{L"http://host/two", "def"}, {L"http://host/three", "ghi"}};
    EXPECT_FALSE(manifest.UpdateAll(server.Download()));
    EXPECT_EQ(server.calls, kAllThreeCalls);
    EXPECT_FALSE(manifest.entries[0].IsCurrent());
    EXPECT_TRUE(manifest.entries[1].IsCurrent());
    EXPECT_TRUE(manifest.entries[2].IsCurrent());
}

TEST(ManifestUpdateAll, SuccessfulDownloadOfWrongContentLeavesTheEntryStale) {
    ScratchDirectory scratch;
    Manifest manifest;
    AddThree(manifest);
    FakeServer server;
    server.bodies = {{L"http://host/one", "abc"},
                     {L"http://host/two", "<html>404 Not Found</html>"},
                     {L"http://host/three", "ghi"}};
    EXPECT_FALSE(manifest.UpdateAll(server.Download()));
    EXPECT_EQ(server.calls, kAllThreeCalls);
    EXPECT_TRUE(manifest.entries[0].IsCurrent());
    EXPECT_FALSE(manifest.entries[1].IsCurrent());
    EXPECT_TRUE(manifest.entries[2].IsCurrent());
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

    // Were "one" verified again it would turn stale and fail the update.
    WriteBytes(L"one.txt", "changed since the check");
    FakeServer server;
    server.bodies = {{L"http://host/two", "def"}};
    EXPECT_TRUE(manifest.UpdateAll(server.Download()));
    EXPECT_EQ(server.calls, std::vector<std::wstring>{L"http://host/two -> two.txt"});
    EXPECT_TRUE(manifest.entries[0].IsCurrent());
    EXPECT_TRUE(manifest.entries[1].IsCurrent());
    EXPECT_EQ(ReadBytes(L"one.txt"), "changed since the check");
}

TEST(ManifestUpdateAll, EveryDownloadFailingVisitsAllAndFails) {
    ScratchDirectory scratch;
    Manifest manifest;
    AddThree(manifest);
    FakeServer server;  // knows no URL: as after a cancellation
    EXPECT_FALSE(manifest.UpdateAll(server.Download()));
    EXPECT_EQ(server.calls, kAllThreeCalls);
    for (const ManifestEntry& entry : manifest.entries) {
        EXPECT_FALSE(entry.IsCurrent()) << entry.path;
    }
}

TEST(ManifestUpdateAll, TheDigestOfAnArrivalPumpsBetweenBlocksAndACancelThereFailsIt) {
    ScratchDirectory scratch;
    // Several digest blocks of "a" (64 KiB each), then one more byte.
    const std::string large(4 * 64 * 1024 + 1, 'a');
    wchar_t md5[kDigestBufferLength];
    WriteBytes(L"reference.bin", large);
    ASSERT_TRUE(ComputeFileMd5(L"reference.bin", md5));
    for (bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled ? "cancelled during the digest" : "pumped throughout");
        Manifest manifest;
        ASSERT_TRUE(manifest.AddEntry(L"large.bin", L"262145", md5, L"http://host/large"));
        FakeServer server;
        server.bodies = {{L"http://host/large", large}};
        int pumps = 0;
        bool ok = manifest.UpdateAll(server.Download(), [&] { return ++pumps < 3 || !cancelled; });
        EXPECT_EQ(ok, !cancelled);
        EXPECT_EQ(manifest.entries[0].IsCurrent(), !cancelled);
        EXPECT_EQ(pumps, cancelled ? 3 : 5);
    }
}

}  // namespace
