// Which manifest a run believes, and when the backup is used or replaced:
// the files of a working folder before the run, what the server answers, and
// what the run then acts on, logs and leaves behind.
#include "unit/TestSupport.h"

#include "common/Constants.h"
#include "common/Handles.h"
#include "core/ObtainManifest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

const std::string kRelease1 =
    "<update><file path=\"a.dat\" size=\"1\" md5=\"0cc175b9c0f1b6a831c399e269772661\" src=\"http://h/1\"/></update>";
const std::string kRelease2 =
    "<update><file path=\"b.dat\" size=\"1\" md5=\"92eb5ffee6ae2fec3ad71c777531578f\" src=\"http://h/2\"/></update>";
const std::string kBroken = "<update><file path=\"a.dat\"/></update>";

const char kFetchLine[] = "[ OK ] Downloading update manifest file.\r\n";
const char kValidLines[] =
    "[ OK ] Update manifest file is valid.\r\n"
    "[ OK ] Backup of update manifest created.\r\n";
const char kFallbackLine[] = "[ OK ] Update manifest file not available or invalid. Using backup copy...\r\n";
const char kBackupValidLine[] = "[ OK ] Backup update manifest file is valid. Continuing...\r\n";
const char kAbortLine[] = "[FAIL] Invalid or no update manifest. Aborting.\r\n";

constexpr const char* kAbsent = nullptr;

// The server as the fetch sees it: each URL answered with a body, or the
// transfer fails (nothing written, as when nobody answers).
struct FakeFetch {
    std::map<std::wstring, std::string> bodies;
    std::vector<std::wstring> requested;

    ManifestFetch Get() {
        return [this](const wchar_t* url, const wchar_t* path) {
            requested.push_back(url);
            auto body = bodies.find(url);
            if (body == bodies.end()) {
                return false;
            }
            WriteBytes(path, body->second);
            return true;
        };
    }
};

void Place(const wchar_t* path, const char* bytes) {
    if (bytes != kAbsent) {
        WriteBytes(path, bytes);
    }
}

std::string Contents(const wchar_t* path) {
    return FileExists(path) ? ReadBytes(path) : "(absent)";
}

struct TrustCase {
    const char* name;
    const char* manifestBefore;  // Launcher\manifest.xml left by an earlier run
    const char* backupBefore;
    const char* served;  // kAbsent: the transfer fails
    bool usable;
    const char* entryPath;  // of the manifest acted on
    std::string log;        // after the first line
    const char* backupAfter;
};

void PrintTo(const TrustCase& row, std::ostream* out) {
    *out << row.name;
}

const TrustCase kUnsignedCases[] = {
    {"a valid answer is believed and becomes the backup", kAbsent, kRelease1.c_str(), kRelease2.c_str(), true,
     "b.dat", kValidLines, kRelease2.c_str()},
    {"an invalid answer falls back to the backup, which stays", kAbsent, kRelease1.c_str(), kBroken.c_str(), true,
     "a.dat", std::string(kFallbackLine) + kBackupValidLine, kRelease1.c_str()},
    {"no answer: the valid file of an earlier run is believed again", kRelease2.c_str(), kRelease1.c_str(), kAbsent,
     true, "b.dat", kValidLines, kRelease2.c_str()},
    {"no answer and an invalid earlier file: the backup", kBroken.c_str(), kRelease1.c_str(), kAbsent, true, "a.dat",
     std::string(kFallbackLine) + kBackupValidLine, kRelease1.c_str()},
    {"offline on a first run: nothing usable", kAbsent, kAbsent, kAbsent, false, "",
     std::string(kFallbackLine) + kAbortLine, "(absent)"},
    {"an invalid answer and an invalid backup: nothing usable", kAbsent, kBroken.c_str(), kBroken.c_str(), false, "",
     std::string(kFallbackLine) + kAbortLine, kBroken.c_str()},
};

class UnsignedTrust : public ::testing::TestWithParam<TrustCase> {};

TEST_P(UnsignedTrust, BelievesLogsAndKeepsTheBackup) {
    const TrustCase& row = GetParam();
    ScratchDirectory scratch;
    CreateDirectoryW(kWorkingFolder, nullptr);
    Place(kManifestPath, row.manifestBefore);
    Place(kBackupManifestPath, row.backupBefore);
    FakeFetch server;
    if (row.served != kAbsent) {
        server.bodies[kManifestUrl] = row.served;
    }

    LogCapture log;
    Manifest manifest;
    EXPECT_EQ(ObtainManifest(manifest, server.Get(), ManifestKeys{}), row.usable);
    EXPECT_EQ(log.Text(), kFetchLine + row.log);
    EXPECT_EQ(server.requested, std::vector<std::wstring>{kManifestUrl}) << "no signature is asked for";
    if (row.usable) {
        ASSERT_EQ(manifest.entries.size(), 1u);
        EXPECT_EQ(manifest.entries[0].path, std::wstring(row.entryPath, row.entryPath + strlen(row.entryPath)));
    }
    EXPECT_EQ(Contents(kBackupManifestPath), row.backupAfter);
}

INSTANTIATE_TEST_SUITE_P(ObtainManifest, UnsignedTrust, ::testing::ValuesIn(kUnsignedCases));

// A signed build: the key pair is made here, so no private key is kept anywhere.
class SigningKey {
public:
    SigningKey() {
        BCRYPT_ALG_HANDLE algorithm = nullptr;
        if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) {
            return;
        }
        algorithm_.Reset(algorithm);
        BCRYPT_KEY_HANDLE key = nullptr;
        if (BCryptGenerateKeyPair(algorithm, &key, 256, 0) != 0) {
            return;
        }
        key_.Reset(key);
        struct {
            BCRYPT_ECCKEY_BLOB header;
            BYTE point[kPublicKeyLength];
        } blob = {};
        ULONG written = 0;
        if (BCryptFinalizeKeyPair(key, 0) != 0 ||
            BCryptExportKey(key, nullptr, BCRYPT_ECCPUBLIC_BLOB, reinterpret_cast<PUCHAR>(&blob), sizeof(blob),
                            &written, 0) != 0 ||
            written != sizeof(blob)) {
            return;
        }
        memcpy(publicKey_[0], blob.point, kPublicKeyLength);
        ready_ = true;
    }

    bool Ready() const { return ready_; }
    ManifestKeys Keys() const { return ManifestKeys{publicKey_, 1, LoadSignedManifest}; }

    // The 64 bytes of r and s over the SHA-256 of bytes.
    std::string Sign(const std::string& bytes) const {
        BYTE digest[32];
        DWORD digestLength = sizeof(digest);
        ScopedCryptProvider provider(AcquireDigestProvider(true));
        HCRYPTHASH hashHandle = 0;
        if (!provider.IsValid() || !CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, &hashHandle)) {
            return "";
        }
        ScopedCryptHash hash(hashHandle);
        if (!CryptHashData(hash.Get(), reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()),
                           0) ||
            !CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &digestLength, 0) || digestLength != sizeof(digest)) {
            return "";
        }
        ULONG length = 0;
        std::string signature(kSignatureLength, '\0');
        if (BCryptSignHash(key_.Get(), nullptr, digest, sizeof(digest), reinterpret_cast<PUCHAR>(&signature[0]),
                           kSignatureLength, &length, 0) != 0 ||
            length != kSignatureLength) {
            return "";
        }
        return signature;
    }

private:
    ScopedCngAlgorithm algorithm_;
    ScopedCngKey key_;
    unsigned char publicKey_[1][kPublicKeyLength] = {};
    bool ready_ = false;
};

std::string SignedRelease(unsigned serial, const char* path) {
    return "<update serial=\"" + std::to_string(serial) + "\"><file path=\"" + path +
           "\" size=\"1\" md5=\"0cc175b9c0f1b6a831c399e269772661\" src=\"http://h/1\" "
           "sha256=\"ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb\"/></update>";
}

TEST(SignedTrust, SignatureAndSerialDecideWhichManifestIsBelieved) {
    SigningKey key;
    ASSERT_TRUE(key.Ready()) << "CNG could not make an ECDSA P-256 key pair";
    const std::string backup = SignedRelease(5, "old.dat");
    const std::string newer = SignedRelease(6, "new.dat");
    const std::string older = SignedRelease(4, "replayed.dat");

    struct SignedCase {
        const char* name;
        std::string served;
        std::string signature;  // empty: no answer for the signature
        const char* entryPath;
        std::string log;
        const std::string* backupAfter;
    };
    const SignedCase cases[] = {
        {"a newer signed release is believed and saved with its signature", newer, key.Sign(newer), "new.dat",
         "[ OK ] Downloading update manifest signature.\r\n[ OK ] Update manifest signature is valid.\r\n" +
             std::string(kValidLines),
         &newer},
        {"a signature over other bytes is refused", newer, key.Sign(backup), "old.dat",
         "[ OK ] Downloading update manifest signature.\r\n[FAIL] Update manifest signature is invalid.\r\n" +
             std::string(kFallbackLine) + "[ OK ] Backup update manifest signature is valid.\r\n" + kBackupValidLine,
         &backup},
        {"an older release, however well signed, is a replay", older, key.Sign(older), "old.dat",
         "[ OK ] Downloading update manifest signature.\r\n[ OK ] Update manifest signature is valid.\r\n"
         "[FAIL] Update manifest serial 4 is lower than the backup's serial 5.\r\n" +
             std::string(kFallbackLine) + "[ OK ] Backup update manifest signature is valid.\r\n" + kBackupValidLine,
         &backup},
    };
    for (const SignedCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory scratch;
        CreateDirectoryW(kWorkingFolder, nullptr);
        WriteBytes(kBackupManifestPath, backup);
        WriteBytes(kBackupSignaturePath, key.Sign(backup));
        FakeFetch server;
        server.bodies[kManifestUrl] = c.served;
        server.bodies[kSignatureUrl] = c.signature;

        LogCapture log;
        Manifest manifest;
        EXPECT_TRUE(ObtainManifest(manifest, server.Get(), key.Keys()));
        EXPECT_EQ(log.Text(), kFetchLine + c.log);
        ASSERT_EQ(manifest.entries.size(), 1u);
        EXPECT_EQ(manifest.entries[0].path,
                  std::wstring(c.entryPath, c.entryPath + strlen(c.entryPath)));
        EXPECT_EQ(Contents(kBackupManifestPath), *c.backupAfter);
        EXPECT_EQ(server.requested, (std::vector<std::wstring>{kManifestUrl, kSignatureUrl}));
        // The backup and its signature stay a pair that verifies.
        Manifest saved;
        bool valid = false;
        EXPECT_EQ(LoadSignedManifest(saved, kBackupManifestPath, kBackupSignaturePath, key.Keys().keys, 1, valid),
                  SignatureCheck::kValid);
        EXPECT_TRUE(valid);
    }
}

}  // namespace

namespace {

// A run killed while it replaced the signed backup pair: the next run, even
// offline, believes a pair that verifies.
TEST(SignedTrust, ABackupPairCutShortByAKillIsFinishedOrDropped) {
    SigningKey key;
    ASSERT_TRUE(key.Ready()) << "CNG could not make an ECDSA P-256 key pair";
    const std::string old = SignedRelease(5, "old.dat");
    const std::string replacement = SignedRelease(6, "new.dat");
    const std::string offlineLog = std::string(kFetchLine) + kFallbackLine +
                                   "[ OK ] Backup update manifest signature is valid.\r\n" + kBackupValidLine;

    struct KillCase {
        const char* name;
        bool journal;        // the copies were complete
        bool signatureMoved;  // the first rename was done
        const char* believed;
    };
    const KillCase cases[] = {
        {"killed while copying: the old pair stays", false, false, "old.dat"},
        {"killed before the renames: finished", true, false, "new.dat"},
        {"killed between the renames: finished", true, true, "new.dat"},
    };
    for (const KillCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory scratch;
        CreateDirectoryW(kWorkingFolder, nullptr);
        WriteBytes(kBackupManifestPath, old);
        WriteBytes(kBackupSignaturePath, key.Sign(c.signatureMoved ? replacement : old));
        WriteBytes(kStagedBackupManifestPath, replacement);
        if (!c.signatureMoved) {
            WriteBytes(kStagedBackupSignaturePath, key.Sign(replacement));
        }
        if (c.journal) {
            WriteBytes(kBackupJournal, "");
        }

        LogCapture log;
        Manifest manifest;
        FakeFetch offline;
        EXPECT_TRUE(ObtainManifest(manifest, offline.Get(), key.Keys()));
        EXPECT_EQ(log.Text(), offlineLog);
        ASSERT_EQ(manifest.entries.size(), 1u);
        EXPECT_EQ(manifest.entries[0].path, std::wstring(c.believed, c.believed + strlen(c.believed)));
        for (const wchar_t* leftover : {kStagedBackupManifestPath, kStagedBackupSignaturePath, kBackupJournal}) {
            EXPECT_FALSE(FileExists(leftover)) << "left behind: " << std::string(leftover, leftover + wcslen(leftover));
        }
    }
}

}  // namespace
