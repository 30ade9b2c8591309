#include "unit/TestSupport.h"

#include "common/Handles.h"
#include "manifest/FileIdentity.h"
#include "manifest/Manifest.h"
#include "manifest/VerifiedRecord.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr wchar_t kAbc[] = L"900150983cd24fb0d6963f7d28e17f72";
constexpr wchar_t kAbd[] = L"4911e516e5aa21d327512e0c8b197616";
constexpr wchar_t kRecord[] = L"verified.dat";

FileIdentity SomeIdentity(uint64_t seed) {
    FileIdentity identity;
    identity.size = seed;
    identity.creationTime = seed + 1;
    identity.lastWriteTime = seed + 2;
    identity.changeTime = seed + 3;
    identity.fileId = seed + 4;
    identity.volumeSerial = static_cast<uint32_t>(seed + 5);
    return identity;
}

std::string TwoFileRecord(const std::string& stamp) {
    RecordWriter writer(stamp);
    writer.Add(L"app.dat", SomeIdentity(10), kAbc, L"");
    writer.Add(L"data\\level.dat", SomeIdentity(20), kAbd, std::wstring(64, L'a'));
    return writer.Finish();
}

TEST(RecordView, ReadsBackWhatWasWrittenInAnyOrder) {
    std::string bytes = TwoFileRecord("stamp");
    RecordView view;
    ASSERT_TRUE(view.Parse(bytes, "stamp"));
    ASSERT_EQ(view.Count(), 2u);
    const RecordView::File* level = view.Find(L"data\\level.dat");
    const RecordView::File* app = view.Find(L"app.dat");
    ASSERT_NE(level, nullptr);
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(view.Find(L"data/level.dat"), nullptr);
    EXPECT_EQ(view.Find(L"missing.dat"), nullptr);
    EXPECT_TRUE(app->identity == SomeIdentity(10));
    EXPECT_TRUE(level->identity == SomeIdentity(20));
    EXPECT_TRUE(view.SameDigest(app->md5, app->md5Length, L"900150983CD24FB0D6963F7D28E17F72"));
    EXPECT_FALSE(view.SameDigest(app->md5, app->md5Length, kAbd));
    EXPECT_TRUE(view.SameDigest(app->sha256, app->sha256Length, L""));
    EXPECT_FALSE(view.SameDigest(level->sha256, level->sha256Length, L""));
}

// Every way a record can be damaged or foreign: none of it may be trusted.
TEST(RecordView, RefusesEveryCutDamagedOrForeignRecordWhole) {
    const std::string bytes = TwoFileRecord("stamp");
    RecordView view;
    EXPECT_FALSE(view.Parse(bytes, "other"));
    EXPECT_FALSE(view.Parse(bytes, "stam"));
    EXPECT_FALSE(view.Parse(bytes + '\0', "stamp"));
    for (size_t length = 0; length < bytes.size(); ++length) {
        EXPECT_FALSE(view.Parse(bytes.substr(0, length), "stamp")) << "cut to " << length;
        EXPECT_EQ(view.Count(), 0u);
    }
    for (size_t at = 0; at < bytes.size(); ++at) {
        std::string damaged = bytes;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        EXPECT_FALSE(view.Parse(damaged, "stamp")) << "byte " << at;
        EXPECT_EQ(view.Count(), 0u);
    }
}

FileIdentity IdentityOf(const std::wstring& path) {
    FolderIdentities identities;
    FileIdentity identity;
    EXPECT_TRUE(identities.Find(path, identity)) << "no identity for the file";
    return identity;
}

void SetWriteTime(const std::wstring& path, uint64_t time) {
    ScopedFileHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      0, nullptr));
    FILETIME written = {static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    ASSERT_TRUE(SetFileTime(file.Get(), nullptr, nullptr, &written));
}

TEST(FolderIdentities, TellFilesAndTheirChangesApart) {
    ScratchDirectory scratch;
    CreateDirectoryW(L"data", nullptr);
    WriteBytes(L"data\\a.dat", "abc");
    WriteBytes(L"data\\b.dat", "abcd");
    FileIdentity a = IdentityOf(L"data\\a.dat");
    FileIdentity b = IdentityOf(L"data\\b.dat");
    EXPECT_EQ(a.size, 3u);
    EXPECT_EQ(b.size, 4u);
    EXPECT_NE(a.fileId, b.fileId);
    EXPECT_TRUE(IdentityOf(L"data\\a.dat") == a) << "read twice, unchanged";
    EXPECT_TRUE(IdentityOf(L"DATA\\A.DAT") == a) << "names match ignoring case, as the file system does";

    FolderIdentities identities;
    FileIdentity none;
    EXPECT_FALSE(identities.Find(L"data\\missing.dat", none));
    EXPECT_FALSE(identities.Find(L"data", none)) << "a folder is no file";
    EXPECT_FALSE(identities.Find(L"nowhere\\a.dat", none));

    // The same size, another time.
    WriteBytes(L"data\\a.dat", "abd");
    SetWriteTime(L"data\\a.dat", a.lastWriteTime + 10000000);
    EXPECT_NE(IdentityOf(L"data\\a.dat").lastWriteTime, a.lastWriteTime);
    // Another file renamed over it, given its size and times.
    FileIdentity before = IdentityOf(L"data\\a.dat");
    WriteBytes(L"data\\c.dat", "xyz");
    SetWriteTime(L"data\\c.dat", before.lastWriteTime);
    ASSERT_TRUE(MoveFileExW(L"data\\c.dat", L"data\\a.dat", MOVEFILE_REPLACE_EXISTING));
    FileIdentity after = IdentityOf(L"data\\a.dat");
    EXPECT_EQ(after.lastWriteTime, before.lastWriteTime);
    EXPECT_NE(after.fileId, before.fileId);
    EXPECT_FALSE(after == before);
}

// A file held open without sharing cannot be digested: an entry that is
// current all the same was recalled, not read.
class HeldExclusively {
public:
    explicit HeldExclusively(const wchar_t* path)
        : file_(CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    bool IsHeld() const { return file_.IsValid(); }

private:
    ScopedFileHandle file_;
};

void AddTwoEntries(Manifest& manifest, const wchar_t* appDigest = kAbc) {
    ASSERT_TRUE(manifest.AddEntry(L"app.dat", L"3", appDigest, L"http://host/app.dat"));
    ASSERT_TRUE(manifest.AddEntry(L"data/level.dat", L"3", kAbd, L"http://host/level.dat"));
}

bool NeedsUpdateWithRecord(Manifest& manifest, bool installed = false) {
    VerificationRecord record(kRecord);
    bool stale = manifest.NeedsUpdate(&record);
    EXPECT_TRUE(installed ? record.SaveInstalled(manifest) : record.SaveVerified(manifest));
    return stale;
}

TEST(VerificationRecord, RecallsOnlyFilesWithTheirRecordedIdentityAndDigests) {
    ScratchDirectory scratch;
    CreateDirectoryW(L"data", nullptr);
    WriteBytes(L"app.dat", "abc");
    WriteBytes(L"data\\level.dat", "abd");
    {
        Manifest first;
        AddTwoEntries(first);
        HeldExclusively held(L"app.dat");
        ASSERT_TRUE(held.IsHeld());
        EXPECT_TRUE(NeedsUpdateWithRecord(first)) << "no record yet: every file is read";
    }
    ASSERT_TRUE(FileExists(kRecord));
    {
        Manifest second;
        AddTwoEntries(second);
        HeldExclusively app(L"app.dat");
        HeldExclusively level(L"data\\level.dat");
        EXPECT_TRUE(NeedsUpdateWithRecord(second)) << "app.dat was not recorded while it could not be read";
        EXPECT_FALSE(second.entries[0].IsCurrent());
        EXPECT_TRUE(second.entries[1].IsCurrent()) << "level.dat was recorded";
    }
    Manifest readable;
    AddTwoEntries(readable);
    EXPECT_FALSE(NeedsUpdateWithRecord(readable));
    {
        Manifest third;
        AddTwoEntries(third);
        HeldExclusively app(L"app.dat");
        HeldExclusively level(L"data\\level.dat");
        EXPECT_FALSE(NeedsUpdateWithRecord(third)) << "both recalled without reading";
    }
    {
        // The manifest now wants other content: the recorded digest no longer counts.
        Manifest other;
        AddTwoEntries(other, kAbd);
        HeldExclusively app(L"app.dat");
        EXPECT_TRUE(NeedsUpdateWithRecord(other));
        EXPECT_FALSE(other.entries[0].IsCurrent());
        EXPECT_TRUE(other.entries[1].IsCurrent());
    }
    // A damaged record is read as none and rewritten whole.
    std::string bytes = ReadBytes(kRecord);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 1);
    WriteBytes(kRecord, bytes);
    {
        Manifest fourth;
        AddTwoEntries(fourth);
        HeldExclusively app(L"app.dat");
        EXPECT_TRUE(NeedsUpdateWithRecord(fourth));
    }
    Manifest fifth;
    AddTwoEntries(fifth);
    EXPECT_FALSE(NeedsUpdateWithRecord(fifth));
    HeldExclusively app(L"app.dat");
    Manifest sixth;
    AddTwoEntries(sixth);
    EXPECT_FALSE(NeedsUpdateWithRecord(sixth));
}

// After a commit the installed files are recorded, but only when they are
// still as they arrived: one changed while it waited is digested next time.
TEST(VerificationRecord, AfterACommitRecordsTheInstalledFilesUnchangedSinceTheyArrived) {
    for (bool changedWhileStaged : {false, true}) {
        ScratchDirectory scratch;
        CreateDirectoryW(L"data", nullptr);
        WriteBytes(L"app.dat", "old");
        WriteBytes(L"data\\level.dat", "abd");
        Manifest manifest;
        AddTwoEntries(manifest);
        VerificationRecord record(kRecord);
        ASSERT_TRUE(manifest.NeedsUpdate(&record));
        ASSERT_TRUE(record.SaveVerified(manifest));
        WriteBytes(L"staged.tmp", "abc");
        record.NoteStaged(manifest.entries[0], L"staged.tmp");
        if (changedWhileStaged) {
            WriteBytes(L"staged.tmp", "xyz");
            SetWriteTime(L"staged.tmp", IdentityOf(L"staged.tmp").lastWriteTime + 10000000);
        }
        ASSERT_TRUE(MoveFileExW(L"staged.tmp", L"app.dat", MOVEFILE_REPLACE_EXISTING));  // the commit
        ASSERT_TRUE(record.SaveInstalled(manifest));

        Manifest next;
        AddTwoEntries(next);
        HeldExclusively app(L"app.dat");
        HeldExclusively level(L"data\\level.dat");
        EXPECT_EQ(NeedsUpdateWithRecord(next), changedWhileStaged);
        EXPECT_EQ(next.entries[0].IsCurrent(), !changedWhileStaged);
        EXPECT_TRUE(next.entries[1].IsCurrent());
    }
}

TEST(VerificationRecord, APathListedTwiceIsRecordedOnceAndEachEntryJudgedOnItsOwn) {
    ScratchDirectory scratch;
    WriteBytes(L"app.dat", "abc");
    for (int run = 0; run < 2; ++run) {
        Manifest manifest;
        ASSERT_TRUE(manifest.AddEntry(L"app.dat", L"3", kAbd, L"http://host/a"));
        ASSERT_TRUE(manifest.AddEntry(L"app.dat", L"3", kAbc, L"http://host/b"));
        EXPECT_TRUE(NeedsUpdateWithRecord(manifest)) << "run " << run;
        EXPECT_FALSE(manifest.entries[0].IsCurrent());
        EXPECT_TRUE(manifest.entries[1].IsCurrent());
    }
}

}  // namespace
