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

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class Manifest;
class ManifestEntry;

// Builds a record's bytes: the stamp of the build that writes it, the files,
// and a checksum of everything before it.
class RecordWriter {
public:
    explicit RecordWriter(const std::string& stamp);
    void Add(const std::wstring& path, const FileIdentity& identity, const std::wstring& md5,
             const std::wstring& sha256);
    // The whole record; the writer is spent.
    std::string Finish();

private:
    std::string bytes_;
    size_t countAt_;
    uint32_t count_ = 0;
};

// A record read back, its fields left in place in its bytes.
class RecordView {
public:
    struct File {
        size_t path;  // offsets into the bytes of UTF-16 text, with its length in characters
        uint32_t pathLength;
        FileIdentity identity;
        size_t md5;
        uint32_t md5Length;
        size_t sha256;
        uint32_t sha256Length;
    };

    // True only for a whole record written with this stamp; a record that is
    // cut, damaged or another build's yields no file at all. The bytes must
    // outlive the view.
    bool Parse(const std::string& bytes, const std::string& stamp);
    size_t Count() const { return files_.size(); }
    // The file recorded for a path, or null; quickest when asked in the order
    // the files were written.
    const File* Find(const std::wstring& path);
    // Whether a recorded digest is this one, ignoring ASCII case.
    bool SameDigest(size_t offset, uint32_t length, const std::wstring& digest) const;
    bool SamePath(const File& file, const std::wstring& path) const;
    size_t IndexOf(const File& file) const { return static_cast<size_t>(&file - files_.data()); }

private:
    const std::string* bytes_ = nullptr;
    std::vector<File> files_;
    size_t next_ = 0;  // where the next lookup starts
    std::unordered_map<std::string_view, size_t> byPath_;  // built on the first lookup out of order
};

// The running program's stamp: a checksum and the size of its own file, so
// that any other build (or version) never trusts this one's record. False
// when unreadable.
bool ProgramStamp(std::string& stamp);

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
    std::vector<bool> Recall(Manifest& manifest);
    // After the check: records every current entry with the identity read
    // before it was digested (or recalled). Writes only when that differs
    // from the record as it was read.
    bool SaveVerified(const Manifest& manifest);
    // Once an entry's new content has arrived whole (digested as it was
    // written) at stagedPath: notes the file's size and last-write time.
    void NoteStaged(const ManifestEntry& entry, const std::wstring& stagedPath);
    // After a commit: also every entry that was stale, now in place, with
    // its identity read now, provided the file still has the size and
    // last-write time noted when it arrived (one changed while it waited
    // for the commit is left to be digested at the next start).
    bool SaveInstalled(const Manifest& manifest);

private:
    struct Arrival {
        uint64_t size;
        uint64_t lastWriteTime;
    };

    bool Save(const Manifest& manifest, bool installed);

    std::wstring path_;
    std::string stamp_;   // empty: the record is neither read nor written
    std::string loaded_;  // the record's bytes when it was whole
    std::vector<FileIdentity> seen_;  // per entry, read before any digest
    std::vector<bool> seenValid_;
    bool unchanged_ = false;  // every entry recalled, in the record's order
    std::unordered_map<const ManifestEntry*, Arrival> arrived_;
};
