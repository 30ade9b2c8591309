// The record of verified files that a build made with
// LAUNCHER_REMEMBER_VERIFIED keeps in Launcher\: for each file it verified or
// installed, the file's identity (FileIdentity) and the digests it matched.
// At the next start a file whose identity is still the recorded one, listed
// with the recorded digests, counts as current without being read. A change
// that keeps size, times and file ID (bit rot) is not seen: the default build
// keeps none and digests every file on every start.
#pragma once

#include "manifest/FileIdentity.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <unordered_map>
#include <vector>

class Manifest;

struct VerifiedFile {
    std::wstring path;  // as the manifest names it, with backslashes
    FileIdentity identity;
    std::wstring md5;     // as matched
    std::wstring sha256;  // empty when the manifest gave none
};

// A record's bytes: the stamp of the build that wrote it, the files, and a
// checksum of everything before it.
std::string SerializeRecord(const std::string& stamp, const std::vector<VerifiedFile>& files);
// True, filling files, only for a whole record written with this stamp; a
// record that is cut, damaged or another build's yields nothing at all.
bool ParseRecord(const std::string& bytes, const std::string& stamp, std::vector<VerifiedFile>& files);

// The running program's stamp: the MD5 of its own file, so that any other
// build (or version) never trusts this one's record. False when unreadable.
bool ProgramStamp(HCRYPTPROV provider, std::string& stamp);

// Reads a record file whole (false when missing or too large to be one).
bool ReadRecordFile(const std::wstring& relativePath, std::string& bytes);
// Replaces it all-or-nothing: a temporary file beside it, flushed, renamed over.
bool WriteRecordFile(const std::wstring& relativePath, const std::string& bytes);

// One run's use of the record, around the manifest's check.
class VerificationRecord {
public:
    explicit VerificationRecord(std::wstring relativePath);

    // Before the digests: loads the record, reads the identity of every
    // entry's file, and marks current each entry whose file has exactly its
    // recorded identity and whose digests are the recorded ones. Returns,
    // per entry, whether it was found current so; the others are to be
    // digested as usual.
    std::vector<bool> Recall(Manifest& manifest, HCRYPTPROV provider);
    // After the check: records every current entry with the identity read
    // before it was digested (or recalled). Writes only when that differs
    // from the record as it was read.
    bool SaveVerified(const Manifest& manifest);
    // After a commit: also every entry that was stale, now in place, with
    // its identity read now.
    bool SaveInstalled(const Manifest& manifest);

private:
    bool Save(const Manifest& manifest, bool installed);

    std::wstring path_;
    std::string stamp_;   // empty: the record is neither read nor written
    std::string loaded_;  // the record's bytes when it was whole
    std::vector<FileIdentity> seen_;  // per entry, read before any digest
    std::vector<bool> seenValid_;
};
